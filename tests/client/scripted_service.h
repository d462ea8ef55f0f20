// Scripted servers handed out by the client library's activation seam: no
// prompt, no real server, every HRESULT on demand, and a call or an
// activation that blocks until the test lets it go.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "q5dm_client.h"

namespace scripted {

const HRESULT kCallFailed = HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
const HRESULT kCallFailedDne = HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
const HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
const HRESULT kDeclined = HRESULT_FROM_WIN32(ERROR_CANCELLED);
const HRESULT kElevationDisabled = static_cast<HRESULT>(0x80080017L);
const HRESULT kTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// Longest a blocked call or activation waits for the test to let it go: a
// test that forgets, or a library that waits for the blocked call, shows
// as bReleaseLate, never as a hang.
constexpr DWORD kBlockLimitMs = 60000;

class CEvent {
public:
    CEvent() : m_h(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CEvent() { CloseHandle(m_h); }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    HANDLE Get() const { return m_h; }
    void Set() const { SetEvent(m_h); }
    bool Wait(DWORD dwMs = kBlockLimitMs) const { return WaitForSingleObject(m_h, dwMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_h;
};

// What the seam hands out and what it was asked for. Server n answers from
// script n (the last script serves any later server), one entry per call,
// the last entry repeating.
struct Plan {
    std::vector<HRESULT> activationResults;  // per activation; then S_OK
    bool bNullObject = false;
    std::vector<std::vector<HRESULT>> scripts = {{S_OK}};
    std::mutex lock;
    std::vector<q5dm::ActivationRequest> requests;
    std::vector<int> callsPerServer;

    // The call (counted over all servers, from 0) or activation that
    // blocks: `entered` is set when it starts, it waits for `release`.
    int iBlockedCall = -1;
    int iBlockedActivation = -1;
    CEvent entered;
    CEvent release;
    std::atomic<bool> bReleaseLate{false};
    std::atomic<int> iCalls{0};
    // Each server's last release: on which thread, against the thread that
    // activated it; `released` is set when every server handed out is gone.
    std::vector<DWORD> activatingThreads;
    std::vector<DWORD> releasingThreads;
    std::atomic<int> iAlive{0};
    CEvent released;

    // Set instead of `entered` / waited for instead of `release` when given.
    HANDLE hEnteredElsewhere = nullptr;
    HANDLE hReleaseElsewhere = nullptr;

    void BlockHere()
    {
        SetEvent(hEnteredElsewhere != nullptr ? hEnteredElsewhere : entered.Get());
        HANDLE hRelease = hReleaseElsewhere != nullptr ? hReleaseElsewhere : release.Get();
        if (WaitForSingleObject(hRelease, kBlockLimitMs) != WAIT_OBJECT_0) bReleaseLate = true;
    }
};

class CScriptedService final : public IQ5DMService {
public:
    CScriptedService(std::shared_ptr<Plan> plan, size_t server) : m_plan(std::move(plan)), m_server(server) { ++m_plan->iAlive; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IQ5DMService) return E_NOINTERFACE;
        AddRef();
        *ppv = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --m_refs;
        if (left == 0) {
            std::shared_ptr<Plan> plan = m_plan;
            {
                std::lock_guard<std::mutex> guard(plan->lock);
                plan->releasingThreads[m_server] = GetCurrentThreadId();
            }
            delete this;
            if (--plan->iAlive == 0) plan->released.Set();
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE InstallDriver(const wchar_t*, const wchar_t*, LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE RemoveDriver(const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE KillProcessByName(const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE PatchUninstall(const wchar_t*, const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE BackupDriver(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE CleanNotInstalled(const wchar_t*, LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE CmdLine(const wchar_t*, const wchar_t*, const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE SyncExec(const wchar_t*, const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE DeleteRegKey(const wchar_t*, const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE ReserveComPortsBelow(LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE RestoreComPorts() override { return Next(); }
    HRESULT STDMETHODCALLTYPE ClaimComPort(LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE ReleaseComPort(LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE isDeviceWORable(const wchar_t*) override { return Next(); }
    HRESULT STDMETHODCALLTYPE setWOREnabled(const wchar_t*, LONG) override { return Next(); }
    HRESULT STDMETHODCALLTYPE setSuspendAllowed(const wchar_t*, LONG) override { return Next(); }

private:
    HRESULT Next()
    {
        if (m_plan->iCalls++ == m_plan->iBlockedCall) m_plan->BlockHere();
        std::lock_guard<std::mutex> guard(m_plan->lock);
        const std::vector<HRESULT>& script = m_plan->scripts[std::min(m_server, m_plan->scripts.size() - 1)];
        int call = m_plan->callsPerServer[m_server]++;
        return script[std::min(static_cast<size_t>(call), script.size() - 1)];
    }

    std::shared_ptr<Plan> m_plan;
    size_t m_server;
    std::atomic<ULONG> m_refs{1};
};

inline q5dm::OpenOptions OptionsFor(const std::shared_ptr<Plan>& plan)
{
    q5dm::OpenOptions options;
    options.pfnActivate = [plan](const q5dm::ActivationRequest& request, IQ5DMService** ppService) {
        size_t n = 0;
        {
            std::lock_guard<std::mutex> guard(plan->lock);
            n = plan->requests.size();
            plan->requests.push_back(request);
        }
        if (static_cast<int>(n) == plan->iBlockedActivation) plan->BlockHere();
        std::lock_guard<std::mutex> guard(plan->lock);
        HRESULT hr = n < plan->activationResults.size() ? plan->activationResults[n] : S_OK;
        if (FAILED(hr) || plan->bNullObject) return hr;
        *ppService = new CScriptedService(plan, plan->callsPerServer.size());
        plan->callsPerServer.push_back(0);
        plan->activatingThreads.push_back(GetCurrentThreadId());
        plan->releasingThreads.push_back(0);
        return S_OK;
    };
    options.pfnIsElevated = [] { return false; };
    return options;
}

inline size_t Activations(const std::shared_ptr<Plan>& plan)
{
    std::lock_guard<std::mutex> guard(plan->lock);
    return plan->requests.size();
}

}  // namespace scripted
