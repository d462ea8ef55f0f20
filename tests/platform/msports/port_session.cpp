// Demo client: one server object reserves the numbers below N, a device
// then claims N, and the same object restores. q5dmctl activates a new
// server for every call, and a restore only gives back what its own object
// reserved, so the pair needs one object.
//   q5portsession N
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <wchar.h>

#include "comdb_show.h"
#include "q5dm.h"

namespace {

class Apartment {
public:
    Apartment() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~Apartment()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    bool Ok() const { return SUCCEEDED(m_hr); }

private:
    HRESULT m_hr;
};

class Service {
public:
    Service()
    {
        m_hr = CoCreateInstance(CLSID_Q5DMService, nullptr, CLSCTX_LOCAL_SERVER, IID_IQ5DMService,
                                reinterpret_cast<void**>(&m_p));
    }
    ~Service()
    {
        if (m_p != nullptr) m_p->Release();
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    HRESULT Result() const { return m_hr; }
    IQ5DMService* operator->() const { return m_p; }

private:
    IQ5DMService* m_p = nullptr;
    HRESULT m_hr;
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    long portNumber = argc > 1 ? wcstol(argv[1], nullptr, 10) : 5;
    Apartment apartment;
    if (!apartment.Ok()) return 2;
    Service service;
    if (FAILED(service.Result())) {
        printf("activation failed: 0x%08lX\n", static_cast<unsigned long>(service.Result()));
        return 2;
    }
    q5comdb::ShowMap("before");
    printf("ReserveComPortsBelow(%ld) -> 0x%08lX\n", portNumber,
           static_cast<unsigned long>(service->ReserveComPortsBelow(portNumber)));
    q5comdb::ShowMap("reserved");
    printf("a device is installed meanwhile: ClaimComPort(%ld) -> 0x%08lX\n", portNumber,
           static_cast<unsigned long>(service->ClaimComPort(portNumber)));
    q5comdb::ShowMap("device installed");
    printf("RestoreComPorts() -> 0x%08lX\n", static_cast<unsigned long>(service->RestoreComPorts()));
    q5comdb::ShowMap("restored (the device keeps its number)");
    return 0;
}
