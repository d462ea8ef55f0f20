#include "q5dm_client.h"

namespace q5dm {

struct CClient::CSession {
};

CClient::CClient() noexcept = default;
CClient::~CClient() = default;
CClient::CClient(CClient&& other) noexcept = default;
CClient& CClient::operator=(CClient&& other) noexcept = default;
CClient::CClient(std::shared_ptr<CSession> pSession) noexcept : m_pSession(std::move(pSession)) {}

const char* FailureName(Failure) { return "unexpected"; }
const char* OutcomeName(DoneOutcome) { return "Done"; }
const char* OutcomeName(AlwaysOutcome) { return "Done"; }
const char* OutcomeName(LaunchOutcome) { return "Started"; }
const char* OutcomeName(ExecOutcome) { return "Ended"; }
const char* OutcomeName(DeleteOutcome) { return "Deleted"; }
const char* OutcomeName(ReserveOutcome) { return "Reserved"; }
const char* OutcomeName(RestoreOutcome) { return "Restored"; }
const char* OutcomeName(PortOutcome) { return "Requested"; }
const char* OutcomeName(WorOutcome) { return "Present"; }
const char* HresultName(HRESULT) { return "unknown"; }
Failure ClassifyFailure(HRESULT) { return Failure::Unexpected; }
HRESULT ActivateDefault(const ActivationRequest&, IQ5DMService**) { return E_NOTIMPL; }

OpenResult CClient::Open(const OpenOptions&) { return OpenResult(); }
void CClient::Close() { m_pSession.reset(); }
unsigned CClient::Reconnects() const { return 0; }
DWORD CClient::LeaseWaitMs() const { return 0; }

template <typename T>
static Result<T> NotYet() { return Result<T>(); }

Result<DoneOutcome> CClient::InstallDriver(const wchar_t*, const wchar_t*, long, DWORD) { return NotYet<DoneOutcome>(); }
Result<DoneOutcome> CClient::RemoveDriver(const wchar_t*, DWORD) { return NotYet<DoneOutcome>(); }
Result<AlwaysOutcome> CClient::KillProcessByName(const wchar_t*, DWORD) { return NotYet<AlwaysOutcome>(); }
Result<AlwaysOutcome> CClient::PatchUninstall(const wchar_t*, const wchar_t*, DWORD) { return NotYet<AlwaysOutcome>(); }
Result<DoneOutcome> CClient::BackupDriver(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, DWORD) { return NotYet<DoneOutcome>(); }
Result<AlwaysOutcome> CClient::CleanNotInstalled(const wchar_t*, long, DWORD) { return NotYet<AlwaysOutcome>(); }
Result<LaunchOutcome> CClient::CmdLine(const wchar_t*, const wchar_t*, const wchar_t*, DWORD) { return NotYet<LaunchOutcome>(); }
Result<ExecOutcome> CClient::SyncExec(const wchar_t*, const wchar_t*, DWORD) { return NotYet<ExecOutcome>(); }
Result<DeleteOutcome> CClient::DeleteRegKey(const wchar_t*, const wchar_t*, DWORD) { return NotYet<DeleteOutcome>(); }
Result<ReserveOutcome> CClient::ReserveComPortsBelow(long, DWORD) { return NotYet<ReserveOutcome>(); }
Result<RestoreOutcome> CClient::RestoreComPorts(DWORD) { return NotYet<RestoreOutcome>(); }
Result<PortOutcome> CClient::ClaimComPort(long, DWORD) { return NotYet<PortOutcome>(); }
Result<PortOutcome> CClient::ReleaseComPort(long, DWORD) { return NotYet<PortOutcome>(); }
Result<WorOutcome> CClient::isDeviceWORable(const wchar_t*, DWORD) { return NotYet<WorOutcome>(); }
Result<DoneOutcome> CClient::setWOREnabled(const wchar_t*, long, DWORD) { return NotYet<DoneOutcome>(); }
Result<DoneOutcome> CClient::setSuspendAllowed(const wchar_t*, long, DWORD) { return NotYet<DoneOutcome>(); }

}  // namespace q5dm
