// What the client library's files share: small owners of handles, the
// codes the library answers by itself, one queued call (CJob), and the
// lease and activation steps that the session's owner thread runs.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <functional>
#include <memory>

#include "q5_thread_safety.h"
#include "q5dm_client.h"

namespace q5dm {
namespace detail {

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EL);
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4L);  // ERROR_TIMEOUT
constexpr HRESULT kLeaseBusy = static_cast<HRESULT>(0x800700AAL);  // ERROR_BUSY

class CHandle {
public:
    explicit CHandle(HANDLE h = nullptr) noexcept : m_h(h) {}
    ~CHandle()
    {
        if (m_h != nullptr) CloseHandle(m_h);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE Get() const noexcept { return m_h; }
    void Reset(HANDLE h) noexcept
    {
        if (m_h != nullptr) CloseHandle(m_h);
        m_h = h;
    }

private:
    HANDLE m_h;
};

class CComApartment {
public:
    explicit CComApartment(DWORD dwInit) noexcept : m_hr(CoInitializeEx(nullptr, dwInit)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;

private:
    HRESULT m_hr;
};

// One reference to a server's proxy, released where it was taken.
class CServiceRef {
public:
    CServiceRef() noexcept = default;
    ~CServiceRef() { Reset(nullptr); }
    CServiceRef(const CServiceRef&) = delete;
    CServiceRef& operator=(const CServiceRef&) = delete;
    IQ5DMService* Get() const noexcept { return m_p; }
    IQ5DMService** Put() noexcept
    {
        Reset(nullptr);
        return &m_p;
    }
    void Reset(IQ5DMService* p) noexcept
    {
        if (m_p != nullptr) m_p->Release();
        m_p = p;
    }
    void Swap(CServiceRef& other) noexcept
    {
        IQ5DMService* p = m_p;
        m_p = other.m_p;
        other.m_p = p;
    }

private:
    IQ5DMService* m_p = nullptr;
};

// The lease's named mutex; null with hr set when it cannot be had.
HANDLE OpenLease(const wchar_t* pszName, HRESULT& hr);

// One activation as the session's options ask for it: the moniker (with an
// owner window on a thread that pumps) or a plain one, the fallback where
// the platform has no moniker, one retry of a transient plain failure.
// Updates `request` and `bElevationUnavailable` when it falls back.
HRESULT ActivateForSession(const OpenOptions& options, ActivationRequest& request, bool& bElevationUnavailable,
                           IQ5DMService** ppService);

enum class Retry { Never, IfMayHaveRun };
enum class PortRole { None, Reserve, Restore };

struct CallRule {
    Retry eRetry;
    PortRole eRole;
};

// Which HRESULTs are the method's own answers.
struct Answers {
    HRESULT hr[2];
    int iCount;
    bool Has(HRESULT hrCall) const
    {
        for (int i = 0; i < iCount; ++i) {
            if (hr[i] == hrCall) return true;
        }
        return false;
    }
};

// What a job ended with, as the owner thread (or the waiter that gave up,
// or Close) decided it.
struct JobResult {
    Failure eFailure = Failure::Unexpected;  // None: hr is the server's answer
    HRESULT hr = E_UNEXPECTED;
    bool bRepeated = false;
    bool bReservationLost = false;  // RestoreComPorts: answered ReservationLost without a call
};

constexpr ULONGLONG kNever = ~0ULL;
// Milliseconds on a clock that does not move in system ticks.
ULONGLONG NowMs();
// The absolute time of a deadline given in milliseconds from now.
ULONGLONG DeadlineFromNow(DWORD dwMs);
// Milliseconds left until an absolute deadline, INFINITE for none.
DWORD MillisecondsLeft(ULONGLONG ullDeadline);

// One unit of work for the owner thread. Exactly one party settles it
// (`state` leaves Pending/Running once): the owner thread when the work
// ends, the waiter when the deadline passes first, or Close for work that
// never started. Whoever settles it writes `result` first, then marks it
// done. Waiting takes no kernel object: under Wine every set and every wait
// of an event is a round trip to the wine server, and two of those per call
// cost more than the call's own marshalling.
struct CJob {
    enum State : LONG { Pending, Running, Done };

    std::function<HRESULT(IQ5DMService*)> pfnCall;  // empty: the session's first activation
    Answers answers = {};
    CallRule rule = {Retry::Never, PortRole::None};
    ULONGLONG ullDeadline = 0;  // NowMs() time; kNever: none
    std::function<void(const JobResult&)> pfnDeliver;  // an asynchronous call's delivery
    std::function<void()> pfnSettled;  // tells the delivery thread; runs after the job is marked done

    std::atomic<LONG> state{Pending};
    std::atomic<bool> bAbandoned{false};  // the waiter gave up: no activation for it any more
    JobResult result;

    // The settling party's one chance; false when another party settled first.
    bool Settle(const JobResult& settled) Q5_EXCLUDES(m_doneLock)
    {
        LONG eExpected = state.load();
        while (eExpected != Done) {
            if (state.compare_exchange_weak(eExpected, Done)) {
                result = settled;
                {
                    CExclusiveLock lock(m_doneLock);
                    m_bDone = true;
                }
                WakeAllConditionVariable(&m_doneCv);
                if (pfnSettled) pfnSettled();
                return true;
            }
        }
        return false;
    }
    // True once settled (and `result` written), false when ullUntil passed first.
    bool WaitDone(ULONGLONG ullUntil) Q5_EXCLUDES(m_doneLock)
    {
        CExclusiveLock lock(m_doneLock);
        while (!m_bDone) {
            const DWORD dwMs = MillisecondsLeft(ullUntil);
            if (dwMs == 0) return false;
            m_doneLock.Sleep(m_doneCv, dwMs);
        }
        return true;
    }
    bool IsDone() Q5_EXCLUDES(m_doneLock)
    {
        CExclusiveLock lock(m_doneLock);
        return m_bDone;
    }

private:
    CSrwLock m_doneLock;
    CONDITION_VARIABLE m_doneCv = CONDITION_VARIABLE_INIT;
    bool m_bDone Q5_GUARDED_BY(m_doneLock) = false;
};

}  // namespace detail
}  // namespace q5dm
