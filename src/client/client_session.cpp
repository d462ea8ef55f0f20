// A session of the client library, and who does what in it.
//
// THREADS. A session has two threads of its own, started by Open:
//   - the OWNER thread owns the session's multithreaded COM apartment, its
//     server's proxy (m_service), the lease (the named mutex is held by
//     this thread: only it can release it) and every member listed under
//     "the owner thread's alone". It takes the lease, activates the first
//     server, then runs the queued jobs one at a time, in order. It is the
//     only thread that activates, calls or releases a server.
//   - the DELIVERY thread hands asynchronous results over (the caller's
//     callback runs on it, or it posts the caller's message), and gives
//     up on an asynchronous job whose deadline passed.
// A synchronous call queues its job and waits on the job's event until the
// job's deadline, on the caller's own thread.
//
// LOCKS. m_lock guards m_queue, m_undelivered and m_bClosing; the owner
// thread sleeps on m_cvWake and the delivery thread on m_cvDeliver under
// it, so whoever changes what they wait for does so under m_lock (or takes
// it once after) before waking them: no wake-up is lost. Under m_lock
// nothing is called but a job's IsDone (whose own lock is taken after
// m_lock, never before). A job (CJob) is settled exactly once through its
// atomic state; its result is written before it is marked done and read
// only after it is seen done. Everything else is written before the
// threads start or is atomic. No kernel event is set or waited for on a
// call's way (see CJob).
//
// STATES. Opening (the owner waits for the lease, then activates: Open's
// job) -> Open (jobs run one at a time; the server is usable, or lost and
// the next job activates a fresh one) -> Closing (m_bClosing: nothing new
// is queued, nothing is activated) -> Ended (both threads have ended).
// A job is Pending in the queue, Running on the owner thread, then Done.
//   - Deadline: the waiter (the caller, or the delivery thread for an
//     asynchronous job) settles the job as TimedOut and marks it abandoned.
//     A pending abandoned job never runs; a running one goes on to its
//     server's answer but never activates a server again (no repeat), and
//     the owner still records what the answer means for the session (a
//     reservation made, a server lost). The next job waits for it.
//   - Close: queued jobs are settled as Misuse (they did not run); the
//     running job goes on as above and is answered to its waiter; then the
//     owner thread releases the proxy in its apartment, then the lease,
//     and ends. When the owner thread is idle, Close waits for both
//     threads' end, at most kCloseWaitMs; when it is busy with a call or an
//     activation (m_bOwnerBusy), Close returns at once and the threads end
//     by themselves after it.
//
// HOW THE THREADS END. Each thread holds a reference to the session and a
// reference to the module that contains this code (taken by the thread
// that starts it), and leaves through FreeLibraryAndExitThread: a DLL that
// links the library stays loaded while a thread of it runs, and is
// unloaded by the last one. Close waits for the threads' exit itself, so
// that none still runs when the caller goes on (to the process's exit,
// say); under the loader lock a thread cannot exit, and Close then gives
// up after kCloseWaitMs.
#include "client_session.h"

#include <algorithm>
#include <utility>

namespace q5dm {
namespace detail {

// Deadlines are kept on the performance counter: GetTickCount64 advances
// in steps of the system tick (16 ms under Wine), and a deadline read from
// it is passed by up to one step.
ULONGLONG NowMs()
{
    static const LONGLONG llFrequency = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const ULONGLONG ullCount = static_cast<ULONGLONG>(now.QuadPart);
    const ULONGLONG ullFrequency = static_cast<ULONGLONG>(llFrequency);
    return ullCount / ullFrequency * 1000 + ullCount % ullFrequency * 1000 / ullFrequency;
}

ULONGLONG DeadlineFromNow(DWORD dwMs)
{
    return dwMs == INFINITE ? kNever : NowMs() + dwMs;
}

DWORD MillisecondsLeft(ULONGLONG ullDeadline)
{
    if (ullDeadline == kNever) return INFINITE;
    const ULONGLONG ullNow = NowMs();
    if (ullNow >= ullDeadline) return 0;
    return static_cast<DWORD>(std::min<ULONGLONG>(ullDeadline - ullNow, INFINITE - 1));
}

}  // namespace detail

using namespace detail;

namespace {

bool ProcessIsElevated()
{
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    CHandle token(hToken);
    TOKEN_ELEVATION elevation = {};
    DWORD dwSize = 0;
    return GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &dwSize) &&
           elevation.TokenIsElevated != 0;
}

bool IsServerLost(Failure eFailure)
{
    return eFailure == Failure::ServerLostDidNotRun || eFailure == Failure::ServerLostMayHaveRun;
}

// A reference to the module that contains the library, for a thread of it.
HMODULE PinThisModule()
{
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&PinThisModule), &hModule);
    return hModule;
}

