// The client library as a windowed application with several threads uses
// it: closes and destructions during calls, deadlines of callers that wait
// behind a call, asynchronous results for window threads, a DLL unloaded
// while the library's thread still runs in it. Every allocation of this
// program sits on pages of its own (page_heap.cpp): memory used after its
// release faults. No check depends on time: a blocked call or activation
// waits for the test's event, and "returned within its deadline" means
// returned before the blocked call was let go.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "q5dm_client.h"
#include "scripted_service.h"

using q5dm::CClient;
using q5dm::Completion;
using q5dm::Failure;
using q5dm::Result;
using namespace scripted;

namespace {

constexpr DWORD kShortDeadlineMs = 200;
constexpr DWORD kGenerousLeaseWaitMs = 30000;

q5dm::OpenOptions Options(const std::shared_ptr<Plan>& plan)
{
    q5dm::OpenOptions options = OptionsFor(plan);
    options.dwLeaseWaitMs = kGenerousLeaseWaitMs;
    return options;
}

CClient OpenScripted(const std::shared_ptr<Plan>& plan)
{
    q5dm::OpenResult opened = CClient::Open(Options(plan));
    EXPECT_TRUE(opened.Opened()) << q5dm::FailureName(opened.eFailure) << " 0x" << std::hex << opened.hr;
    return std::move(opened.client);
}

std::string Describe(const q5dm::Summary& s)
{
    return s.eFailure == Failure::None ? std::string(s.pszOutcome) : std::string("failure: ") + q5dm::FailureName(s.eFailure);
}

}  // namespace

// A window thread ends the client while a worker is in a long call: the
// session must outlive the call, the running call must still be answered,
// the proxy released on the thread that made it, and the lease let go.
TEST(ClientClose, FromAnotherThreadWhileACallRuns)
{
    for (int iRound = 0; iRound < 20; ++iRound) {
        SCOPED_TRACE(iRound);
        auto plan = std::make_shared<Plan>();
        plan->iBlockedCall = 0;
        auto pClient = std::make_unique<CClient>(OpenScripted(plan));
        q5dm::Summary summary = {};
        std::thread worker([&] { summary = pClient->SyncExec(L"x.exe", L"").Summarize(); });
        ASSERT_TRUE(plan->entered.Wait());
        if (iRound % 2 == 0) {
            pClient.reset();
        } else {
            pClient->Close();
        }
        plan->release.Set();
        worker.join();
        EXPECT_FALSE(plan->bReleaseLate) << "the close waited for the running call";
        EXPECT_EQ(Describe(summary), "ended");
        ASSERT_TRUE(plan->released.Wait()) << "the server was never released";
        EXPECT_EQ(plan->releasingThreads[0], plan->activatingThreads[0]) << "released outside its apartment";
        EXPECT_EQ(Activations(plan), 1u);
        pClient.reset();
        q5dm::OpenResult next = CClient::Open(Options(std::make_shared<Plan>()));
        EXPECT_TRUE(next.Opened()) << "the lease was kept: " << q5dm::FailureName(next.eFailure);
    }
}

// A call queued behind a running one times out at its own deadline, never
// runs, and the client goes on serving calls after the first one ends.
TEST(ClientDeadline, CoversTheWaitBehindAnotherCall)
{
    auto plan = std::make_shared<Plan>();
    plan->iBlockedCall = 0;
    CClient client = OpenScripted(plan);
    q5dm::Summary first = {};
    std::thread worker([&] { first = client.SyncExec(L"x.exe", L"").Summarize(); });
    ASSERT_TRUE(plan->entered.Wait());
    Result<q5dm::DeleteOutcome> second = client.DeleteRegKey(L"HKCU", L"Software\\X", kShortDeadlineMs);
    plan->release.Set();
    worker.join();
    EXPECT_FALSE(plan->bReleaseLate) << "the second caller waited for the first call";
    EXPECT_EQ(second.eFailure, Failure::TimedOut);
    EXPECT_EQ(second.hr, kTimedOut);
    EXPECT_EQ(Describe(first), "ended");
    EXPECT_TRUE(client.DeleteRegKey(L"HKCU", L"Software\\X").Is(q5dm::DeleteOutcome::Deleted));
    EXPECT_EQ(plan->callsPerServer, (std::vector<int>{2})) << "the timed-out call ran anyway";
}

