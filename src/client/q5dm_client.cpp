// The typed calls of the client library: each method's answers and
// repeat rule, the names of outcomes and HRESULTs, and the public object,
// which hands its calls to the session (client_session.cpp) and waits.
#include "q5dm_client.h"

#include <string>
#include <utility>

#include "client_session.h"

namespace q5dm {
namespace {

// Codes that not every SDK's headers define.
constexpr HRESULT kCoElevationDisabled = static_cast<HRESULT>(0x80080017L);
constexpr HRESULT kCoMissingDisplayName = static_cast<HRESULT>(0x80080015L);
constexpr HRESULT kElevationRequired = static_cast<HRESULT>(0x800702E4L);
constexpr HRESULT kRpcCallCancelled = static_cast<HRESULT>(0x8007071AL);
using detail::kIllegalMethodCall;
using detail::kLeaseBusy;
using detail::kTimedOut;

const wchar_t kElevationMoniker[] = L"Elevation:Administrator!new:{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";
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

template <typename TOutcome>
struct AnswerEntry {
    HRESULT hr;
    TOutcome eOutcome;
};

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

using detail::CallRule;
using detail::CJob;
using detail::JobResult;
using detail::PortRole;
using detail::Retry;
using CSession = CClient::CSession;

// One method's call as the session runs it, and how its answers read.
template <typename TOutcome>
struct CallSpec {
    const AnswerEntry<TOutcome>* pTable;
    size_t uCount;
    CallRule rule;
    std::function<HRESULT(IQ5DMService*)> pfnCall;
};

template <typename TOutcome, size_t N>
CallSpec<TOutcome> Spec(const AnswerEntry<TOutcome> (&table)[N], CallRule rule, std::function<HRESULT(IQ5DMService*)> pfnCall)
{
    return {table, N, rule, std::move(pfnCall)};
}

void ReadReservationLost(Result<RestoreOutcome>& result)
{
    result.eFailure = Failure::None;
    result.eOutcome = RestoreOutcome::ReservationLost;
}

template <typename TOutcome>
void ReadReservationLost(Result<TOutcome>& result)
{
    result.eFailure = Failure::Unexpected;
}

template <typename TOutcome>
Result<TOutcome> ResultOf(const CallSpec<TOutcome>& spec, const JobResult& done)
{
    Result<TOutcome> result;
    result.hr = done.hr;
    result.bRepeated = done.bRepeated;
    if (done.eFailure != Failure::None) {
        result.eFailure = done.eFailure;
        return result;
    }
    if (done.bReservationLost) {
        ReadReservationLost(result);
        return result;
    }
    for (size_t i = 0; i < spec.uCount; ++i) {
        if (spec.pTable[i].hr == result.hr) {
            result.eFailure = Failure::None;
            result.eOutcome = spec.pTable[i].eOutcome;
            return result;
        }
    }
    result.eFailure = ClassifyFailure(result.hr);
    return result;
}

template <typename TOutcome>
Result<TOutcome> Misused()
{
    Result<TOutcome> result;
    result.eFailure = Failure::Misuse;
    result.hr = kIllegalMethodCall;
    return result;
}

template <typename TOutcome>
std::shared_ptr<CJob> JobFor(const CSession& session, const CallSpec<TOutcome>& spec, DWORD dwDeadlineMs)
{
    auto pJob = std::make_shared<CJob>();
    pJob->pfnCall = spec.pfnCall;
    pJob->rule = spec.rule;
    for (size_t i = 0; i < spec.uCount && i < 2; ++i) pJob->answers.hr[pJob->answers.iCount++] = spec.pTable[i].hr;
    pJob->ullDeadline = detail::DeadlineFromNow(dwDeadlineMs == kDefaultDeadline ? session.DefaultDeadlineMs() : dwDeadlineMs);
    return pJob;
}

template <typename TOutcome>
Result<TOutcome> RunSync(const std::shared_ptr<CSession>& pSession, const CallSpec<TOutcome>& spec, DWORD dwDeadlineMs)
{
    // On the owner thread (a seam that calls back) the call would wait for itself.
    if (!pSession || pSession->OnOwnerThread()) return Misused<TOutcome>();
    std::shared_ptr<CJob> pJob = JobFor(*pSession, spec, dwDeadlineMs);
    if (!pSession->Submit(pJob)) return Misused<TOutcome>();
    return ResultOf(spec, CSession::Await(*pJob));
}

template <typename TOutcome>
void Deliver(const Completion<TOutcome>& done, const Result<TOutcome>& result)
{
    if (done.pfnCallback) {
        done.pfnCallback(result);
        return;
    }
    if (done.hwnd == nullptr) return;
    auto* pPosted = new Result<TOutcome>(result);
    if (!PostMessageW(done.hwnd, done.uMessage, done.wParam, reinterpret_cast<LPARAM>(pPosted))) delete pPosted;
}

template <typename TOutcome>
bool RunAsync(const std::shared_ptr<CSession>& pSession, const CallSpec<TOutcome>& spec, const Completion<TOutcome>& done,
              DWORD dwDeadlineMs)
{
    if (!pSession) return false;
    std::shared_ptr<CJob> pJob = JobFor(*pSession, spec, dwDeadlineMs);
    CallSpec<TOutcome> answers = {spec.pTable, spec.uCount, spec.rule, nullptr};
    pJob->pfnDeliver = [answers, done](const JobResult& result) { Deliver(done, ResultOf(answers, result)); };
    return pSession->Submit(pJob);
}

constexpr CallRule kRepeatable = {Retry::IfMayHaveRun, PortRole::None};
constexpr CallRule kOnce = {Retry::Never, PortRole::None};
CallSpec<DoneOutcome> InstallDriverCall(const wchar_t* deviceInstanceId, const wchar_t* infPath, long noFileCopy)
{
    CArg a(deviceInstanceId), b(infPath);
    return Spec(kDoneAnswers, kOnce,
                [a, b, noFileCopy](IQ5DMService* p) { return p->InstallDriver(a.Get(), b.Get(), noFileCopy); });
}

CallSpec<DoneOutcome> RemoveDriverCall(const wchar_t* deviceInstanceId)
{
    CArg a(deviceInstanceId);
    return Spec(kDoneAnswers, kOnce, [a](IQ5DMService* p) { return p->RemoveDriver(a.Get()); });
}

CallSpec<AlwaysOutcome> KillProcessByNameCall(const wchar_t* processName)
{
    CArg a(processName);
    return Spec(kAlwaysFail, kRepeatable,
                [a](IQ5DMService* p) { return p->KillProcessByName(a.Get()); });
}

CallSpec<AlwaysOutcome> PatchUninstallCall(const wchar_t* uninstallKey, const wchar_t* uninstallString)
{
    CArg a(uninstallKey), b(uninstallString);
    return Spec(kAlwaysOk, kRepeatable,
                [a, b](IQ5DMService* p) { return p->PatchUninstall(a.Get(), b.Get()); });
}

CallSpec<DoneOutcome> BackupDriverCall(const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath, const wchar_t* backupRoot)
{
    CArg a(infName), b(subFolder), c(infCopyPath), d(backupRoot);
    return Spec(kDoneAnswers, kRepeatable,
                [a, b, c, d](IQ5DMService* p) { return p->BackupDriver(a.Get(), b.Get(), c.Get(), d.Get()); });
}

CallSpec<AlwaysOutcome> CleanNotInstalledCall(const wchar_t* className, long usbVariant)
{
    CArg a(className);
    return Spec(kAlwaysOk, kRepeatable,
                [a, usbVariant](IQ5DMService* p) { return p->CleanNotInstalled(a.Get(), usbVariant); });
}

CallSpec<LaunchOutcome> CmdLineCall(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory)
{
    CArg a(file), b(parameters), c(directory);
    return Spec(kLaunchAnswers, kOnce,
                [a, b, c](IQ5DMService* p) { return p->CmdLine(a.Get(), b.Get(), c.Get()); });
}

CallSpec<ExecOutcome> SyncExecCall(const wchar_t* commandLine, const wchar_t* currentDirectory)
{
    CArg a(commandLine), b(currentDirectory);
    return Spec(kExecAnswers, kOnce, [a, b](IQ5DMService* p) { return p->SyncExec(a.Get(), b.Get()); });
}

CallSpec<DeleteOutcome> DeleteRegKeyCall(const wchar_t* rootName, const wchar_t* subKey)
{
    CArg a(rootName), b(subKey);
    return Spec(kDeleteAnswers, kOnce,
                [a, b](IQ5DMService* p) { return p->DeleteRegKey(a.Get(), b.Get()); });
}

CallSpec<ReserveOutcome> ReserveComPortsBelowCall(long portNumber)
{
    return Spec(kReserveAnswers, CallRule{Retry::Never, PortRole::Reserve},
                [portNumber](IQ5DMService* p) { return p->ReserveComPortsBelow(portNumber); });
}

CallSpec<PortOutcome> ClaimComPortCall(long portNumber)
{
    return Spec(kPortAnswers, kRepeatable,
                [portNumber](IQ5DMService* p) { return p->ClaimComPort(portNumber); });
}

CallSpec<PortOutcome> ReleaseComPortCall(long portNumber)
{
    return Spec(kPortAnswers, kRepeatable,
                [portNumber](IQ5DMService* p) { return p->ReleaseComPort(portNumber); });
}

CallSpec<WorOutcome> isDeviceWORableCall(const wchar_t* deviceInstanceId)
{
    CArg a(deviceInstanceId);
    return Spec(kWorAnswers, kRepeatable, [a](IQ5DMService* p) { return p->isDeviceWORable(a.Get()); });
}

CallSpec<DoneOutcome> setWOREnabledCall(const wchar_t* deviceInstanceId, long enable)
{
    CArg a(deviceInstanceId);
    return Spec(kDoneAnswers, kRepeatable,
                [a, enable](IQ5DMService* p) { return p->setWOREnabled(a.Get(), enable); });
}

CallSpec<DoneOutcome> setSuspendAllowedCall(const wchar_t* deviceInstanceId, long allow)
{
    CArg a(deviceInstanceId);
    return Spec(kDoneAnswers, kRepeatable,
                [a, allow](IQ5DMService* p) { return p->setSuspendAllowed(a.Get(), allow); });
}

CallSpec<RestoreOutcome> RestoreComPortsCall()
{
    return Spec(kRestoreAnswers, CallRule{Retry::Never, PortRole::Restore}, [](IQ5DMService* p) { return p->RestoreComPorts(); });
}

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
CClient::CClient(CClient&& other) noexcept : m_pSession(other.TakeSession()) {}
CClient& CClient::operator=(CClient&& other) noexcept
{
    if (this != &other) {
        Close();
        std::shared_ptr<CSession> pSession = other.TakeSession();
        CExclusiveLock lock(m_lock);
        m_pSession = std::move(pSession);
    }
    return *this;
}
CClient::CClient(std::shared_ptr<CSession> pSession) noexcept : m_pSession(std::move(pSession)) {}

std::shared_ptr<CSession> CClient::Session() const
{
    CSharedLock lock(m_lock);
    return m_pSession;
}

std::shared_ptr<CSession> CClient::TakeSession()
{
    CExclusiveLock lock(m_lock);
    return std::move(m_pSession);
}

OpenResult CClient::Open(const OpenOptions& options)
{
    OpenResult result;
    auto pOpenJob = std::make_shared<CJob>();
    pOpenJob->ullDeadline = detail::DeadlineFromNow(options.dwOpenDeadlineMs);
    HRESULT hr = S_OK;
    std::shared_ptr<CSession> pSession = CSession::Start(options, pOpenJob, hr);
    if (!pSession) {
        result.hr = hr;
        result.eFailure = ClassifyFailure(hr);
        return result;
    }
    const JobResult done = CSession::Await(*pOpenJob);
    result.hr = done.hr;
    result.bElevationUnavailable = pSession->ElevationUnavailable();
    if (done.eFailure != Failure::None) {
        result.eFailure = done.eFailure;
        // Open's deadline holds: an activation still running ends by itself,
        // and its server is released on the owner thread.
        pSession->Close(false);
        return result;
    }
    result.eFailure = Failure::None;
    result.client = CClient(std::move(pSession));
    return result;
}

void CClient::Close()
{
    std::shared_ptr<CSession> pSession = TakeSession();
    if (pSession) pSession->Close(true);
}

bool CClient::IsOpen() const { return Session() != nullptr; }

unsigned CClient::Reconnects() const
{
    std::shared_ptr<CSession> pSession = Session();
    return pSession ? pSession->Reconnects() : 0;
}

DWORD CClient::LeaseWaitMs() const
{
    std::shared_ptr<CSession> pSession = Session();
    return pSession ? pSession->LeaseWaitMs() : 0;
}

Result<DoneOutcome> CClient::InstallDriver(const wchar_t* deviceInstanceId, const wchar_t* infPath, long noFileCopy, DWORD dwDeadlineMs)
{
    return RunSync(Session(), InstallDriverCall(deviceInstanceId, infPath, noFileCopy), dwDeadlineMs);
}

bool CClient::InstallDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, const wchar_t* infPath, long noFileCopy, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), InstallDriverCall(deviceInstanceId, infPath, noFileCopy), done, dwDeadlineMs);
}