void WaitForEnd(const CHandle& hThread, ULONGLONG ullUntil)
{
    if (hThread.Get() != nullptr) WaitForSingleObject(hThread.Get(), MillisecondsLeft(ullUntil));
}

const JobResult kClosedResult = {Failure::Misuse, kIllegalMethodCall, false, false};
const JobResult kTimedOutResult = {Failure::TimedOut, kTimedOut, false, false};

}  // namespace

struct CClient::CSession::CThreadRef {
    std::shared_ptr<CSession> pSession;
    HMODULE hModule;
};

CClient::CSession::CSession(const OpenOptions& options) : m_options(options)
{
    const bool bElevated = options.pfnIsElevated ? options.pfnIsElevated() : ProcessIsElevated();
    m_request.bUseMoniker = options.eElevation == Elevation::Always ||
                            (options.eElevation == Elevation::WhenNotElevated && !bElevated);
    m_request.dwClassContext = ClassContext(options.eBits);
    m_request.hwndOwner = options.hwndOwner;
}

CClient::CSession::~CSession() = default;

std::shared_ptr<CClient::CSession> CClient::CSession::Start(const OpenOptions& options,
                                                            const std::shared_ptr<CJob>& pOpenJob, HRESULT& hr)
{
    auto pSession = std::make_shared<CSession>(options);
    CSession& session = *pSession;
    session.m_pOpenJob = pOpenJob;
    if (session.m_hQuit.Get() == nullptr) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        return nullptr;
    }
    const wchar_t* pszLease = options.pszLeaseName != nullptr ? options.pszLeaseName : L"Global\\Q5DMService.ClientLease";
    session.m_hLease.Reset(OpenLease(pszLease, hr));
    if (session.m_hLease.Get() == nullptr) return nullptr;
    if (!StartThread(pSession, ThreadMain<&CSession::RunOwner>, session.m_hOwnerThread, session.m_dwOwnerThreadId)) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        return nullptr;
    }
    if (!StartThread(pSession, ThreadMain<&CSession::RunDelivery>, session.m_hDeliveryThread, session.m_dwDeliveryThreadId)) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        session.Close(false);
        return nullptr;
    }
    hr = S_OK;
    return pSession;
}

bool CClient::CSession::StartThread(const std::shared_ptr<CSession>& pSession, LPTHREAD_START_ROUTINE pfnMain,
                                    CHandle& hThread, DWORD& dwThreadId)
{
    auto* pStart = new CThreadRef{pSession, PinThisModule()};
    hThread.Reset(CreateThread(nullptr, 0, pfnMain, pStart, 0, &dwThreadId));
    if (hThread.Get() != nullptr) return true;
    const DWORD dwError = GetLastError();
    if (pStart->hModule != nullptr) FreeLibrary(pStart->hModule);
    delete pStart;
    SetLastError(dwError);
    return false;
}

