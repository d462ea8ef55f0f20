#include "q5dm_client.h"

#include <sddl.h>

#include <atomic>
#include <string>
#include <utility>

namespace q5dm {
namespace {

// Codes that not every SDK's headers define.
constexpr HRESULT kCoElevationDisabled = static_cast<HRESULT>(0x80080017L);
constexpr HRESULT kCoMissingDisplayName = static_cast<HRESULT>(0x80080015L);
constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EL);
constexpr HRESULT kElevationRequired = static_cast<HRESULT>(0x800702E4L);
constexpr HRESULT kRpcCallCancelled = static_cast<HRESULT>(0x8007071AL);
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4L);  // ERROR_TIMEOUT
constexpr HRESULT kLeaseBusy = static_cast<HRESULT>(0x800700AAL);  // ERROR_BUSY

const wchar_t kLeaseName[] = L"Global\\Q5DMService.ClientLease";
// Every interactive user, SYSTEM and the administrators may wait for and
// release it; the low label keeps an elevated creator from locking out the
// others (no write-up).
const wchar_t kLeaseSecurity[] = L"D:(A;;0x1F0001;;;IU)(A;;0x1F0001;;;SY)(A;;0x1F0001;;;BA)S:(ML;;NW;;;LW)";
const wchar_t kElevationMoniker[] = L"Elevation:Administrator!new:{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";
// A server starting or ending at the moment of an activation can make it
// fail once; a short pause lets that settle.
constexpr DWORD kActivationRetryPauseMs = 250;

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

class CExclusive {
public:
    explicit CExclusive(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~CExclusive() { ReleaseSRWLockExclusive(&m_lock); }
    CExclusive(const CExclusive&) = delete;
    CExclusive& operator=(const CExclusive&) = delete;

private:
    SRWLOCK& m_lock;
};

class CLocalMemory {
public:
    explicit CLocalMemory(void* p = nullptr) noexcept : m_p(p) {}
    ~CLocalMemory()
    {
        if (m_p != nullptr) LocalFree(m_p);
    }
    CLocalMemory(const CLocalMemory&) = delete;
    CLocalMemory& operator=(const CLocalMemory&) = delete;
    void** Put() noexcept { return &m_p; }
    void* Get() const noexcept { return m_p; }

private:
    void* m_p;
};

// The prompt's owner when the caller gave none: the library's threads have
// no active window of their own, and without one the prompt only flashes in
// the taskbar.
class COwnerWindow {
public:
    COwnerWindow() noexcept
        : m_hwnd(CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr))
    {
        if (m_hwnd != nullptr) SetForegroundWindow(m_hwnd);
    }
    ~COwnerWindow()
    {
        if (m_hwnd != nullptr) DestroyWindow(m_hwnd);
    }
    COwnerWindow(const COwnerWindow&) = delete;
    COwnerWindow& operator=(const COwnerWindow&) = delete;
    HWND Get() const noexcept { return m_hwnd; }

private:
    HWND m_hwnd;
};

struct FailureEntry {
    HRESULT hr;
    Failure eFailure;
};

const FailureEntry kFailures[] = {
    {HRESULT_FROM_WIN32(ERROR_CANCELLED), Failure::Declined},
    {REGDB_E_CLASSNOTREG, Failure::NotRegistered},
    {CLASS_E_CLASSNOTAVAILABLE, Failure::NotRegistered},
    {CO_E_APPNOTFOUND, Failure::NotRegistered},
    {kCoElevationDisabled, Failure::ElevationNotEnabled},
    {kCoMissingDisplayName, Failure::ElevationNotEnabled},
    {MK_E_CANTOPENFILE, Failure::ElevationNotEnabled},
    {E_ACCESSDENIED, Failure::AccessDenied},
    {kElevationRequired, Failure::AccessDenied},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), Failure::ServerLostMayHaveRun},
    {RPC_E_SERVER_DIED, Failure::ServerLostMayHaveRun},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE), Failure::ServerLostDidNotRun},
    {RPC_E_SERVER_DIED_DNE, Failure::ServerLostDidNotRun},
    {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), Failure::ServerLostDidNotRun},
    {RPC_E_DISCONNECTED, Failure::ServerLostDidNotRun},
    {CO_E_OBJNOTCONNECTED, Failure::ServerLostDidNotRun},
    {RPC_E_CALL_CANCELED, Failure::TimedOut},
    {kRpcCallCancelled, Failure::TimedOut},
    {RPC_E_TIMEOUT, Failure::TimedOut},
    {kTimedOut, Failure::TimedOut},
    {kLeaseBusy, Failure::Busy},
    {RPC_E_SERVERCALL_RETRYLATER, Failure::Busy},
    {RPC_E_SERVERCALL_REJECTED, Failure::Busy},
    {RPC_E_CALL_REJECTED, Failure::Busy},
    {RPC_E_WRONG_THREAD, Failure::Misuse},
    {RPC_E_CANTCALLOUT_ININPUTSYNCCALL, Failure::Misuse},
    {RPC_E_CHANGED_MODE, Failure::Misuse},
    {CO_E_NOTINITIALIZED, Failure::Misuse},
    {HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), Failure::Misuse},
    {kIllegalMethodCall, Failure::Misuse},
};