Result<DoneOutcome> CClient::RemoveDriver(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    return RunSync(Session(), RemoveDriverCall(deviceInstanceId), dwDeadlineMs);
}

bool CClient::RemoveDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), RemoveDriverCall(deviceInstanceId), done, dwDeadlineMs);
}

Result<AlwaysOutcome> CClient::KillProcessByName(const wchar_t* processName, DWORD dwDeadlineMs)
{
    return RunSync(Session(), KillProcessByNameCall(processName), dwDeadlineMs);
}

bool CClient::KillProcessByNameAsync(const Completion<AlwaysOutcome>& done, const wchar_t* processName, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), KillProcessByNameCall(processName), done, dwDeadlineMs);
}

Result<AlwaysOutcome> CClient::PatchUninstall(const wchar_t* uninstallKey, const wchar_t* uninstallString, DWORD dwDeadlineMs)
{
    return RunSync(Session(), PatchUninstallCall(uninstallKey, uninstallString), dwDeadlineMs);
}

bool CClient::PatchUninstallAsync(const Completion<AlwaysOutcome>& done, const wchar_t* uninstallKey, const wchar_t* uninstallString, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), PatchUninstallCall(uninstallKey, uninstallString), done, dwDeadlineMs);
}

Result<DoneOutcome> CClient::BackupDriver(const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath, const wchar_t* backupRoot, DWORD dwDeadlineMs)
{
    return RunSync(Session(), BackupDriverCall(infName, subFolder, infCopyPath, backupRoot), dwDeadlineMs);
}