template <void (CClient::CSession::*Run)()>
DWORD WINAPI CClient::CSession::ThreadMain(void* pParameter)
{
    HMODULE hModule = nullptr;
    {
        std::unique_ptr<CThreadRef> pStart(static_cast<CThreadRef*>(pParameter));
        hModule = pStart->hModule;
        (pStart->pSession.get()->*Run)();
    }  // the session may end here, with its last reference
    if (hModule != nullptr) FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

bool CClient::CSession::Submit(const std::shared_ptr<CJob>& pJob)
{
    const bool bAsync = static_cast<bool>(pJob->pfnDeliver);
    // The session outlives every settling of its asynchronous jobs: only its
    // own threads and Close settle them.
    if (bAsync) pJob->pfnSettled = [this] { NoteSettled(); };
    {
        CExclusiveLock lock(m_lock);
        if (m_bClosing) return false;
        m_queue.push_back(pJob);
        if (bAsync) m_undelivered.push_back(pJob);
    }
    WakeConditionVariable(&m_cvWake);
    if (bAsync) WakeConditionVariable(&m_cvDeliver);
    return true;
}

JobResult CClient::CSession::Await(CJob& job)
{
    if (!job.WaitDone(job.ullDeadline)) {
        job.bAbandoned = true;
        job.Settle(kTimedOutResult);
        job.WaitDone(kNever);  // marked by whoever settled it
    }
    return job.result;
}

bool CClient::CSession::OnOwnThread() const
{
    const DWORD dwThread = GetCurrentThreadId();
    return dwThread == m_dwOwnerThreadId || dwThread == m_dwDeliveryThreadId;
}

void CClient::CSession::Close(bool bWait)
{
    std::deque<std::shared_ptr<CJob>> queued;
    {
        CExclusiveLock lock(m_lock);
        m_bClosing = true;
        queued.swap(m_queue);
    }
    SetEvent(m_hQuit.Get());  // for the owner thread's wait for the lease
    WakeAllConditionVariable(&m_cvWake);
    WakeAllConditionVariable(&m_cvDeliver);
    for (const std::shared_ptr<CJob>& pJob : queued) pJob->Settle(kClosedResult);
    // A running call or activation may take as long as the server likes:
    // the owner thread finishes it alone, then releases (see STATES).
    if (!bWait || m_bOwnerBusy.load()) return;
    const ULONGLONG ullUntil = DeadlineFromNow(kCloseWaitMs);
    const DWORD dwThread = GetCurrentThreadId();
    if (dwThread != m_dwOwnerThreadId) WaitForEnd(m_hOwnerThread, ullUntil);
    if (dwThread != m_dwDeliveryThreadId) WaitForEnd(m_hDeliveryThread, ullUntil);
}

unsigned CClient::CSession::Reconnects() const
{
    const unsigned uActivations = m_uActivations.load();
    return uActivations > 0 ? uActivations - 1 : 0;
}

// ---- the owner thread ----

void CClient::CSession::RunOwner()
{
    CComApartment apartment(COINIT_MULTITHREADED);
    if (!TakeLease(*m_pOpenJob)) return;
    RunOpen(*m_pOpenJob);
    while (std::shared_ptr<CJob> pJob = NextJob()) {
        LONG ePending = CJob::Pending;
        if (pJob->state.compare_exchange_strong(ePending, CJob::Running)) RunCall(*pJob);
    }
    // The server goes before the lease, so that the next client's start
    // does not end a server that is still ours.
    m_service.Reset(nullptr);
    ReleaseMutex(m_hLease.Get());
}

bool CClient::CSession::TakeLease(CJob& openJob)
{
    const HANDLE handles[2] = {m_hLease.Get(), m_hQuit.Get()};
    const ULONGLONG ullStart = NowMs();
    const DWORD dwWait = WaitForMultipleObjects(2, handles, FALSE, m_options.dwLeaseWaitMs);
    const DWORD dwError = GetLastError();
    m_dwLeaseWaitMs = static_cast<DWORD>(NowMs() - ullStart);
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED_0) {
        if (!IsClosing()) return true;
        ReleaseMutex(m_hLease.Get());  // Open gave up meanwhile
        openJob.Settle(kClosedResult);
        return false;
    }
    if (dwWait == WAIT_TIMEOUT) {
        openJob.Settle({Failure::Busy, kLeaseBusy, false, false});
    } else if (dwWait == WAIT_OBJECT_0 + 1) {
        openJob.Settle(kClosedResult);
    } else {
        openJob.Settle({Failure::Unexpected, HRESULT_FROM_WIN32(dwError), false, false});
    }
    return false;
}