struct NameEntry {
    HRESULT hr;
    const char* pszName;
};

const NameEntry kNames[] = {
    {S_OK, "S_OK"},
    {S_FALSE, "S_FALSE"},
    {E_FAIL, "E_FAIL"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_POINTER, "E_POINTER"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {kIllegalMethodCall, "E_ILLEGAL_METHOD_CALL"},
    {HRESULT_FROM_WIN32(ERROR_CANCELLED), "ERROR_CANCELLED"},
    {kTimedOut, "ERROR_TIMEOUT"},
    {kLeaseBusy, "ERROR_BUSY"},
    {kElevationRequired, "ERROR_ELEVATION_REQUIRED"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
    {CO_E_APPNOTFOUND, "CO_E_APPNOTFOUND"},
    {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
    {CO_E_OBJNOTCONNECTED, "CO_E_OBJNOTCONNECTED"},
    {kCoElevationDisabled, "CO_E_ELEVATION_DISABLED"},
    {kCoMissingDisplayName, "CO_E_MISSING_DISPLAYNAME"},
    {MK_E_CANTOPENFILE, "MK_E_CANTOPENFILE"},
    {MK_E_SYNTAX, "MK_E_SYNTAX"},
    {RPC_E_CALL_REJECTED, "RPC_E_CALL_REJECTED"},
    {RPC_E_CALL_CANCELED, "RPC_E_CALL_CANCELED"},
    {RPC_E_CANTCALLOUT_ININPUTSYNCCALL, "RPC_E_CANTCALLOUT_ININPUTSYNCCALL"},
    {RPC_E_SERVER_DIED, "RPC_E_SERVER_DIED"},
    {RPC_E_SERVER_DIED_DNE, "RPC_E_SERVER_DIED_DNE"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
    {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT"},
    {RPC_E_SERVERCALL_RETRYLATER, "RPC_E_SERVERCALL_RETRYLATER"},
    {RPC_E_SERVERCALL_REJECTED, "RPC_E_SERVERCALL_REJECTED"},
    {RPC_E_WRONG_THREAD, "RPC_E_WRONG_THREAD"},
    {RPC_E_CHANGED_MODE, "RPC_E_CHANGED_MODE"},
    {RPC_E_INVALID_OBJECT, "RPC_E_INVALID_OBJECT"},
    {RPC_E_TIMEOUT, "RPC_E_TIMEOUT"},
    {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "RPC_S_SERVER_UNAVAILABLE"},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), "RPC_S_CALL_FAILED"},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE), "RPC_S_CALL_FAILED_DNE"},
    {kRpcCallCancelled, "RPC_S_CALL_CANCELLED"},
    {HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF), "RPC_S_UNKNOWN_IF"},
    {HRESULT_FROM_WIN32(RPC_S_PROCNUM_OUT_OF_RANGE), "RPC_S_PROCNUM_OUT_OF_RANGE"},
    {HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), "RPC_X_NULL_REF_POINTER"},
    {HRESULT_FROM_WIN32(RPC_X_BAD_STUB_DATA), "RPC_X_BAD_STUB_DATA"},
    {HRESULT_FROM_WIN32(RPC_S_INVALID_BOUND), "RPC_S_INVALID_BOUND"},
};

// Failures of an activation that another server starting or ending at the
// same moment can cause: worth one more plain activation.
bool IsTransientActivationFailure(HRESULT hr)
{
    Failure eFailure = ClassifyFailure(hr);
    return hr == CO_E_SERVER_EXEC_FAILURE || hr == E_NOINTERFACE || hr == E_ACCESSDENIED ||
           eFailure == Failure::ServerLostDidNotRun || eFailure == Failure::ServerLostMayHaveRun;
}

bool IsServerLost(Failure eFailure)
{
    return eFailure == Failure::ServerLostDidNotRun || eFailure == Failure::ServerLostMayHaveRun;
}

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


HANDLE OpenLease(const wchar_t* pszName, HRESULT& hr)
{
    CLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kLeaseSecurity, SDDL_REVISION_1,
                                                             reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr)) {
        attributes.lpSecurityDescriptor = descriptor.Get();
    }
    HANDLE hMutex = CreateMutexW(&attributes, FALSE, pszName);
    if (hMutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
        hMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, pszName);
    }
    hr = hMutex == nullptr ? HRESULT_FROM_WIN32(GetLastError()) : S_OK;
    return hMutex;
}