bool CClient::BackupDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath, const wchar_t* backupRoot, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), BackupDriverCall(infName, subFolder, infCopyPath, backupRoot), done, dwDeadlineMs);
}

Result<AlwaysOutcome> CClient::CleanNotInstalled(const wchar_t* className, long usbVariant, DWORD dwDeadlineMs)
{
    return RunSync(Session(), CleanNotInstalledCall(className, usbVariant), dwDeadlineMs);
}

bool CClient::CleanNotInstalledAsync(const Completion<AlwaysOutcome>& done, const wchar_t* className, long usbVariant, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), CleanNotInstalledCall(className, usbVariant), done, dwDeadlineMs);
}

Result<LaunchOutcome> CClient::CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory, DWORD dwDeadlineMs)
{
    return RunSync(Session(), CmdLineCall(file, parameters, directory), dwDeadlineMs);
}

bool CClient::CmdLineAsync(const Completion<LaunchOutcome>& done, const wchar_t* file, const wchar_t* parameters, const wchar_t* directory, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), CmdLineCall(file, parameters, directory), done, dwDeadlineMs);
}

Result<ExecOutcome> CClient::SyncExec(const wchar_t* commandLine, const wchar_t* currentDirectory, DWORD dwDeadlineMs)
{
    return RunSync(Session(), SyncExecCall(commandLine, currentDirectory), dwDeadlineMs);
}