// Nothing may start a server for a call or an Open that nobody waits for
// any more: that start would end the server of whoever holds the lease next.
TEST(ClientDeadline, NoActivationAfterATimeoutAndClose)
{
    // The timed-out call's server is then lost before the call ran: a call
    // still waited for would be repeated on a fresh server.
    auto plan = std::make_shared<Plan>();
    plan->iBlockedCall = 0;
    plan->scripts = {{kServerUnavailable}};
    CClient client = OpenScripted(plan);
    EXPECT_EQ(client.SyncExec(L"x.exe", L"", kShortDeadlineMs).eFailure, Failure::TimedOut);
    client.Close();
    plan->release.Set();
    ASSERT_TRUE(plan->released.Wait());
    EXPECT_FALSE(plan->bReleaseLate);
    EXPECT_EQ(Activations(plan), 1u) << "a server was started after the timeout and the close";

    // Open gives up while its activation runs.
    auto slow = std::make_shared<Plan>();
    slow->iBlockedActivation = 0;
    q5dm::OpenOptions options = Options(slow);
    options.dwOpenDeadlineMs = kShortDeadlineMs;
    q5dm::OpenResult opened = CClient::Open(options);
    EXPECT_EQ(opened.eFailure, Failure::TimedOut);
    EXPECT_FALSE(opened.client.IsOpen());
    slow->release.Set();
    ASSERT_TRUE(slow->released.Wait()) << "the late server was kept";
    EXPECT_FALSE(slow->bReleaseLate) << "Open waited for its activation past its deadline";
    EXPECT_EQ(Activations(slow), 1u);
    EXPECT_TRUE(CClient::Open(Options(std::make_shared<Plan>())).Opened()) << "the lease was kept";
}

// The holder of the lease ended without releasing it: the next client gets
// it at once, with no lease wait at all.
TEST(ClientLease, AnAbandonedLeaseIsTakenAtOnce)
{
    const wchar_t kName[] = L"Local\\Q5ClientTest.AbandonedLease";
    std::thread holder([&] { CreateMutexW(nullptr, TRUE, kName); });  // ends holding it
    holder.join();
    q5dm::OpenOptions options = OptionsFor(std::make_shared<Plan>());
    options.pszLeaseName = kName;
    options.dwLeaseWaitMs = 0;
    q5dm::OpenResult opened = CClient::Open(options);
    EXPECT_TRUE(opened.Opened()) << q5dm::FailureName(opened.eFailure);
}

// The asynchronous form returns at once and delivers on a library thread;
// a second one behind it still times out at its own deadline; a closed
// client takes nothing.
TEST(ClientAsync, CallbacksComeFromALibraryThreadAndKeepTheirDeadlines)
{
    auto plan = std::make_shared<Plan>();
    plan->iBlockedCall = 0;
    CClient client = OpenScripted(plan);
    CEvent firstDone, secondDone;
    Result<q5dm::ExecOutcome> first;
    Result<q5dm::DeleteOutcome> second;
    DWORD dwCallbackThread = 0;
    ASSERT_TRUE(client.SyncExecAsync(Completion<q5dm::ExecOutcome>::Callback([&](const Result<q5dm::ExecOutcome>& r) {
                                         first = r;
                                         dwCallbackThread = GetCurrentThreadId();
                                         firstDone.Set();
                                     }),
                                     L"x.exe", L""));
    ASSERT_TRUE(plan->entered.Wait());
    ASSERT_TRUE(client.DeleteRegKeyAsync(Completion<q5dm::DeleteOutcome>::Callback([&](const Result<q5dm::DeleteOutcome>& r) {
                                             second = r;
                                             secondDone.Set();
                                         }),
                                         L"HKCU", L"Software\\X", kShortDeadlineMs));
    ASSERT_TRUE(secondDone.Wait());
    EXPECT_FALSE(firstDone.Wait(0));
    plan->release.Set();
    ASSERT_TRUE(firstDone.Wait());
    EXPECT_FALSE(plan->bReleaseLate);
    EXPECT_EQ(second.eFailure, Failure::TimedOut);
    EXPECT_TRUE(first.Is(q5dm::ExecOutcome::Ended));
    EXPECT_NE(dwCallbackThread, GetCurrentThreadId());
    client.Close();
    EXPECT_FALSE(client.DeleteRegKeyAsync(Completion<q5dm::DeleteOutcome>::Callback([](const Result<q5dm::DeleteOutcome>&) {}),
                                          L"HKCU", L"Software\\X"));
}