// One string argument, copied: a call that passes its deadline goes on
// after the caller's strings are gone. A null pointer stays null, and the
// proxy refuses it.
class CArg {
public:
    CArg(const wchar_t* psz) : m_bNull(psz == nullptr), m_text(psz == nullptr ? L"" : psz) {}
    const wchar_t* Get() const { return m_bNull ? nullptr : m_text.c_str(); }

private:
    bool m_bNull;
    std::wstring m_text;
};

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

template <typename TOutcome>
struct AnswerEntry {
    HRESULT hr;
    TOutcome eOutcome;
};

}  // namespace

struct CClient::CSession {
    explicit CSession(const OpenOptions& options) : m_options(options) {}
    ~CSession()
    {
        if (m_pService != nullptr) m_pService->Release();
    }

    OpenOptions m_options;
    ActivationRequest m_request = {};
    bool m_bElevationUnavailable = false;
    CHandle m_hLease;
    CHandle m_hLeaseDecided;
    CHandle m_hQuit;
    CHandle m_hKeeper;
    DWORD m_dwLeaseWait = WAIT_FAILED;
    DWORD m_dwLeaseWaitMs = 0;

    SRWLOCK m_callLock = SRWLOCK_INIT;  // one call at a time
    SRWLOCK m_lock = SRWLOCK_INIT;      // guards what follows
    IQ5DMService* m_pService = nullptr;  // a proxy of the multithreaded apartment
    bool m_bSpoiled = false;             // lost, or busy with a call past its deadline
    unsigned m_uActivations = 0;
    bool m_bReservationHeld = false;
    bool m_bReservationLost = false;
    HRESULT m_hrReservationLost = S_OK;
};

