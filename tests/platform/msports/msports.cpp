// Stand-in for the system's COM port database (msports.dll), for test and
// demo prefixes: Wine exports the ComDB functions but every call ends the
// caller. It keeps the map where the system keeps it (see comdb_layout.h),
// so another process can seed and inspect it, and follows the rules that
// callers rely on: a taken number is refused unless the claim is forced, a
// release of a free number is harmless, numbers outside the map are invalid.
#include <windows.h>
#include <ddk/msports.h>

#include "comdb_layout.h"

namespace {

constexpr DWORD kMagic = 0x42444d43;  // "CMDB"
constexpr DWORD kMaxBytes = q5comdb::kMaxPorts / 8;

struct Database {
    DWORD magic;
    HKEY key;
    HANDLE mutex;  // one writer at a time across processes
};

Database* FromHandle(HCOMDB handle)
{
    auto* db = reinterpret_cast<Database*>(handle);
    if (db == nullptr || handle == HCOMDB_INVALID_HANDLE_VALUE || db->magic != kMagic) return nullptr;
    return db;
}

class Lock {
public:
    explicit Lock(HANDLE mutex) : m_mutex(mutex) { WaitForSingleObject(m_mutex, INFINITE); }
    ~Lock() { ReleaseMutex(m_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    HANDLE m_mutex;
};

struct PortMap {
    BYTE bits[kMaxBytes] = {};
    DWORD ports = q5comdb::kDefaultPorts;
};

// A missing or short value counts as the default size with every number free.
PortMap ReadMap(HKEY key)
{
    PortMap map;
    DWORD bytes = sizeof(map.bits);
    DWORD type = 0;
    if (RegQueryValueExW(key, q5comdb::kMapValue, nullptr, &type, map.bits, &bytes) != ERROR_SUCCESS || type != REG_BINARY) {
        ZeroMemory(map.bits, sizeof(map.bits));
        bytes = 0;
    }
    if (bytes * 8 > map.ports) map.ports = bytes * 8;
    return map;
}

LONG WriteMap(HKEY key, const PortMap& map)
{
    return RegSetValueExW(key, q5comdb::kMapValue, 0, REG_BINARY, map.bits, map.ports / 8);
}

bool RefusesOpen()
{
    DWORD refuse = 0;
    DWORD bytes = sizeof(refuse);
    LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, q5comdb::kControlKey, q5comdb::kRefuseOpenValue, RRF_RT_REG_DWORD, nullptr,
                           &refuse, &bytes);
    return rc == ERROR_SUCCESS && refuse != 0;
}

bool IsValidPort(const PortMap& map, DWORD port) { return port >= 1 && port <= map.ports; }

}  // namespace

extern "C" {

LONG WINAPI ComDBOpen(HCOMDB* phComDB)
{
    if (phComDB == nullptr) return ERROR_INVALID_PARAMETER;
    *phComDB = HCOMDB_INVALID_HANDLE_VALUE;
    if (RefusesOpen()) return ERROR_ACCESS_DENIED;

    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, q5comdb::kArbiterKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Q5TestComDBMutex");
    auto* db = static_cast<Database*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Database)));
    if (mutex == nullptr || db == nullptr) {
        if (mutex != nullptr) CloseHandle(mutex);
        if (db != nullptr) HeapFree(GetProcessHeap(), 0, db);
        RegCloseKey(key);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *db = Database{kMagic, key, mutex};
    {
        Lock lock(mutex);
        WriteMap(key, ReadMap(key));  // the database exists once it was opened
    }
    *phComDB = reinterpret_cast<HCOMDB>(db);
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClose(HCOMDB hComDB)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr) return ERROR_INVALID_PARAMETER;
    RegCloseKey(db->key);
    CloseHandle(db->mutex);
    db->magic = 0;
    HeapFree(GetProcessHeap(), 0, db);
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB hComDB, PBYTE Buffer, DWORD BufferSize, DWORD ReportType,
                                     LPDWORD MaxPortsReported)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr || (ReportType != CDB_REPORT_BITS && ReportType != CDB_REPORT_BYTES)) return ERROR_INVALID_PARAMETER;
    if (Buffer == nullptr && MaxPortsReported == nullptr) return ERROR_INVALID_PARAMETER;
    Lock lock(db->mutex);
    PortMap map = ReadMap(db->key);
    if (Buffer == nullptr) {
        *MaxPortsReported = map.ports;
        return ERROR_SUCCESS;
    }
    if (ReportType == CDB_REPORT_BYTES) {
        DWORD count = BufferSize < map.ports ? BufferSize : map.ports;
        for (DWORD i = 0; i < count; ++i) Buffer[i] = q5comdb::IsTaken(map.bits, i + 1) ? 1 : 0;
        if (MaxPortsReported != nullptr) *MaxPortsReported = count;
    } else {
        DWORD count = BufferSize < map.ports / 8 ? BufferSize : map.ports / 8;
        CopyMemory(Buffer, map.bits, count);
        if (MaxPortsReported != nullptr) *MaxPortsReported = count * 8;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimPort(HCOMDB hComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr) return ERROR_INVALID_PARAMETER;
    if (Forced != nullptr) *Forced = FALSE;
    Lock lock(db->mutex);
    PortMap map = ReadMap(db->key);
    if (!IsValidPort(map, ComNumber)) return ERROR_INVALID_PARAMETER;
    if (q5comdb::IsTaken(map.bits, ComNumber)) {
        if (!ForceClaim) return ERROR_SHARING_VIOLATION;
        if (Forced != nullptr) *Forced = TRUE;
        return ERROR_SUCCESS;
    }
    q5comdb::SetTaken(map.bits, ComNumber, true);
    return WriteMap(db->key, map);
}

LONG WINAPI ComDBReleasePort(HCOMDB hComDB, DWORD ComNumber)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr) return ERROR_INVALID_PARAMETER;
    Lock lock(db->mutex);
    PortMap map = ReadMap(db->key);
    if (!IsValidPort(map, ComNumber)) return ERROR_INVALID_PARAMETER;
    q5comdb::SetTaken(map.bits, ComNumber, false);
    return WriteMap(db->key, map);
}

LONG WINAPI ComDBClaimNextFreePort(HCOMDB hComDB, LPDWORD ComNumber)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr || ComNumber == nullptr) return ERROR_INVALID_PARAMETER;
    Lock lock(db->mutex);
    PortMap map = ReadMap(db->key);
    for (DWORD port = 1; port <= map.ports; ++port) {
        if (q5comdb::IsTaken(map.bits, port)) continue;
        q5comdb::SetTaken(map.bits, port, true);
        LONG rc = WriteMap(db->key, map);
        if (rc == ERROR_SUCCESS) *ComNumber = port;
        return rc;
    }
    return ERROR_NO_LOG_SPACE;
}

// The database only grows, in whole bytes of the map, up to its limit.
LONG WINAPI ComDBResizeDatabase(HCOMDB hComDB, DWORD NewSize)
{
    Database* db = FromHandle(hComDB);
    if (db == nullptr) return ERROR_INVALID_PARAMETER;
    Lock lock(db->mutex);
    PortMap map = ReadMap(db->key);
    if (NewSize <= map.ports || NewSize > q5comdb::kMaxPorts || NewSize % 8 != 0) return ERROR_BAD_LENGTH;
    map.ports = NewSize;
    return WriteMap(db->key, map);
}

DWORD WINAPI Q5MsportsStandIn() { return 1; }

}  // extern "C"
