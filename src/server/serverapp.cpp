#include "serverapp.h"

#include <string.h>

#include "factory.h"
#include "handles.h"
#include "q5dm.h"
#include "registration.h"
#include "trace.h"

DWORD g_dwRegisterClass = 0;

namespace {

// Holds the entry function's own reference to the factory until the end.
class FactoryReference {
public:
    FactoryReference() : m_pFactory(ServiceClassFactory::Create()) {}
    ~FactoryReference()
    {
        if (m_pFactory != nullptr) m_pFactory->Release();
    }
    ServiceClassFactory* Get() const { return m_pFactory; }

private:
    ServiceClassFactory* m_pFactory;
};

// The policy's documented value; the headers declare the names, but the
// function only for Windows 8 and later.
static_assert(ProcessRedirectionTrustPolicy == 16, "PROCESS_MITIGATION_POLICY value");
using SetProcessMitigationPolicyFn = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

// Every copy that the server makes follows junctions, and a process of the
// same user that can write to a folder on a copy's path could redirect an
// administrator's copy anywhere. With redirection trust enforced, the system
// refuses junctions that non-administrators created. Looked up at run time:
// Windows 7 lacks the function, and a static import would keep the server
// from loading there. Where the system lacks it the server goes on without.
void EnforceRedirectionTrust()
{
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy");
    auto setPolicy = reinterpret_cast<SetProcessMitigationPolicyFn>(reinterpret_cast<void (*)()>(proc));
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
    policy.EnforceRedirectionTrust = 1;
    if (setPolicy != nullptr && setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof(policy))) return;
    LogTrace(L"Redirection trust not enforced: error %d\n", GetLastError());
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// A library that the server or a library of the platform loads by name (the
// Setup API a class installer or co-installer from the class's registry
// key, the shell a helper) would otherwise be searched for in the current
// folder and along PATH, where a user may put a file of that name for the
// elevated server to run. Everything the server and those libraries load
// lives in the system folder; the proxy/stub library COM loads by its full
// path. Looked up at run time: Windows 7 without the loader update lacks
// the function, and a static import would keep the server from loading.
void LimitLibrarySearch()
{
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    if (setDirectories != nullptr && setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    LogTrace(L"Library search not limited: error %d\n", GetLastError());
}

void ReportRegistrationFailure()
{
    MessageBoxW(nullptr, L"Failed to register the class object with the SCM", L"ERROR", MB_OK | MB_SETFOREGROUND);
}

// Kept a frame of its own so that a dump of a waiting server names the loop.
__attribute__((noinline)) void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

// A call that reached the apartment just after the last release (a client
// releasing its other references, say) waits in the queue: served here, it
// does not hold up CoUninitialize below.
void DispatchQueuedCalls()
{
    MSG message;
    for (int left = 1000; left > 0 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); --left) DispatchMessageW(&message);
}

// Under Wine, CoUninitialize waits, without dispatching, for the calls in
// progress to end, and a call that arrives after the queue was served waits
// for a dispatch that never comes: the server, and the client in that call,
// would wait for ever. Past this limit the server ends itself instead.
constexpr DWORD kUninitializeLimitMs = 10000;

DWORD WINAPI EndServerIfUninitializeHangs(void* parameter)
{
    if (WaitForSingleObject(static_cast<HANDLE>(parameter), kUninitializeLimitMs) != WAIT_TIMEOUT) return 0;
    LogTrace(L"CoUninitialize did not return within %d ms: the server ends\n", kUninitializeLimitMs);
    // Not ExitProcess: the stuck thread may hold locks that the libraries'
    // detach would wait for.
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

void UninitializeWithinLimit()
{
    q5::UniqueHandle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    q5::UniqueHandle watchdog(returned ? CreateThread(nullptr, 0, EndServerIfUninitializeHangs, returned.Get(), 0, nullptr)
                                       : nullptr);
    CoUninitialize();
    if (!watchdog) return;
    SetEvent(returned.Get());
    WaitForSingleObject(watchdog.Get(), INFINITE);
}

// Registers the factory and serves until the last object and lock are gone.
// A class object that never became available would leave the loop waiting
// for a WM_QUIT that cannot come, so those failures end as a failed resume.
void Serve()
{
    FactoryReference factory;
    HRESULT hr = E_OUTOFMEMORY;
    if (factory.Get() != nullptr) {
        hr = CoRegisterClassObject(CLSID_Q5DMService, factory.Get(), CLSCTX_LOCAL_SERVER,
                                   REGCLS_SINGLEUSE | REGCLS_SUSPENDED, &g_dwRegisterClass);
    }
    if (SUCCEEDED(hr)) hr = CoResumeClassObjects();

    if (FAILED(hr)) {
        ReportRegistrationFailure();
    } else {
        RunMessageLoop();
        CoRevokeClassObject(g_dwRegisterClass);
        LogTrace(L"CoRevokeClassObject(g_dwRegisterClass);");
        DispatchQueuedCalls();
    }
    // The factory reference goes with the scope, before COM is left.
}

}  // namespace

ServerCommand ParseServerCommand(const char* commandLine)
{
    if (strstr(commandLine, "/RegServer") != nullptr) return ServerCommand::Register;
    if (strstr(commandLine, "-RegServer") != nullptr) return ServerCommand::Register;
    if (strstr(commandLine, "/UnRegServer") != nullptr) return ServerCommand::Unregister;
    if (strstr(commandLine, "-UnRegServer") != nullptr) return ServerCommand::Unregister;
    return ServerCommand::Serve;
}

int RunServer(const char* commandLine)
{
    // Before COM or anything else may load a library.
    LimitLibrarySearch();
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return static_cast<int>(hr);

    switch (ParseServerCommand(commandLine)) {
    case ServerCommand::Register:
        RegisterServer();
        break;
    case ServerCommand::Unregister:
        UnregisterServer();
        break;
    case ServerCommand::Serve:
        // Before the class object is registered, so before any call.
        EnforceRedirectionTrust();
        Serve();
        LogTrace(L"CoUninitialize");
        break;
    }
    UninitializeWithinLimit();
    return 0;
}