namespace {

using CSession = CClient::CSession;

// The server is gone or no longer ours to use; a reservation in it is gone too.
void MarkServerLost(CSession& session, HRESULT hr, bool bReserveMayHaveRun)
{
    CExclusive lock(session.m_lock);
    session.m_bSpoiled = true;
    if (session.m_bReservationHeld || bReserveMayHaveRun) {
        session.m_bReservationHeld = false;
        session.m_bReservationLost = true;
        session.m_hrReservationLost = hr;
    }
}

HRESULT ActivateOnce(CSession& session, const ActivationRequest& request, IQ5DMService** ppService)
{
    *ppService = nullptr;
    const ActivateFn& activate = session.m_options.pfnActivate;
    HRESULT hr = activate ? activate(request, ppService) : ActivateDefault(request, ppService);
    if (SUCCEEDED(hr) && *ppService == nullptr) hr = E_POINTER;  // S_OK without an object
    if (FAILED(hr) && *ppService != nullptr) {
        (*ppService)->Release();
        *ppService = nullptr;
    }
    return hr;
}

HRESULT ActivateThroughMoniker(CSession& session, ActivationRequest request, IQ5DMService** ppService)
{
    COwnerWindow ownWindow;
    if (request.hwndOwner == nullptr) request.hwndOwner = ownWindow.Get();
    return ActivateOnce(session, request, ppService);
}

HRESULT ActivateWithFallback(CSession& session, IQ5DMService** ppService)
{
    const ActivationRequest& request = session.m_request;
    if (request.bUseMoniker) {
        HRESULT hr = ActivateThroughMoniker(session, request, ppService);
        if (hr != MK_E_CANTOPENFILE || session.m_options.eElevation != Elevation::WhenNotElevated) return hr;
        // No moniker on this platform: the plain server is all there is.
        session.m_request.bUseMoniker = false;
        session.m_bElevationUnavailable = true;
    }
    HRESULT hr = ActivateOnce(session, request, ppService);
    if (FAILED(hr) && IsTransientActivationFailure(hr)) {
        Sleep(kActivationRetryPauseMs);
        hr = ActivateOnce(session, request, ppService);
    }
    return hr;
}

// A fresh server for the session, replacing the one it had. The old proxy
// is released only after the new server's start has ended the old server,
// so a release never waits for a server busy with an abandoned call.
HRESULT Reactivate(CSession& session, const std::atomic<bool>* pbAbandoned)
{
    IQ5DMService* pFresh = nullptr;
    HRESULT hr = ActivateWithFallback(session, &pFresh);
    IQ5DMService* pOld = nullptr;
    {
        CExclusive lock(session.m_lock);
        if (FAILED(hr)) return hr;
        if (pbAbandoned != nullptr && pbAbandoned->load()) {
            pOld = pFresh;  // nobody waits for it any more
        } else {
            pOld = std::exchange(session.m_pService, pFresh);
            session.m_bSpoiled = false;
            if (session.m_bReservationHeld) {
                session.m_bReservationHeld = false;
                session.m_bReservationLost = true;
                session.m_hrReservationLost = RPC_E_DISCONNECTED;
            }
            ++session.m_uActivations;
        }
    }
    if (pOld != nullptr) pOld->Release();
    return hr;
}

struct CJob {
    std::shared_ptr<CSession> pSession;
    std::function<HRESULT(IQ5DMService*)> pfnCall;
    Answers answers = {};
    CallRule rule = {Retry::Never, PortRole::None};
    CHandle hDone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> bAbandoned{false};
    // Written by the job's thread before hDone is set.
    Failure eFailure = Failure::None;  // a failure of the library's own (activation)
    HRESULT hr = E_UNEXPECTED;
    bool bRepeated = false;
};

// The server to call, activating a fresh one when the session has none
// that it may use. Null on failure, with the job's failure set.
IQ5DMService* ServerFor(CJob& job)
{
    CSession& session = *job.pSession;
    bool bNeedsServer = false;
    {
        CExclusive lock(session.m_lock);
        bNeedsServer = session.m_pService == nullptr || session.m_bSpoiled;
    }
    if (bNeedsServer) {
        HRESULT hr = Reactivate(session, &job.bAbandoned);
        if (FAILED(hr)) {
            job.eFailure = ClassifyFailure(hr);
            job.hr = hr;
            return nullptr;
        }
    }
    CExclusive lock(session.m_lock);
    if (session.m_pService == nullptr) {
        job.eFailure = Failure::Unexpected;
        job.hr = E_UNEXPECTED;
        return nullptr;
    }
    session.m_pService->AddRef();
    return session.m_pService;
}

HRESULT CallOnce(CJob& job, IQ5DMService* pService)
{
    HRESULT hr = job.pfnCall(pService);
    pService->Release();
    return hr;
}

void NoteAnswer(CJob& job)
{
    if (job.bAbandoned.load() || job.rule.eRole == PortRole::None) return;
    CSession& session = *job.pSession;
    CExclusive lock(session.m_lock);
    if (job.rule.eRole == PortRole::Reserve && job.hr == S_FALSE) {
        session.m_bReservationHeld = true;
        session.m_bReservationLost = false;
    } else if (job.rule.eRole == PortRole::Restore) {
        session.m_bReservationHeld = false;
    }
}

bool ReservationLost(CSession& session)
{
    CExclusive lock(session.m_lock);
    return session.m_bReservationLost;
}

bool MayRepeat(const CJob& job, Failure eFailure)
{
    if (job.rule.eRole == PortRole::Restore && ReservationLost(*job.pSession)) return false;
    return eFailure == Failure::ServerLostDidNotRun ||
           (eFailure == Failure::ServerLostMayHaveRun && job.rule.eRetry == Retry::IfMayHaveRun);
}

// The call, and at most one repeat on a fresh server (see RECOVERY).
void RunCall(CJob& job)
{
    for (int iAttempt = 0; iAttempt < 2; ++iAttempt) {
        IQ5DMService* pService = ServerFor(job);
        if (pService == nullptr) return;
        job.bRepeated = iAttempt > 0;
        job.hr = CallOnce(job, pService);
        if (job.answers.Has(job.hr)) {
            NoteAnswer(job);
            return;
        }
        Failure eFailure = ClassifyFailure(job.hr);
        if (!IsServerLost(eFailure) || job.bAbandoned.load()) return;
        bool bReserveMayHaveRun = job.rule.eRole == PortRole::Reserve && eFailure == Failure::ServerLostMayHaveRun;
        MarkServerLost(*job.pSession, job.hr, bReserveMayHaveRun);
        if (!MayRepeat(job, eFailure)) return;
    }
}

DWORD WINAPI JobMain(void* pParameter)
{
    std::unique_ptr<std::shared_ptr<CJob>> pHolder(static_cast<std::shared_ptr<CJob>*>(pParameter));
    CJob& job = **pHolder;
    {
        CComApartment apartment(COINIT_MULTITHREADED);
        if (job.pfnCall) {
            RunCall(job);
        } else {
            job.hr = Reactivate(*job.pSession, &job.bAbandoned);
            if (FAILED(job.hr)) job.eFailure = ClassifyFailure(job.hr);
        }
    }
    SetEvent(job.hDone.Get());
    return 0;
}

struct JobResult {
    Failure eFailure;
    HRESULT hr;
    bool bRepeated;
};

// Runs the job on a thread of its own and waits at most dwDeadlineMs. Past
// the deadline the job's thread goes on alone: its fields are its own then.
JobResult RunJob(const std::shared_ptr<CJob>& pJob, DWORD dwDeadlineMs)
{
    CJob& job = *pJob;
    auto* pParameter = new std::shared_ptr<CJob>(pJob);
    HANDLE hThread = CreateThread(nullptr, 0, JobMain, pParameter, 0, nullptr);
    if (hThread == nullptr) {
        delete pParameter;
        return {Failure::Unexpected, HRESULT_FROM_WIN32(GetLastError()), false};
    }
    CloseHandle(hThread);
    if (WaitForSingleObject(job.hDone.Get(), dwDeadlineMs) == WAIT_OBJECT_0) return {job.eFailure, job.hr, job.bRepeated};
    job.bAbandoned = true;
    // The server stays busy with the call: it is not used again.
    MarkServerLost(*job.pSession, kTimedOut, job.rule.eRole == PortRole::Reserve);
    return {Failure::TimedOut, kTimedOut, false};
}

// Holds the lease for the session's life, and the apartment that the
// session's proxy lives in; at the end lets go of the server and the lease.
DWORD WINAPI KeeperMain(void* pParameter)
{
    std::unique_ptr<std::shared_ptr<CSession>> pHolder(static_cast<std::shared_ptr<CSession>*>(pParameter));
    CSession& session = **pHolder;
    CComApartment apartment(COINIT_MULTITHREADED);
    const ULONGLONG ullStart = GetTickCount64();
    session.m_dwLeaseWait = WaitForSingleObject(session.m_hLease.Get(), session.m_options.dwLeaseWaitMs);
    session.m_dwLeaseWaitMs = static_cast<DWORD>(GetTickCount64() - ullStart);
    const bool bHeld = session.m_dwLeaseWait == WAIT_OBJECT_0 || session.m_dwLeaseWait == WAIT_ABANDONED;
    SetEvent(session.m_hLeaseDecided.Get());
    if (!bHeld) return 0;
    WaitForSingleObject(session.m_hQuit.Get(), INFINITE);
    IQ5DMService* pService = nullptr;
    bool bSpoiled = false;
    {
        CExclusive lock(session.m_lock);
        pService = std::exchange(session.m_pService, nullptr);
        bSpoiled = session.m_bSpoiled;
    }
    // A server busy with an abandoned call answers no release until that
    // call ends: the lease goes first then, so that the next client's
    // activation can end it.
    if (bSpoiled) ReleaseMutex(session.m_hLease.Get());
    if (pService != nullptr) pService->Release();
    if (!bSpoiled) ReleaseMutex(session.m_hLease.Get());
    return 0;
}

template <typename TOutcome, size_t N>
Result<TOutcome> Call(const std::shared_ptr<CSession>& pSession, const AnswerEntry<TOutcome> (&table)[N], CallRule rule,
                      DWORD dwDeadlineMs, std::function<HRESULT(IQ5DMService*)> pfnCall)
{
    Result<TOutcome> result;
    if (!pSession) {
        result.eFailure = Failure::Misuse;
        result.hr = kIllegalMethodCall;
        return result;
    }
    CSession& session = *pSession;
    CExclusive oneCall(session.m_callLock);
    auto pJob = std::make_shared<CJob>();
    pJob->pSession = pSession;
    pJob->pfnCall = std::move(pfnCall);
    pJob->rule = rule;
    for (size_t i = 0; i < N && i < 2; ++i) pJob->answers.hr[pJob->answers.iCount++] = table[i].hr;
    const JobResult done = RunJob(pJob, dwDeadlineMs == kDefaultDeadline ? session.m_options.dwDeadlineMs : dwDeadlineMs);
    result.hr = done.hr;
    result.bRepeated = done.bRepeated;
    if (done.eFailure != Failure::None) {
        result.eFailure = done.eFailure;
        return result;
    }
    for (const AnswerEntry<TOutcome>& entry : table) {
        if (entry.hr == result.hr) {
            result.eFailure = Failure::None;
            result.eOutcome = entry.eOutcome;
            return result;
        }
    }
    result.eFailure = ClassifyFailure(result.hr);
    return result;
}

// The contract's answers, method by method.
const AnswerEntry<DoneOutcome> kDoneAnswers[] = {{S_OK, DoneOutcome::Done}, {E_FAIL, DoneOutcome::Failed}};
const AnswerEntry<AlwaysOutcome> kAlwaysOk[] = {{S_OK, AlwaysOutcome::Done}};
const AnswerEntry<AlwaysOutcome> kAlwaysFail[] = {{E_FAIL, AlwaysOutcome::Done}};
const AnswerEntry<LaunchOutcome> kLaunchAnswers[] = {{S_OK, LaunchOutcome::Started}, {E_FAIL, LaunchOutcome::NotStarted}};
const AnswerEntry<ExecOutcome> kExecAnswers[] = {{S_OK, ExecOutcome::Ended}, {E_FAIL, ExecOutcome::NotStarted}};
const AnswerEntry<DeleteOutcome> kDeleteAnswers[] = {{S_OK, DeleteOutcome::Deleted}, {S_FALSE, DeleteOutcome::NotDeleted}};
const AnswerEntry<ReserveOutcome> kReserveAnswers[] = {{S_FALSE, ReserveOutcome::Reserved},
                                                       {S_OK, ReserveOutcome::DatabaseNotOpened}};
const AnswerEntry<RestoreOutcome> kRestoreAnswers[] = {{S_OK, RestoreOutcome::Restored}};
const AnswerEntry<PortOutcome> kPortAnswers[] = {{S_OK, PortOutcome::Requested}, {E_FAIL, PortOutcome::DatabaseNotOpened}};
const AnswerEntry<WorOutcome> kWorAnswers[] = {{S_FALSE, WorOutcome::Present}, {E_FAIL, WorOutcome::Absent}};

constexpr CallRule kRepeatable = {Retry::IfMayHaveRun, PortRole::None};
constexpr CallRule kOnce = {Retry::Never, PortRole::None};

}  // namespace