void CClient::CSession::RunOpen(CJob& openJob)
{
    if (openJob.bAbandoned.load() || IsClosing()) {
        openJob.Settle(kClosedResult);
        return;
    }
    const HRESULT hr = Activate();
    openJob.Settle({FAILED(hr) ? ClassifyFailure(hr) : Failure::None, hr, false, false});
}

std::shared_ptr<CJob> CClient::CSession::NextJob()
{
    CExclusiveLock lock(m_lock);
    while (m_queue.empty() && !m_bClosing) m_lock.Sleep(m_cvWake, INFINITE);
    if (m_queue.empty()) return nullptr;  // Close took what was queued
    std::shared_ptr<CJob> pJob = std::move(m_queue.front());
    m_queue.pop_front();
    return pJob;
}

bool CClient::CSession::IsClosing()
{
    CExclusiveLock lock(m_lock);
    return m_bClosing;
}

// A fresh server replaces the session's one (which is lost, or none yet).
HRESULT CClient::CSession::Activate()
{
    CServiceRef fresh;
    bool bElevationUnavailable = false;
    m_bOwnerBusy = true;
    const HRESULT hr = ActivateForSession(m_options, m_request, bElevationUnavailable, fresh.Put());
    m_bOwnerBusy = false;
    if (bElevationUnavailable) m_bElevationUnavailable = true;
    if (FAILED(hr)) return hr;
    m_service.Swap(fresh);
    m_bServerUsable = true;
    if (m_bReservationHeld) {
        m_bReservationHeld = false;
        m_bReservationLost = true;
        m_hrReservationLost = RPC_E_DISCONNECTED;
    }
    ++m_uActivations;
    return hr;
}

// The server to call, activating a fresh one when the session has none
// that it may use; never for a job nobody waits for, nor after Close.
IQ5DMService* CClient::CSession::ServerFor(CJob& job, JobResult& result)
{
    if (m_bServerUsable && m_service.Get() != nullptr) return m_service.Get();
    if (job.bAbandoned.load() || IsClosing()) {
        result = job.bAbandoned.load() ? kTimedOutResult : kClosedResult;
        return nullptr;
    }
    const HRESULT hr = Activate();
    if (FAILED(hr)) {
        result = {ClassifyFailure(hr), hr, false, false};
        return nullptr;
    }
    return m_service.Get();
}

void CClient::CSession::MarkServerLost(HRESULT hr, bool bReserveMayHaveRun)
{
    m_bServerUsable = false;
    if (m_bReservationHeld || bReserveMayHaveRun) {
        m_bReservationHeld = false;
        m_bReservationLost = true;
        m_hrReservationLost = hr;
    }
}

void CClient::CSession::NoteAnswer(const CJob& job, HRESULT hr)
{
    if (job.rule.eRole == PortRole::Reserve && hr == S_FALSE) {
        m_bReservationHeld = true;
        m_bReservationLost = false;
    } else if (job.rule.eRole == PortRole::Restore) {
        m_bReservationHeld = false;
    }
}

bool CClient::CSession::MayRepeat(const CJob& job, Failure eFailure) const
{
    if (job.rule.eRole == PortRole::Restore && m_bReservationLost) return false;
    return eFailure == Failure::ServerLostDidNotRun ||
           (eFailure == Failure::ServerLostMayHaveRun && job.rule.eRetry == Retry::IfMayHaveRun);
}