bool CClient::SyncExecAsync(const Completion<ExecOutcome>& done, const wchar_t* commandLine, const wchar_t* currentDirectory, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), SyncExecCall(commandLine, currentDirectory), done, dwDeadlineMs);
}

Result<DeleteOutcome> CClient::DeleteRegKey(const wchar_t* rootName, const wchar_t* subKey, DWORD dwDeadlineMs)
{
    return RunSync(Session(), DeleteRegKeyCall(rootName, subKey), dwDeadlineMs);
}

bool CClient::DeleteRegKeyAsync(const Completion<DeleteOutcome>& done, const wchar_t* rootName, const wchar_t* subKey, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), DeleteRegKeyCall(rootName, subKey), done, dwDeadlineMs);
}

Result<ReserveOutcome> CClient::ReserveComPortsBelow(long portNumber, DWORD dwDeadlineMs)
{
    return RunSync(Session(), ReserveComPortsBelowCall(portNumber), dwDeadlineMs);
}

bool CClient::ReserveComPortsBelowAsync(const Completion<ReserveOutcome>& done, long portNumber, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), ReserveComPortsBelowCall(portNumber), done, dwDeadlineMs);
}

Result<RestoreOutcome> CClient::RestoreComPorts(DWORD dwDeadlineMs)
{
    return RunSync(Session(), RestoreComPortsCall(), dwDeadlineMs);
}