const char* FailureName(Failure eFailure)
{
    switch (eFailure) {
    case Failure::None: return "answered";
    case Failure::Declined: return "declined";
    case Failure::NotRegistered: return "not registered";
    case Failure::ElevationNotEnabled: return "elevation not enabled";
    case Failure::AccessDenied: return "access denied";
    case Failure::ServerLostMayHaveRun: return "server lost, may have run";
    case Failure::ServerLostDidNotRun: return "server lost, did not run";
    case Failure::TimedOut: return "timed out";
    case Failure::Busy: return "busy";
    case Failure::Misuse: return "misuse";
    case Failure::Unexpected: break;
    }
    return "unexpected";
}

const char* OutcomeName(DoneOutcome e) { return e == DoneOutcome::Done ? "done" : "failed"; }
const char* OutcomeName(AlwaysOutcome) { return "done"; }
const char* OutcomeName(LaunchOutcome e) { return e == LaunchOutcome::Started ? "started" : "not started"; }
const char* OutcomeName(ExecOutcome e) { return e == ExecOutcome::Ended ? "ended" : "not started"; }
const char* OutcomeName(DeleteOutcome e) { return e == DeleteOutcome::Deleted ? "deleted" : "not deleted"; }
const char* OutcomeName(ReserveOutcome e) { return e == ReserveOutcome::Reserved ? "reserved" : "database not opened"; }
const char* OutcomeName(RestoreOutcome e) { return e == RestoreOutcome::Restored ? "restored" : "reservation lost"; }
const char* OutcomeName(PortOutcome e) { return e == PortOutcome::Requested ? "requested" : "database not opened"; }
const char* OutcomeName(WorOutcome e) { return e == WorOutcome::Present ? "present" : "absent"; }