namespace {

constexpr UINT kResultMessage = WM_APP + 1;

// A window on a thread that does nothing but pump its messages, as the
// application's window thread does.
class CWindowThread {
public:
    CWindowThread() : m_thread([this] { Run(); }) { m_ready.Wait(); }
    ~CWindowThread()
    {
        PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
        m_thread.join();
    }
    HWND Window() const { return m_hwnd; }
    CEvent delivered;
    Result<q5dm::ExecOutcome> result;
    WPARAM wParam = 0;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<CWindowThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (uMsg == kResultMessage && self != nullptr) {
            self->result = *q5dm::TakeResult<q5dm::ExecOutcome>(lParam);
            self->wParam = wParam;
            self->delivered.Set();
            return 0;
        }
        if (uMsg == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    }
    void Run()
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"Q5ClientTestWindow";
        RegisterClassW(&wc);
        m_hwnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        m_ready.Set();
        MSG msg;
        while (m_hwnd != nullptr && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }

    CEvent m_ready;
    HWND m_hwnd = nullptr;
    std::thread m_thread;
};

bool Responds(HWND hwnd)
{
    DWORD_PTR dwResult = 0;
    return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kBlockLimitMs, &dwResult) != 0;
}

}  // namespace

// The message form: the window's own handler gets the result, and the
// window keeps answering while the call runs.
TEST(ClientAsync, AResultPostedToAWindowThatKeepsPumping)
{
    CWindowThread window;
    ASSERT_NE(window.Window(), nullptr) << "no window: this program needs a display";
    auto plan = std::make_shared<Plan>();
    plan->iBlockedCall = 0;
    CClient client = OpenScripted(plan);
    ASSERT_TRUE(client.SyncExecAsync(Completion<q5dm::ExecOutcome>::Message(window.Window(), kResultMessage, 7), L"x.exe", L""));
    ASSERT_TRUE(plan->entered.Wait());
    EXPECT_TRUE(Responds(window.Window()));
    plan->release.Set();
    ASSERT_TRUE(window.delivered.Wait());
    EXPECT_TRUE(window.result.Is(q5dm::ExecOutcome::Ended));
    EXPECT_EQ(window.wParam, 7u);
}

// The library's own owner window for the prompt answers messages while the
// activation waits for the prompt.
TEST(ClientOpen, ThePromptsOwnWindowPumpsDuringTheActivation)
{
    auto plan = std::make_shared<Plan>();
    q5dm::OpenOptions options = Options(plan);
    options.eElevation = q5dm::Elevation::Always;
    bool bOwnerResponds = false;
    bool bOwnerOnAnotherThread = false;
    q5dm::ActivateFn scripted = options.pfnActivate;
    options.pfnActivate = [&](const q5dm::ActivationRequest& request, IQ5DMService** ppService) {
        bOwnerOnAnotherThread = GetWindowThreadProcessId(request.hwndOwner, nullptr) != GetCurrentThreadId();
        bOwnerResponds = Responds(request.hwndOwner);
        return scripted(request, ppService);
    };
    q5dm::OpenResult opened = CClient::Open(options);
    ASSERT_TRUE(opened.Opened()) << q5dm::FailureName(opened.eFailure);
    EXPECT_TRUE(bOwnerOnAnotherThread) << "the owner window lives on the blocked thread";
    EXPECT_TRUE(bOwnerResponds);
}

// A DLL that links the library is unloaded while its call, past its
// deadline, still runs in a thread of the library: the DLL stays mapped
// until that thread has left it, and nothing runs in unmapped code.
TEST(ClientModule, ADllUnloadedAfterATimedOutCall)
{
    HMODULE hProbe = LoadLibraryW(L"client_probe.dll");
    ASSERT_NE(hProbe, nullptr) << "client_probe.dll beside the test program";
    using ProbeFn = int(__cdecl*)(HANDLE hEntered, HANDLE hRelease);
    auto pfnProbe = reinterpret_cast<ProbeFn>(reinterpret_cast<void*>(GetProcAddress(hProbe, "ProbeTimedOutCall")));
    ASSERT_NE(pfnProbe, nullptr);
    CEvent entered, release;
    EXPECT_EQ(pfnProbe(entered.Get(), release.Get()), 1) << "the probe's call did not time out";
    FreeLibrary(hProbe);
    EXPECT_NE(GetModuleHandleW(L"client_probe.dll"), nullptr) << "unloaded under a running thread of it";
    release.Set();
    bool bUnloaded = false;
    for (int i = 0; i < 3000 && !bUnloaded; ++i) {
        bUnloaded = GetModuleHandleW(L"client_probe.dll") == nullptr;
        if (!bUnloaded) Sleep(10);
    }
    EXPECT_TRUE(bUnloaded) << "the library's threads never let the DLL go";
}
