// q5floor: the least a server of the DM COM Server's class can do, for the
// benchmark to compare with. It registers the same class the same way
// (single use, suspended then resumed, apartment, message loop, end at the
// last release) and marshals through the same proxy/stub library, but every
// method returns S_OK and does nothing else. With "/trace" on its command
// line each call also writes the one trace line that the real server's
// trace routine writes, formatted and written the same way, so that the
// comparison shows what the real server costs beyond its trace. With
// "/contract" it also does, bare, what the contract asks of every activation
// and every reference besides: the search for a leftover server with its
// trace lines in the factory, and a trace line for each AddRef and Release
// of the service object. That is the floor for an activation: all that any
// server of this contract must do, and nothing of the real one's own.
//
// A tool of the benchmark only: never shipped, never registered by itself.
#include <windows.h>
#include <objbase.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "floortrace.h"
#include "floorwalk.h"
#include "q5dm.h"

namespace {

DWORD g_dwRegisterClass = 0;
bool g_bContract = false;

void ReleaseServer()
{
    if (CoReleaseServerProcess() == 0) PostQuitMessage(0);
}

class FloorService : public IQ5DMService {
public:
    FloorService() { CoAddRefServerProcess(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        *ppvObject = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IQ5DMService)) return E_NOINTERFACE;
        *ppvObject = static_cast<IQ5DMService*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        LONG count = InterlockedIncrement(&m_lRefCount);
        if (g_bContract) q5floor::Trace(L"CQ5DMServiceClass::AddRef(): %d\n", count);
        return static_cast<ULONG>(count);
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG count = InterlockedDecrement(&m_lRefCount);
        if (g_bContract) q5floor::Trace(L"CQ5DMServiceClass::Release(): %d\n", count);
        if (count == 0) {
            delete this;
            ReleaseServer();
        }
        return static_cast<ULONG>(count);
    }

    HRESULT STDMETHODCALLTYPE InstallDriver(const wchar_t* id, const wchar_t* inf, LONG noCopy) override
    {
        q5floor::Trace(L">> InstallDriver(%s, %s, %d)\n", id, inf, noCopy);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveDriver(const wchar_t* id) override
    {
        q5floor::Trace(L">> RemoveDriver(%s)\n", id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE KillProcessByName(const wchar_t* name) override
    {
        q5floor::Trace(L">> KillProcessByName %s\n", name);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PatchUninstall(const wchar_t* key, const wchar_t* command) override
    {
        q5floor::Trace(L">> PatchUninstall(%s, %s)\n", key, command);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BackupDriver(const wchar_t* inf, const wchar_t* sub, const wchar_t* copy, const wchar_t* root) override
    {
        q5floor::Trace(L">> BackupDriver(%s, %s, %s, %s)\n", inf, sub, copy, root);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CleanNotInstalled(const wchar_t* className, LONG usb) override
    {
        q5floor::Trace(L">> CleanNotInstalled(%s, %d)\n", className, usb);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory) override
    {
        q5floor::Trace(L">> CmdLine(%s, %s, %s)\n", file, parameters, directory);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SyncExec(const wchar_t* commandLine, const wchar_t* directory) override
    {
        q5floor::Trace(L">> SyncExec(%s, %s)\n", commandLine, directory);
        return S_OK;
    }
    // The benchmark's call: the real server's one line for a root it does
    // not know.
    HRESULT STDMETHODCALLTYPE DeleteRegKey(const wchar_t* /*root*/, const wchar_t* /*subKey*/) override
    {
        q5floor::Trace(L">> DeleteRegKey() wrong root branch\n");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReserveComPortsBelow(LONG port) override
    {
        q5floor::Trace(L">> ReserveComPortsBelow(%d)\n", port);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RestoreComPorts() override
    {
        q5floor::Trace(L">> RestoreComPorts()\n");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClaimComPort(LONG port) override
    {
        q5floor::Trace(L">> ClaimComPort(%d)\n", port);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseComPort(LONG port) override
    {
        q5floor::Trace(L">> ReleaseComPort(%d)\n", port);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE isDeviceWORable(const wchar_t* id) override
    {
        q5floor::Trace(L">> isDeviceWORable(%s)\n", id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE setWOREnabled(const wchar_t* id, LONG enable) override
    {
        q5floor::Trace(L">> setWOREnabled(%s, %d)\n", id, enable);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE setSuspendAllowed(const wchar_t* id, LONG allow) override
    {
        q5floor::Trace(L">> setSuspendAllowed(%s, %d)\n", id, allow);
        return S_OK;
    }

private:
    virtual ~FloorService() = default;
    LONG m_lRefCount = 1;
};

class FloorFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        *ppvObject = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppvObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_lRefCount)); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* /*outer*/, REFIID riid, void** ppvObject) override
    {
        if (g_bContract) q5floor::OwnStaleWalk();
        *ppvObject = nullptr;
        FloorService* object = new FloorService();
        HRESULT hr = object->QueryInterface(riid, ppvObject);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock) {
            CoAddRefServerProcess();
        } else {
            ReleaseServer();
        }
        return S_OK;
    }

private:
    LONG m_lRefCount = 1;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    g_bContract = strstr(commandLine, "/contract") != nullptr;
    q5floor::g_bTrace = g_bContract || strstr(commandLine, "/trace") != nullptr;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return static_cast<int>(hr);
    // Static: it outlives the registration that COM holds.
    static FloorFactory factory;
    hr = CoRegisterClassObject(CLSID_Q5DMService, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE | REGCLS_SUSPENDED,
                               &g_dwRegisterClass);
    if (SUCCEEDED(hr)) hr = CoResumeClassObjects();
    if (SUCCEEDED(hr)) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        CoRevokeClassObject(g_dwRegisterClass);
    }
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