const char* HresultName(HRESULT hr)
{
    for (const NameEntry& entry : kNames) {
        if (entry.hr == hr) return entry.pszName;
    }
    return "unknown";
}

Failure ClassifyFailure(HRESULT hr)
{
    for (const FailureEntry& entry : kFailures) {
        if (entry.hr == hr) return entry.eFailure;
    }
    return Failure::Unexpected;
}

HRESULT ActivateDefault(const ActivationRequest& request, IQ5DMService** ppService)
{
    if (!request.bUseMoniker) {
        return CoCreateInstance(CLSID_Q5DMService, nullptr, request.dwClassContext, IID_IQ5DMService,
                                reinterpret_cast<void**>(ppService));
    }
    BIND_OPTS3 options;
    memset(&options, 0, sizeof(options));  // not an aggregate in every SDK
    options.cbStruct = sizeof(options);
    options.dwClassContext = request.dwClassContext;
    options.hwnd = request.hwndOwner;
    return CoGetObject(kElevationMoniker, &options, IID_IQ5DMService, reinterpret_cast<void**>(ppService));
}

CClient::CClient() noexcept = default;
CClient::~CClient() { Close(); }
CClient::CClient(CClient&& other) noexcept = default;
CClient& CClient::operator=(CClient&& other) noexcept
{
    if (this != &other) {
        Close();
        m_pSession = std::move(other.m_pSession);
    }
    return *this;
}
CClient::CClient(std::shared_ptr<CSession> pSession) noexcept : m_pSession(std::move(pSession)) {}

