// The four COM port database operations. They write no entry or exit lines;
// the only trace is the one for a database that cannot be opened.
//
// Reservations and their undoing: m_pPortUsage holds one byte per number of
// the database, nonzero where this object's reservations claimed the number
// and still hold it, and RestoreComPorts gives back exactly those. Giving
// back every number that was merely free when a reservation looked would
// take away the number a device got in between -- usually the very modem the
// reservation was made for -- and a second reservation would hide the first
// one's claims for ever.
#include "service.h"

#include <ddk/msports.h>
#include <string.h>

#include <utility>

#include "handles.h"
#include "heap.h"
#include "ondemand.h"
#include "trace.h"

namespace {

struct ComDbTraits {
    static HCOMDB Invalid() noexcept { return HCOMDB_INVALID_HANDLE_VALUE; }
    static void Close(HCOMDB h) noexcept { ::ComDBClose(h); }
};
using UniqueComDb = q5::UniqueResource<HCOMDB, ComDbTraits>;

// The database stays open only for the one call that needs it.
UniqueComDb OpenComDb()
{
    HCOMDB handle = HCOMDB_INVALID_HANDLE_VALUE;
    if (!q5::LoadSystemLibrary(q5::SystemLibrary::MsPorts) || ComDBOpen(&handle) != ERROR_SUCCESS) return UniqueComDb();
    return UniqueComDb(handle);
}

// ClaimComPort and ReleaseComPort trace a database they cannot open.
UniqueComDb OpenComDbForOneNumber()
{
    UniqueComDb db = OpenComDb();
    if (!db) LogTrace(L"COM Database open unsuccessful!\n");
    return db;
}

// One byte per COM number on the process heap, every byte set to fill.
class ByteMap {
public:
    ByteMap() = default;
    ByteMap(DWORD size, BYTE fill) : m_pBytes(static_cast<BYTE*>(q5::HeapAllocate(size == 0 ? 1 : size))), m_dwSize(size)
    {
        if (m_pBytes != nullptr) memset(m_pBytes, fill, size);
    }
    ~ByteMap() { q5::HeapFree(m_pBytes); }
    ByteMap(ByteMap&& other) noexcept : m_pBytes(std::exchange(other.m_pBytes, nullptr)), m_dwSize(other.m_dwSize) {}
    ByteMap& operator=(ByteMap&&) = delete;
    ByteMap(const ByteMap&) = delete;
    ByteMap& operator=(const ByteMap&) = delete;

    bool IsValid() const { return m_pBytes != nullptr; }
    BYTE* Get() const { return m_pBytes; }
    DWORD Size() const { return m_dwSize; }
    BYTE* Detach() { return std::exchange(m_pBytes, nullptr); }

private:
    BYTE* m_pBytes = nullptr;
    DWORD m_dwSize = 0;
};

// Entry i is nonzero while COM i+1 is taken. The map starts out all taken,
// so a read that the database refuses makes nothing look free: nothing is
// claimed that somebody else might hold. Invalid when memory is short.
ByteMap ReadPortUsage(HCOMDB db)
{
    DWORD count = 0;
    ComDBGetCurrentPortUsage(db, nullptr, 0, CDB_REPORT_BYTES, &count);
    ByteMap usage(count, 1);
    if (usage.IsValid()) ComDBGetCurrentPortUsage(db, usage.Get(), count, CDB_REPORT_BYTES, &count);
    return usage;
}

// Claims (forced) every number from 1 to portNumber that the map shows as
// free and marks in claims the ones the database granted. Numbers beyond
// the map have no entry and are left alone.
void ClaimFreePorts(HCOMDB db, const ByteMap& usage, LONG portNumber, ByteMap& claims)
{
    if (portNumber < 1) return;
    DWORD last = static_cast<DWORD>(portNumber) < usage.Size() ? static_cast<DWORD>(portNumber) : usage.Size();
    for (DWORD port = 1; port <= last; ++port) {
        if (usage.Get()[port - 1] != 0) continue;
        if (ComDBClaimPort(db, port, TRUE, nullptr) == ERROR_SUCCESS) claims.Get()[port - 1] = 1;
    }
}

}  // namespace

// Clients test for exactly 1 (S_FALSE) after a reservation and 0 (S_OK)
// when nothing could be reserved.
HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ReserveComPortsBelow(LONG portNumber)
{
    UniqueComDb db = OpenComDb();
    if (!db) {
        LogTrace(L"Cann't open COM ports database!\n");
        return S_OK;
    }
    // Without memory for the maps nothing is claimed, so nothing is left
    // that a later restore could not give back.
    ByteMap usage = ReadPortUsage(db.Get());
    if (!usage.IsValid()) return S_OK;
    ByteMap claims(usage.Size() > m_dwPortUsageSize ? usage.Size() : m_dwPortUsageSize, 0);
    if (!claims.IsValid()) return S_OK;
    if (m_pPortUsage != nullptr) memcpy(claims.Get(), m_pPortUsage, m_dwPortUsageSize);

    ClaimFreePorts(db.Get(), usage, portNumber, claims);
    ComDBReleasePort(db.Get(), static_cast<DWORD>(portNumber));
    // portNumber is now free for the device to come, whoever held it.
    if (portNumber >= 1 && static_cast<DWORD>(portNumber) <= claims.Size()) claims.Get()[portNumber - 1] = 0;

    FreePortUsage();
    m_dwPortUsageSize = claims.Size();
    m_pPortUsage = claims.Detach();
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::RestoreComPorts()
{
    UniqueComDb db = OpenComDb();
    if (db) {
        for (DWORD i = 0; i < m_dwPortUsageSize; ++i)
            if (m_pPortUsage[i] != 0) ComDBReleasePort(db.Get(), i + 1);
    }
    FreePortUsage();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ClaimComPort(LONG portNumber)
{
    UniqueComDb db = OpenComDbForOneNumber();
    if (!db) return E_FAIL;
    ComDBClaimPort(db.Get(), static_cast<DWORD>(portNumber), FALSE, nullptr);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ReleaseComPort(LONG portNumber)
{
    UniqueComDb db = OpenComDbForOneNumber();
    if (!db) return E_FAIL;
    ComDBReleasePort(db.Get(), static_cast<DWORD>(portNumber));
    // A number the client gave up itself is no longer ours to give back: a
    // device may get it before the restore.
    if (portNumber >= 1 && static_cast<DWORD>(portNumber) <= m_dwPortUsageSize) m_pPortUsage[portNumber - 1] = 0;
    return S_OK;
}
