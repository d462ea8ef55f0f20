// The lease's named mutex: one per machine, shared by every client of this
// library, so that one client at a time keeps a server.
#include "client_internal.h"

#include <sddl.h>

namespace q5dm {
namespace detail {
namespace {

// Others get what waiting for and releasing the lease needs (SYNCHRONIZE |
// MUTEX_MODIFY_STATE), nothing that changes its security; the creator keeps
// its owner's rights. The medium label lets an elevated creator's lease be
// taken by non-elevated clients and keeps low integrity processes, which
// have no business with the service, from taking it at all.
const wchar_t kLeaseSecurity[] =
    L"D:(A;;0x100001;;;IU)(A;;0x100001;;;SY)(A;;0x100001;;;BA)S:(ML;;NWNRNX;;;ME)";

class CLocalMemory {
public:
    CLocalMemory() noexcept = default;
    ~CLocalMemory()
    {
        if (m_p != nullptr) LocalFree(m_p);
    }
    CLocalMemory(const CLocalMemory&) = delete;
    CLocalMemory& operator=(const CLocalMemory&) = delete;
    void** Put() noexcept { return &m_p; }
    void* Get() const noexcept { return m_p; }

private:
    void* m_p = nullptr;
};

}  // namespace

HANDLE OpenLease(const wchar_t* pszName, HRESULT& hr)
{
    CLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kLeaseSecurity, SDDL_REVISION_1,
                                                             reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr)) {
        attributes.lpSecurityDescriptor = descriptor.Get();
    }
    // An existing mutex keeps its own security: another client's grants us
    // what we ask for below; one that a foreign process made may not.
    HANDLE hMutex = CreateMutexW(&attributes, FALSE, pszName);
    if (hMutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
        hMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, pszName);
    }
    hr = hMutex == nullptr ? HRESULT_FROM_WIN32(GetLastError()) : S_OK;
    return hMutex;
}

}  // namespace detail
}  // namespace q5dm