OpenResult CClient::Open(const OpenOptions& options)
{
    OpenResult result;
    auto pSession = std::make_shared<CSession>(options);
    CSession& session = *pSession;
    const bool bElevated = options.pfnIsElevated ? options.pfnIsElevated() : ProcessIsElevated();
    session.m_request.bUseMoniker = options.eElevation == Elevation::Always ||
                                    (options.eElevation == Elevation::WhenNotElevated && !bElevated);
    session.m_request.dwClassContext = ClassContext(options.eBits);
    session.m_request.hwndOwner = options.hwndOwner;

    session.m_hLease.Reset(OpenLease(options.pszLeaseName != nullptr ? options.pszLeaseName : kLeaseName, result.hr));
    session.m_hLeaseDecided.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    session.m_hQuit.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (session.m_hLease.Get() == nullptr || session.m_hLeaseDecided.Get() == nullptr || session.m_hQuit.Get() == nullptr) {
        if (SUCCEEDED(result.hr)) result.hr = HRESULT_FROM_WIN32(GetLastError());
        result.eFailure = ClassifyFailure(result.hr);
        return result;
    }
    auto* pParameter = new std::shared_ptr<CSession>(pSession);
    HANDLE hKeeper = CreateThread(nullptr, 0, KeeperMain, pParameter, 0, nullptr);
    if (hKeeper == nullptr) {
        delete pParameter;
        result.hr = HRESULT_FROM_WIN32(GetLastError());
        return result;
    }
    session.m_hKeeper.Reset(hKeeper);
    WaitForSingleObject(session.m_hLeaseDecided.Get(), INFINITE);
    if (session.m_dwLeaseWait != WAIT_OBJECT_0 && session.m_dwLeaseWait != WAIT_ABANDONED) {
        result.hr = session.m_dwLeaseWait == WAIT_TIMEOUT ? kLeaseBusy : HRESULT_FROM_WIN32(GetLastError());
        result.eFailure = session.m_dwLeaseWait == WAIT_TIMEOUT ? Failure::Busy : Failure::Unexpected;
        return result;
    }
    CClient client(pSession);
    auto pJob = std::make_shared<CJob>();
    pJob->pSession = pSession;
    const JobResult done = RunJob(pJob, INFINITE);
    result.hr = done.hr;
    result.bElevationUnavailable = session.m_bElevationUnavailable;
    if (done.eFailure != Failure::None) {
        result.eFailure = done.eFailure;
        return result;  // the client's destructor lets go of the lease
    }
    result.eFailure = Failure::None;
    result.client = std::move(client);
    return result;
}

void CClient::Close()
{
    if (!m_pSession) return;
    CSession& session = *m_pSession;
    bool bSpoiled = false;
    {
        CExclusive lock(session.m_lock);
        bSpoiled = session.m_bSpoiled;
    }
    SetEvent(session.m_hQuit.Get());  // the keeper lets go of the server and the lease
    // The release reaches an idle server at once; one busy with a call past
    // its deadline answers only when that call ends, and is not waited for.
    // A process that ended before the release would leave its server to run
    // until COM noticed.
    if (!bSpoiled) WaitForSingleObject(session.m_hKeeper.Get(), INFINITE);
    m_pSession.reset();
}

unsigned CClient::Reconnects() const
{
    if (!m_pSession) return 0;
    CExclusive lock(m_pSession->m_lock);
    return m_pSession->m_uActivations > 0 ? m_pSession->m_uActivations - 1 : 0;
}

DWORD CClient::LeaseWaitMs() const { return m_pSession ? m_pSession->m_dwLeaseWaitMs : 0; }

Result<DoneOutcome> CClient::InstallDriver(const wchar_t* deviceInstanceId, const wchar_t* infPath, long noFileCopy,
                                           DWORD dwDeadlineMs)
{
    CArg a(deviceInstanceId), b(infPath);
    return Call(m_pSession, kDoneAnswers, kOnce, dwDeadlineMs,
                [a, b, noFileCopy](IQ5DMService* p) { return p->InstallDriver(a.Get(), b.Get(), noFileCopy); });
}

Result<DoneOutcome> CClient::RemoveDriver(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    CArg a(deviceInstanceId);
    return Call(m_pSession, kDoneAnswers, kOnce, dwDeadlineMs, [a](IQ5DMService* p) { return p->RemoveDriver(a.Get()); });
}

Result<AlwaysOutcome> CClient::KillProcessByName(const wchar_t* processName, DWORD dwDeadlineMs)
{
    CArg a(processName);
    return Call(m_pSession, kAlwaysFail, kRepeatable, dwDeadlineMs,
                [a](IQ5DMService* p) { return p->KillProcessByName(a.Get()); });
}

Result<AlwaysOutcome> CClient::PatchUninstall(const wchar_t* uninstallKey, const wchar_t* uninstallString, DWORD dwDeadlineMs)
{
    CArg a(uninstallKey), b(uninstallString);
    return Call(m_pSession, kAlwaysOk, kRepeatable, dwDeadlineMs,
                [a, b](IQ5DMService* p) { return p->PatchUninstall(a.Get(), b.Get()); });
}

Result<DoneOutcome> CClient::BackupDriver(const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath,
                                          const wchar_t* backupRoot, DWORD dwDeadlineMs)
{
    CArg a(infName), b(subFolder), c(infCopyPath), d(backupRoot);
    return Call(m_pSession, kDoneAnswers, kRepeatable, dwDeadlineMs,
                [a, b, c, d](IQ5DMService* p) { return p->BackupDriver(a.Get(), b.Get(), c.Get(), d.Get()); });
}

Result<AlwaysOutcome> CClient::CleanNotInstalled(const wchar_t* className, long usbVariant, DWORD dwDeadlineMs)
{
    CArg a(className);
    return Call(m_pSession, kAlwaysOk, kRepeatable, dwDeadlineMs,
                [a, usbVariant](IQ5DMService* p) { return p->CleanNotInstalled(a.Get(), usbVariant); });
}

