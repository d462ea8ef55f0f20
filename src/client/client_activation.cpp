// Activation of one server for a session: through the seam or the
// library's own activation, with the prompt's owner window.
//
// Threads: everything here runs on a session's owner thread, except the
// owner window's own thread, which the owner thread starts for one moniker
// activation and joins right after it (it never outlives the activation).
#include "client_internal.h"

#include <utility>

namespace q5dm {
namespace detail {
namespace {

// A server starting or ending at the moment of an activation can make it
// fail once; a short pause lets that settle.
constexpr DWORD kActivationRetryPauseMs = 250;

// The prompt's owner when the caller gave none: the owner thread has no
// window of its own, and without one the prompt only flashes in the
// taskbar. The window lives on a thread that pumps its messages, so that
// other programs' broadcasts are answered while the prompt is up.
class COwnerWindow {
public:
    COwnerWindow() noexcept
    {
        m_hReady.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (m_hReady.Get() == nullptr) return;
        m_hThread.Reset(CreateThread(nullptr, 0, WindowMain, this, 0, &m_dwThreadId));
        if (m_hThread.Get() != nullptr) WaitForSingleObject(m_hReady.Get(), INFINITE);
    }
    ~COwnerWindow()
    {
        if (m_hThread.Get() == nullptr) return;
        PostThreadMessageW(m_dwThreadId, WM_QUIT, 0, 0);
        WaitForSingleObject(m_hThread.Get(), INFINITE);
    }
    COwnerWindow(const COwnerWindow&) = delete;
    COwnerWindow& operator=(const COwnerWindow&) = delete;
    HWND Get() const noexcept { return m_hwnd; }

private:
    static DWORD WINAPI WindowMain(void* pParameter)
    {
        auto& self = *static_cast<COwnerWindow*>(pParameter);
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue exists before WM_QUIT can come
        HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        self.m_hwnd = hwnd;
        SetEvent(self.m_hReady.Get());  // `self` is not touched after this
        if (hwnd != nullptr) SetForegroundWindow(hwnd);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (hwnd != nullptr) DestroyWindow(hwnd);
        return 0;
    }

    CHandle m_hReady;
    CHandle m_hThread;
    DWORD m_dwThreadId = 0;
    HWND m_hwnd = nullptr;
};

HRESULT ActivateOnce(const OpenOptions& options, const ActivationRequest& request, IQ5DMService** ppService)
{
    *ppService = nullptr;
    HRESULT hr = options.pfnActivate ? options.pfnActivate(request, ppService) : ActivateDefault(request, ppService);
    if (SUCCEEDED(hr) && *ppService == nullptr) hr = E_POINTER;  // S_OK without an object
    if (FAILED(hr) && *ppService != nullptr) {
        (*ppService)->Release();
        *ppService = nullptr;
    }
    return hr;
}

HRESULT ActivateThroughMoniker(const OpenOptions& options, ActivationRequest request, IQ5DMService** ppService)
{
    if (request.hwndOwner != nullptr) return ActivateOnce(options, request, ppService);
    COwnerWindow ownWindow;
    request.hwndOwner = ownWindow.Get();
    return ActivateOnce(options, request, ppService);
}

// Failures of an activation that another server starting or ending at the
// same moment can cause: worth one more plain activation.
bool IsTransientActivationFailure(HRESULT hr)
{
    Failure eFailure = ClassifyFailure(hr);
    return hr == CO_E_SERVER_EXEC_FAILURE || hr == E_NOINTERFACE || hr == E_ACCESSDENIED ||
           eFailure == Failure::ServerLostDidNotRun || eFailure == Failure::ServerLostMayHaveRun;
}

}  // namespace

HRESULT ActivateForSession(const OpenOptions& options, ActivationRequest& request, bool& bElevationUnavailable,
                           IQ5DMService** ppService)
{
    if (request.bUseMoniker) {
        HRESULT hr = ActivateThroughMoniker(options, request, ppService);
        if (hr != MK_E_CANTOPENFILE || options.eElevation != Elevation::WhenNotElevated) return hr;
        // No moniker on this platform: the plain server is all there is.
        request.bUseMoniker = false;
        bElevationUnavailable = true;
    }
    HRESULT hr = ActivateOnce(options, request, ppService);
    if (FAILED(hr) && IsTransientActivationFailure(hr)) {
        Sleep(kActivationRetryPauseMs);
        hr = ActivateOnce(options, request, ppService);
    }
    return hr;
}

}  // namespace detail
}  // namespace q5dm
