// One open session: its owner thread, its queue of calls, its delivery
// thread for asynchronous calls. The rules are at the top of
// client_session.cpp.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "client_internal.h"

namespace q5dm {

struct CClient::CSession {
    // Starts the session's threads; the owner thread takes the lease and
    // activates the first server as `pOpenJob`. Null with hr on failure.
    static std::shared_ptr<CSession> Start(const OpenOptions& options, const std::shared_ptr<detail::CJob>& pOpenJob,
                                           HRESULT& hr);
    explicit CSession(const OpenOptions& options);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Queues a job; false when the session is closing (nothing was queued).
    bool Submit(const std::shared_ptr<detail::CJob>& pJob) Q5_EXCLUDES(m_lock);
    // Waits for a job's end or its deadline, whichever comes first.
    static detail::JobResult Await(detail::CJob& job);
    // True on one of the session's own threads, where waiting for the
    // session would wait for oneself.
    bool OnOwnThread() const;
    bool OnOwnerThread() const { return GetCurrentThreadId() == m_dwOwnerThreadId; }
    // Settles every queued job, lets the threads end, waits for them at
    // most kCloseWaitMs when bWait (never on one of them).
    void Close(bool bWait) Q5_EXCLUDES(m_lock);

    unsigned Reconnects() const;
    DWORD DefaultDeadlineMs() const { return m_options.dwDeadlineMs; }
    DWORD LeaseWaitMs() const { return m_dwLeaseWaitMs.load(); }
    bool ElevationUnavailable() const { return m_bElevationUnavailable.load(); }

private:
    struct CThreadRef;
    static bool StartThread(const std::shared_ptr<CSession>& pSession, LPTHREAD_START_ROUTINE pfnMain,
                            detail::CHandle& hThread, DWORD& dwThreadId);
    // A thread of the session: runs Run, then lets its module go.
    template <void (CSession::*Run)()>
    static DWORD WINAPI ThreadMain(void* pParameter);

    // Owner thread.
    void RunOwner();
    bool TakeLease(detail::CJob& openJob);
    void RunOpen(detail::CJob& openJob);
    std::shared_ptr<detail::CJob> NextJob() Q5_EXCLUDES(m_lock);
    bool IsClosing() Q5_EXCLUDES(m_lock);
    HRESULT Activate();
    IQ5DMService* ServerFor(detail::CJob& job, detail::JobResult& result);
    void RunCall(detail::CJob& job);
    bool MayRepeat(const detail::CJob& job, Failure eFailure) const;
    void MarkServerLost(HRESULT hr, bool bReserveMayHaveRun);
    void NoteAnswer(const detail::CJob& job, HRESULT hr);

    // Delivery thread.
    void RunDelivery();
    bool DeliverSettled() Q5_EXCLUDES(m_lock);
    bool AwaitDeliverable() Q5_REQUIRES(m_lock);
    void NoteSettled() Q5_EXCLUDES(m_lock);

    // Set before the threads start; read-only afterwards.
    const OpenOptions m_options;
    std::shared_ptr<detail::CJob> m_pOpenJob;
    detail::CHandle m_hLease;
    detail::CHandle m_hQuit{CreateEventW(nullptr, TRUE, FALSE, nullptr)};      // Close was asked
    detail::CHandle m_hOwnerThread;
    detail::CHandle m_hDeliveryThread;
    DWORD m_dwOwnerThreadId = 0;
    DWORD m_dwDeliveryThreadId = 0;

    CSrwLock m_lock;
    std::deque<std::shared_ptr<detail::CJob>> m_queue Q5_GUARDED_BY(m_lock);     // not started yet
    std::vector<std::shared_ptr<detail::CJob>> m_undelivered Q5_GUARDED_BY(m_lock);  // asynchronous, not delivered yet
    bool m_bClosing Q5_GUARDED_BY(m_lock) = false;
    CONDITION_VARIABLE m_cvWake = CONDITION_VARIABLE_INIT;     // the owner thread's: a job was queued, or Close
    CONDITION_VARIABLE m_cvDeliver = CONDITION_VARIABLE_INIT;  // the delivery thread's: a job queued or settled, or Close

    // The owner thread's alone.
    ActivationRequest m_request = {};
    detail::CServiceRef m_service;  // a proxy of the owner thread's apartment
    bool m_bServerUsable = false;   // false: the next call activates a fresh server
    bool m_bReservationHeld = false;
    bool m_bReservationLost = false;
    HRESULT m_hrReservationLost = S_OK;

    // Written by the owner thread, read anywhere.
    std::atomic<unsigned> m_uActivations{0};
    std::atomic<DWORD> m_dwLeaseWaitMs{0};
    std::atomic<bool> m_bElevationUnavailable{false};
    std::atomic<bool> m_bOwnerBusy{false};  // in an activation or a call
};

}  // namespace q5dm