Result<LaunchOutcome> CClient::CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory,
                                       DWORD dwDeadlineMs)
{
    CArg a(file), b(parameters), c(directory);
    return Call(m_pSession, kLaunchAnswers, kOnce, dwDeadlineMs,
                [a, b, c](IQ5DMService* p) { return p->CmdLine(a.Get(), b.Get(), c.Get()); });
}

Result<ExecOutcome> CClient::SyncExec(const wchar_t* commandLine, const wchar_t* currentDirectory, DWORD dwDeadlineMs)
{
    CArg a(commandLine), b(currentDirectory);
    return Call(m_pSession, kExecAnswers, kOnce, dwDeadlineMs, [a, b](IQ5DMService* p) { return p->SyncExec(a.Get(), b.Get()); });
}

Result<DeleteOutcome> CClient::DeleteRegKey(const wchar_t* rootName, const wchar_t* subKey, DWORD dwDeadlineMs)
{
    CArg a(rootName), b(subKey);
    return Call(m_pSession, kDeleteAnswers, kOnce, dwDeadlineMs,
                [a, b](IQ5DMService* p) { return p->DeleteRegKey(a.Get(), b.Get()); });
}

Result<ReserveOutcome> CClient::ReserveComPortsBelow(long portNumber, DWORD dwDeadlineMs)
{
    return Call(m_pSession, kReserveAnswers, CallRule{Retry::Never, PortRole::Reserve}, dwDeadlineMs,
                [portNumber](IQ5DMService* p) { return p->ReserveComPortsBelow(portNumber); });
}

Result<RestoreOutcome> CClient::RestoreComPorts(DWORD dwDeadlineMs)
{
    if (m_pSession) {
        CSession& session = *m_pSession;
        CExclusive lock(session.m_lock);
        if (session.m_bReservationLost) {
            // The map is gone with its server: a call would restore nothing and answer S_OK.
            session.m_bReservationLost = false;
            Result<RestoreOutcome> lost;
            lost.eFailure = Failure::None;
            lost.eOutcome = RestoreOutcome::ReservationLost;
            lost.hr = session.m_hrReservationLost;
            return lost;
        }
    }
    Result<RestoreOutcome> result = Call(m_pSession, kRestoreAnswers, CallRule{Retry::Never, PortRole::Restore}, dwDeadlineMs,
                                         [](IQ5DMService* p) { return p->RestoreComPorts(); });
    if (IsServerLost(result.eFailure) && m_pSession) {
        // This answer tells of the loss; a later call must not tell it again.
        CExclusive lock(m_pSession->m_lock);
        if (m_pSession->m_bReservationLost && result.eFailure == Failure::ServerLostDidNotRun) {
            result.eFailure = Failure::None;
            result.eOutcome = RestoreOutcome::ReservationLost;
        }
        m_pSession->m_bReservationLost = false;
    }
    return result;
}

Result<PortOutcome> CClient::ClaimComPort(long portNumber, DWORD dwDeadlineMs)
{
    return Call(m_pSession, kPortAnswers, kRepeatable, dwDeadlineMs,
                [portNumber](IQ5DMService* p) { return p->ClaimComPort(portNumber); });
}

Result<PortOutcome> CClient::ReleaseComPort(long portNumber, DWORD dwDeadlineMs)
{
    return Call(m_pSession, kPortAnswers, kRepeatable, dwDeadlineMs,
                [portNumber](IQ5DMService* p) { return p->ReleaseComPort(portNumber); });
}

Result<WorOutcome> CClient::isDeviceWORable(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    CArg a(deviceInstanceId);
    return Call(m_pSession, kWorAnswers, kRepeatable, dwDeadlineMs, [a](IQ5DMService* p) { return p->isDeviceWORable(a.Get()); });
}

Result<DoneOutcome> CClient::setWOREnabled(const wchar_t* deviceInstanceId, long enable, DWORD dwDeadlineMs)
{
    CArg a(deviceInstanceId);
    return Call(m_pSession, kDoneAnswers, kRepeatable, dwDeadlineMs,
                [a, enable](IQ5DMService* p) { return p->setWOREnabled(a.Get(), enable); });
}

Result<DoneOutcome> CClient::setSuspendAllowed(const wchar_t* deviceInstanceId, long allow, DWORD dwDeadlineMs)
{
    CArg a(deviceInstanceId);
    return Call(m_pSession, kDoneAnswers, kRepeatable, dwDeadlineMs,
                [a, allow](IQ5DMService* p) { return p->setSuspendAllowed(a.Get(), allow); });
}

DWORD ClassContext(ServerBits eBits)
{
    switch (eBits) {
    case ServerBits::Bits32:
        return CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER;
    case ServerBits::Bits64:
        return CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER;
    case ServerBits::Default:
        break;
    }
    return CLSCTX_LOCAL_SERVER;
}

}  // namespace q5dm