// The call, and at most one repeat on a fresh server (see RECOVERY in the
// header). A repeat that brings no answer does not hide that the first run
// may have happened.
void CClient::CSession::RunCall(CJob& job)
{
    if (job.rule.eRole == PortRole::Restore && m_bReservationLost) {
        // The map is gone with its server: a call would restore nothing and answer S_OK.
        m_bReservationLost = false;
        job.Settle({Failure::None, m_hrReservationLost, false, true});
        return;
    }
    JobResult result;
    JobResult mayHaveRun;
    bool bMayHaveRun = false;
    for (int iAttempt = 0; iAttempt < 2; ++iAttempt) {
        IQ5DMService* pService = ServerFor(job, result);
        if (pService == nullptr) break;
        m_bOwnerBusy = true;
        result = {Failure::None, job.pfnCall(pService), iAttempt > 0, false};
        m_bOwnerBusy = false;
        if (job.answers.Has(result.hr)) {
            NoteAnswer(job, result.hr);
            break;
        }
        const Failure eFailure = ClassifyFailure(result.hr);
        if (!IsServerLost(eFailure)) break;
        MarkServerLost(result.hr, job.rule.eRole == PortRole::Reserve && eFailure == Failure::ServerLostMayHaveRun);
        if (iAttempt > 0 || !MayRepeat(job, eFailure)) break;
        if (eFailure == Failure::ServerLostMayHaveRun) {
            bMayHaveRun = true;
            mayHaveRun = result;
        }
    }
    const bool bAnswered = result.eFailure == Failure::None && job.answers.Has(result.hr);
    if (bMayHaveRun && !bAnswered && ClassifyFailure(result.hr) != Failure::ServerLostMayHaveRun) result = mayHaveRun;
    if (job.rule.eRole == PortRole::Restore && result.eFailure == Failure::None && IsServerLost(ClassifyFailure(result.hr))) {
        // This answer tells of the loss; a later call must not tell it again.
        result.bReservationLost = m_bReservationLost && ClassifyFailure(result.hr) == Failure::ServerLostDidNotRun;
        m_bReservationLost = false;
    }
    job.Settle(result);
}

// ---- the delivery thread ----

void CClient::CSession::RunDelivery()
{
    while (DeliverSettled()) {
    }
}

// One round: waits until a pending asynchronous job is settled or passes
// its deadline, and delivers what is settled, in order. False when the
// session is closing and nothing is left to deliver.
bool CClient::CSession::DeliverSettled()
{
    std::vector<std::shared_ptr<CJob>> pending;
    {
        CExclusiveLock lock(m_lock);
        if (!AwaitDeliverable()) return false;
        pending = m_undelivered;
    }
    const ULONGLONG ullNow = NowMs();
    for (const std::shared_ptr<CJob>& pJob : pending) {
        if (!pJob->IsDone()) {
            if (pJob->ullDeadline == kNever || ullNow < pJob->ullDeadline) continue;
            pJob->bAbandoned = true;
            pJob->Settle(kTimedOutResult);
            pJob->WaitDone(kNever);
        }
        pJob->pfnDeliver(pJob->result);
        CExclusiveLock lock(m_lock);
        m_undelivered.erase(std::find(m_undelivered.begin(), m_undelivered.end(), pJob));
    }
    return true;
}

// Sleeps until a job waiting for delivery is settled or past its deadline;
// false when the session is closing and none waits.
bool CClient::CSession::AwaitDeliverable()
{
    for (;;) {
        if (m_undelivered.empty() && m_bClosing) return false;
        const ULONGLONG ullNow = NowMs();
        ULONGLONG ullEarliest = kNever;
        for (const std::shared_ptr<CJob>& pJob : m_undelivered) {
            if (pJob->IsDone() || (pJob->ullDeadline != kNever && ullNow >= pJob->ullDeadline)) return true;
            ullEarliest = std::min(ullEarliest, pJob->ullDeadline);
        }
        m_lock.Sleep(m_cvDeliver, MillisecondsLeft(ullEarliest));
    }
}

// Taking m_lock once orders this after the delivery thread's look at the
// job: it is either not yet looking, or asleep and woken here.
void CClient::CSession::NoteSettled()
{
    { CExclusiveLock lock(m_lock); }
    WakeConditionVariable(&m_cvDeliver);
}

}  // namespace q5dm