bool CClient::RestoreComPortsAsync(const Completion<RestoreOutcome>& done, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), RestoreComPortsCall(), done, dwDeadlineMs);
}

Result<PortOutcome> CClient::ClaimComPort(long portNumber, DWORD dwDeadlineMs)
{
    return RunSync(Session(), ClaimComPortCall(portNumber), dwDeadlineMs);
}

bool CClient::ClaimComPortAsync(const Completion<PortOutcome>& done, long portNumber, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), ClaimComPortCall(portNumber), done, dwDeadlineMs);
}

Result<PortOutcome> CClient::ReleaseComPort(long portNumber, DWORD dwDeadlineMs)
{
    return RunSync(Session(), ReleaseComPortCall(portNumber), dwDeadlineMs);
}

bool CClient::ReleaseComPortAsync(const Completion<PortOutcome>& done, long portNumber, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), ReleaseComPortCall(portNumber), done, dwDeadlineMs);
}

Result<WorOutcome> CClient::isDeviceWORable(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    return RunSync(Session(), isDeviceWORableCall(deviceInstanceId), dwDeadlineMs);
}

bool CClient::isDeviceWORableAsync(const Completion<WorOutcome>& done, const wchar_t* deviceInstanceId, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), isDeviceWORableCall(deviceInstanceId), done, dwDeadlineMs);
}

Result<DoneOutcome> CClient::setWOREnabled(const wchar_t* deviceInstanceId, long enable, DWORD dwDeadlineMs)
{
    return RunSync(Session(), setWOREnabledCall(deviceInstanceId, enable), dwDeadlineMs);
}

bool CClient::setWOREnabledAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, long enable, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), setWOREnabledCall(deviceInstanceId, enable), done, dwDeadlineMs);
}

Result<DoneOutcome> CClient::setSuspendAllowed(const wchar_t* deviceInstanceId, long allow, DWORD dwDeadlineMs)
{
    return RunSync(Session(), setSuspendAllowedCall(deviceInstanceId, allow), dwDeadlineMs);
}

bool CClient::setSuspendAllowedAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, long allow, DWORD dwDeadlineMs)
{
    return RunAsync(Session(), setSuspendAllowedCall(deviceInstanceId, allow), done, dwDeadlineMs);
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
