// The way into the DM COM Server for a desktop application: opening a server
// with or without elevation, one typed call per method of IQ5DMService whose
// result names the operation's own outcome or a transport failure, recovery
// from a server that another activation ended, a machine-wide lease that
// lets cooperating clients take turns, and a deadline per call.
//
// Standard C++17 and the Windows SDK only; links ole32, uuid, advapi32 and
// user32.
//
// THREADS. Each open client has two threads of the library: its owner
// thread, which alone holds the lease, activates, calls and releases the
// server (in a multithreaded apartment of its own: the caller needs no COM
// initialisation), running the client's calls one at a time in the order
// they came; and a delivery thread for the asynchronous forms. A client
// object may be used from any number of threads at once, Close() and the
// destructor included. Its calls never run concurrently: a second call
// waits in the queue, and that wait counts against its own deadline.
//
// DEADLINES. A call's deadline (OpenOptions::dwDeadlineMs, or the per-call
// argument) covers all of it: the wait behind earlier calls, the activation
// of a fresh server where one is needed, the call and its repeat. When it
// passes the caller gets Failure::TimedOut with HRESULT_FROM_WIN32
// (ERROR_TIMEOUT); a call not yet started then never runs, and one that is
// running goes on in the server to its end, never repeated and never
// followed by an activation for it. The client keeps that server and the
// lease meanwhile: its next call runs after the timed-out one ends (and
// times out itself if that takes longer than its own deadline), and no
// other client can start a server that would end the busy one. Open()
// has its own deadline, OpenOptions::dwOpenDeadlineMs, for the lease wait
// and the first activation together. COM's call cancellation is not used:
// under Wine 10 CoEnableCallCancellation answers S_OK but does nothing, and
// CoCancelCall is not implemented at all (a call of it ends the calling
// process). A timed-out call may therefore have run, wholly or in part.
//
// CLOSE. Close() (and the destructor) may be called from any thread at any
// time, also while another thread is in a call. Calls queued and not yet
// started answer Failure::Misuse (they did not run); a running call goes on
// and its caller gets its answer (or TimedOut at its deadline). When no
// call or activation is running, Close() returns once the owner thread has
// released the server and then the lease, within kCloseWaitMs at most.
// When one is running, Close() returns at once: the owner thread releases
// the server and the lease right after that call returns, and ends. Every
// activation happens under the lease and none happens after Close().
//
// MODULE AND LOADER LOCK. The library's threads hold a reference to the
// module that contains the library (GetModuleHandleEx) and leave through
// FreeLibraryAndExitThread: a DLL that links the library may be unloaded
// at any time, also after a timed-out call; it stays mapped until the last
// thread of the library in it ends. Under the loader lock (in DllMain, in
// a TLS callback, in a global object's constructor or destructor of a DLL)
// do not Open a client and do not make calls: both wait for the library's
// threads, which cannot start or end while the lock is held. Close() and
// the destructor are allowed there; they then wait the full kCloseWaitMs
// (none at process exit) and leave the threads to end by themselves.
//
// ASYNCHRONOUS CALLS. Each method has a form `...Async` that queues the
// call and returns at once (false, and nothing is ever delivered, when the
// client is not open). Its result is delivered once, as a Completion says:
// to a callback, which runs on the client's delivery thread (keep it
// short; it may call the client, Close() included), or as a message posted
// to a window of the caller's (wParam: the caller's value; lParam: a
// Result<T>* that the handler takes with TakeResult<T>(lParam)). The
// deadline works as for the synchronous form. A window thread that uses
// the message form never waits for the library.
//
// RESULTS. The interface's HRESULTs are compared exactly, never with
// SUCCEEDED(): DeleteRegKey fails with S_FALSE (1), ReserveComPortsBelow
// answers 1 or 0, isDeviceWORable 1 or E_FAIL, KillProcessByName always
// E_FAIL, PatchUninstall, RestoreComPorts and CleanNotInstalled always S_OK,
// the others S_OK or E_FAIL. Any other HRESULT is a transport failure of the
// closed set `Failure`; the HRESULT is always kept in `hr`.
//
// THE LEASE. Every server start ends the other running server of the same
// program (the class is single-use), so two clients that each keep a server
// end each other's. Clients of this library share one named mutex,
// "Global\Q5DMService.ClientLease". Every interactive user, SYSTEM and the
// administrators may wait for it and release it, and nothing more (the
// creator keeps its owner's rights); its medium integrity label lets an
// elevated holder's lease be taken by a non-elevated client and keeps
// low integrity (sandboxed) processes out. Open() takes it (waiting at most
// OpenOptions::dwLeaseWaitMs, then Failure::Busy) before it activates, and
// the client holds it, with its one server, until Close() or destruction.
// So: open a client for a task, not for the application's lifetime; another
// window or q5dmctl waits meanwhile. A crashed holder's lease is taken over
// at once (abandoned mutex). A process that creates the name first with a
// security of its own decides who may open it: where it refuses us, Open()
// fails with AccessDenied; where it holds the mutex, Open() answers Busy
// after the lease wait. The library never activates without the lease.
// Programs that do not use the library still end our server; that is what
// recovery is for.
//
// RECOVERY. A call whose server was lost is repeated at most once, on a
// fresh server activated under the lease the client already holds (with
// Elevation::Always that may show the consent prompt again):
//   - "did not run" (RPC_S_CALL_FAILED_DNE, RPC_E_SERVER_DIED_DNE,
//     RPC_S_SERVER_UNAVAILABLE, RPC_E_DISCONNECTED, CO_E_OBJNOTCONNECTED:
//     the request never reached a live server): every method is repeated,
//     except RestoreComPorts while a reservation is held (below);
//   - "may have run" (RPC_S_CALL_FAILED, RPC_E_SERVER_DIED): repeated only
//     where a second run cannot harm:
//
//     method                repeated  why
//     InstallDriver         no        a half-done installation is not known
//                                     to be safe to start again
//     RemoveDriver          no        a second removal of a removed driver
//                                     fails: the outcome would be false
//     KillProcessByName     yes       ends what is left of the same name
//     PatchUninstall        yes       writes the same value again
//     BackupDriver          yes       copies the same files to the same place
//     CleanNotInstalled     yes       sweeps what the first run left
//     CmdLine               no        would start the program twice
//     SyncExec              no        would run the program twice
//     DeleteRegKey          no        a second delete of a deleted key
//                                     answers NotDeleted: the outcome
//                                     would be false
//     ReserveComPortsBelow  no        the lost server's claims stay and its
//                                     map of free ports is gone
//     RestoreComPorts       no        the map it restores from is gone
//     ClaimComPort          yes       a repeated claim changes nothing more
//     ReleaseComPort        yes       a repeated release changes nothing more
//     isDeviceWORable       yes       reads only
//     setWOREnabled         yes       writes the same value again
//     setSuspendAllowed     yes       writes the same value again
//
//   A call that is not repeated reports ServerLostMayHaveRun; the next call
//   activates a fresh server. `bRepeated` tells that the outcome came from
//   the repeat. A repeat after "may have run" that brings no answer of its
//   own (its activation failed, or it did not run) reports the first run's
//   ServerLostMayHaveRun and HRESULT: the call may still have happened.
//
// RESERVATIONS. ReserveComPortsBelow keeps the map of formerly free ports in
// the server. When that server is lost (or the reserving call itself may
// have run before the loss), the reservation is lost: its claims stay in the
// COM port database and nothing can restore them. It is never redone
// silently: the next RestoreComPorts answers RestoreOutcome::ReservationLost
// (hr: the HRESULT that lost the server) without calling a server that has
// no map. A new successful ReserveComPortsBelow replaces the lost one, as a
// second reservation replaces the first in the server.
//
// ELEVATION. Elevation::Never activates plainly (CoCreateInstance,
// CLSCTX_LOCAL_SERVER). Elevation::Always uses the elevation moniker
// "Elevation:Administrator!new:{CLSID}" with an owner window: the given one,
// else a small invisible window of the library's own, brought to the
// foreground, so that a console or background caller's prompt is seen
// (that window lives on a thread of the library that pumps its messages
// while the prompt is up).
// Elevation::WhenNotElevated uses the moniker only when the process token is
// not elevated (TokenElevation), else activates plainly. Where the platform
// has no elevation moniker (MK_E_CANTOPENFILE: Wine), Always fails with
// ElevationNotEnabled, while WhenNotElevated activates plainly and says so
// in OpenResult::bElevationUnavailable. A "No" at the prompt is Declined and
// is never repeated. S_OK with no object is Unexpected with E_POINTER. One
// activation failure is retried once after a short pause, for the
// plain activation only (the moniker would prompt again): one that a server
// starting or ending at the same moment causes (CO_E_SERVER_EXEC_FAILURE,
// the "server lost" codes, E_NOINTERFACE, E_ACCESSDENIED).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <memory>
#include <utility>

#include "q5_thread_safety.h"
#include "q5dm.h"

namespace q5dm {

// Transport failures: the call's own outcome is unknown or was never
// produced. Closed set.
enum class Failure {
    None,                  // the server answered: see the outcome
    Declined,              // the user said no at the consent prompt
    NotRegistered,         // the class or its server is not installed
    ElevationNotEnabled,   // no elevation for this class or on this platform
    AccessDenied,          // activation or call refused for lack of rights
    ServerLostMayHaveRun,  // the server ended during the call
    ServerLostDidNotRun,   // the server was gone before the call reached it
    TimedOut,              // the deadline passed (or the call was cancelled)
    Busy,                  // another client held the lease past the wait
    Misuse,                // wrong use: closed client, null string, wrong thread, COM not initialised
    Unexpected,            // anything else (interface mismatch, bad stub data, ...)
};

// Outcomes of the operations, from the exact HRESULTs of the contract.
enum class DoneOutcome { Done, Failed };              // S_OK / E_FAIL
enum class AlwaysOutcome { Done };                    // one fixed HRESULT on every path
enum class LaunchOutcome { Started, NotStarted };     // CmdLine: S_OK / E_FAIL
enum class ExecOutcome { Ended, NotStarted };         // SyncExec: S_OK after the end / E_FAIL
enum class DeleteOutcome { Deleted, NotDeleted };     // 0 / 1
enum class ReserveOutcome { Reserved, DatabaseNotOpened };   // 1 / 0
enum class RestoreOutcome { Restored, ReservationLost };     // S_OK / lost with its server
enum class PortOutcome { Requested, DatabaseNotOpened };     // S_OK / E_FAIL
enum class WorOutcome { Present, Absent };            // 1 / E_FAIL

const char* FailureName(Failure eFailure);
const char* OutcomeName(DoneOutcome e);
const char* OutcomeName(AlwaysOutcome e);
const char* OutcomeName(LaunchOutcome e);
const char* OutcomeName(ExecOutcome e);
const char* OutcomeName(DeleteOutcome e);
const char* OutcomeName(ReserveOutcome e);
const char* OutcomeName(RestoreOutcome e);
const char* OutcomeName(PortOutcome e);
const char* OutcomeName(WorOutcome e);
// Symbolic name of a known HRESULT ("RPC_S_CALL_FAILED"), else "unknown".
const char* HresultName(HRESULT hr);

// Which failure an HRESULT that is not a contract value stands for.
Failure ClassifyFailure(HRESULT hr);

// One call's result, printable alike for every method.
struct Summary {
    Failure eFailure;
    const char* pszOutcome;  // the outcome's name, or null on a failure
    HRESULT hr;
    bool bRepeated;
};

template <typename TOutcome>
struct Result {
    Failure eFailure = Failure::Unexpected;
    TOutcome eOutcome = TOutcome();  // meaningful when eFailure is None
    HRESULT hr = E_UNEXPECTED;       // what the server (or COM, or the library) answered
    bool bRepeated = false;          // the outcome is the repeat's, on a fresh server

    bool Answered() const { return eFailure == Failure::None; }
    bool Is(TOutcome e) const { return Answered() && eOutcome == e; }
    Summary Summarize() const { return {eFailure, Answered() ? OutcomeName(eOutcome) : nullptr, hr, bRepeated}; }
};

enum class Elevation { Never, WhenNotElevated, Always };
enum class ServerBits { Default, Bits32, Bits64 };  // Default: COM's choice, the client's own
// The class context that asks COM for the server of that bitness.
DWORD ClassContext(ServerBits eBits);

// What one activation asks for; the seam gets it.
struct ActivationRequest {
    bool bUseMoniker;       // the elevation moniker, else CoCreateInstance
    DWORD dwClassContext;   // CLSCTX_LOCAL_SERVER and the bitness flag
    HWND hwndOwner;         // owner of the consent prompt (moniker only)
};

// The activation itself, replaceable for tests and special starts: fills
// *ppService (one reference) and returns the HRESULT of the activation.
// Called on a thread of the library in the multithreaded apartment.
using ActivateFn = std::function<HRESULT(const ActivationRequest& request, IQ5DMService** ppService)>;
// The library's own: CoGetObject with BIND_OPTS3, or CoCreateInstance.
HRESULT ActivateDefault(const ActivationRequest& request, IQ5DMService** ppService);

constexpr DWORD kNoDeadline = INFINITE;
constexpr DWORD kDefaultDeadline = 0xFFFFFFFEu;  // per-call argument: use OpenOptions::dwDeadlineMs
// The longest Close() waits for the library's threads (see CLOSE).
constexpr DWORD kCloseWaitMs = 5000;

struct OpenOptions {
    Elevation eElevation = Elevation::Never;
    HWND hwndOwner = nullptr;            // owner of the consent prompt; null: the library's own
    ServerBits eBits = ServerBits::Default;
    DWORD dwLeaseWaitMs = 60000;         // longest wait for the lease, then Busy
    DWORD dwDeadlineMs = kNoDeadline;    // every call's deadline unless a call names its own
    DWORD dwOpenDeadlineMs = kNoDeadline;  // Open's: the lease wait and the first activation, then TimedOut
    ActivateFn pfnActivate;              // empty: ActivateDefault
    std::function<bool()> pfnIsElevated; // empty: the process token's TokenElevation
    const wchar_t* pszLeaseName = nullptr;  // null: the machine-wide lease above
};

// Where an asynchronous call's result goes: a callback on the library's
// delivery thread, or a message posted to a window (see ASYNCHRONOUS CALLS).
template <typename TOutcome>
struct Completion {
    std::function<void(const Result<TOutcome>&)> pfnCallback;
    HWND hwnd = nullptr;
    UINT uMessage = 0;
    WPARAM wParam = 0;

    static Completion Callback(std::function<void(const Result<TOutcome>&)> pfn)
    {
        Completion c;
        c.pfnCallback = std::move(pfn);
        return c;
    }
    static Completion Message(HWND hwndTarget, UINT uMsg, WPARAM wValue = 0)
    {
        Completion c;
        c.hwnd = hwndTarget;
        c.uMessage = uMsg;
        c.wParam = wValue;
        return c;
    }
};

// The result that a Completion::Message delivered, owned by the handler.
// A message that is never handled (its window was destroyed first) leaks
// its result.
template <typename TOutcome>
std::unique_ptr<Result<TOutcome>> TakeResult(LPARAM lParam)
{
    return std::unique_ptr<Result<TOutcome>>(reinterpret_cast<Result<TOutcome>*>(lParam));
}

class CClient;

struct OpenResult;

// Owns one open session: the lease, one server, its COM reference, the
// library's threads. Move-only; an empty (default or moved-from) client
// answers every call with Misuse.
class CClient {
public:
    CClient() noexcept;
    ~CClient();
    CClient(CClient&& other) noexcept;
    CClient& operator=(CClient&& other) noexcept;
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    static OpenResult Open(const OpenOptions& options);
    // Releases the server and then the lease (see CLOSE); any thread.
    void Close();
    bool IsOpen() const;

    // Figures of the session so far.
    unsigned Reconnects() const;    // activations after the first
    DWORD LeaseWaitMs() const;      // how long Open waited for the lease

    Result<DoneOutcome> InstallDriver(const wchar_t* deviceInstanceId, const wchar_t* infPath, long noFileCopy,
                                      DWORD dwDeadlineMs = kDefaultDeadline);
    Result<DoneOutcome> RemoveDriver(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<AlwaysOutcome> KillProcessByName(const wchar_t* processName, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<AlwaysOutcome> PatchUninstall(const wchar_t* uninstallKey, const wchar_t* uninstallString,
                                         DWORD dwDeadlineMs = kDefaultDeadline);
    Result<DoneOutcome> BackupDriver(const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath,
                                     const wchar_t* backupRoot, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<AlwaysOutcome> CleanNotInstalled(const wchar_t* className, long usbVariant,
                                            DWORD dwDeadlineMs = kDefaultDeadline);
    Result<LaunchOutcome> CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory,
                                  DWORD dwDeadlineMs = kDefaultDeadline);
    Result<ExecOutcome> SyncExec(const wchar_t* commandLine, const wchar_t* currentDirectory,
                                 DWORD dwDeadlineMs = kDefaultDeadline);
    Result<DeleteOutcome> DeleteRegKey(const wchar_t* rootName, const wchar_t* subKey,
                                       DWORD dwDeadlineMs = kDefaultDeadline);
    Result<ReserveOutcome> ReserveComPortsBelow(long portNumber, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<RestoreOutcome> RestoreComPorts(DWORD dwDeadlineMs = kDefaultDeadline);
    Result<PortOutcome> ClaimComPort(long portNumber, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<PortOutcome> ReleaseComPort(long portNumber, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<WorOutcome> isDeviceWORable(const wchar_t* deviceInstanceId, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<DoneOutcome> setWOREnabled(const wchar_t* deviceInstanceId, long enable, DWORD dwDeadlineMs = kDefaultDeadline);
    Result<DoneOutcome> setSuspendAllowed(const wchar_t* deviceInstanceId, long allow,
                                          DWORD dwDeadlineMs = kDefaultDeadline);


    // The same, queued: see ASYNCHRONOUS CALLS.
    bool InstallDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId,
                            const wchar_t* infPath, long noFileCopy, DWORD dwDeadlineMs = kDefaultDeadline);
    bool RemoveDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId,
                           DWORD dwDeadlineMs = kDefaultDeadline);
    bool KillProcessByNameAsync(const Completion<AlwaysOutcome>& done, const wchar_t* processName,
                                DWORD dwDeadlineMs = kDefaultDeadline);
    bool PatchUninstallAsync(const Completion<AlwaysOutcome>& done, const wchar_t* uninstallKey,
                             const wchar_t* uninstallString, DWORD dwDeadlineMs = kDefaultDeadline);
    bool BackupDriverAsync(const Completion<DoneOutcome>& done, const wchar_t* infName, const wchar_t* subFolder,
                           const wchar_t* infCopyPath, const wchar_t* backupRoot,
                           DWORD dwDeadlineMs = kDefaultDeadline);
    bool CleanNotInstalledAsync(const Completion<AlwaysOutcome>& done, const wchar_t* className, long usbVariant,
                                DWORD dwDeadlineMs = kDefaultDeadline);
    bool CmdLineAsync(const Completion<LaunchOutcome>& done, const wchar_t* file, const wchar_t* parameters,
                      const wchar_t* directory, DWORD dwDeadlineMs = kDefaultDeadline);
    bool SyncExecAsync(const Completion<ExecOutcome>& done, const wchar_t* commandLine, const wchar_t* currentDirectory,
                       DWORD dwDeadlineMs = kDefaultDeadline);
    bool DeleteRegKeyAsync(const Completion<DeleteOutcome>& done, const wchar_t* rootName, const wchar_t* subKey,
                           DWORD dwDeadlineMs = kDefaultDeadline);
    bool ReserveComPortsBelowAsync(const Completion<ReserveOutcome>& done, long portNumber,
                                   DWORD dwDeadlineMs = kDefaultDeadline);
    bool RestoreComPortsAsync(const Completion<RestoreOutcome>& done, DWORD dwDeadlineMs = kDefaultDeadline);
    bool ClaimComPortAsync(const Completion<PortOutcome>& done, long portNumber, DWORD dwDeadlineMs = kDefaultDeadline);
    bool ReleaseComPortAsync(const Completion<PortOutcome>& done, long portNumber,
                             DWORD dwDeadlineMs = kDefaultDeadline);
    bool isDeviceWORableAsync(const Completion<WorOutcome>& done, const wchar_t* deviceInstanceId,
                              DWORD dwDeadlineMs = kDefaultDeadline);
    bool setWOREnabledAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, long enable,
                            DWORD dwDeadlineMs = kDefaultDeadline);
    bool setSuspendAllowedAsync(const Completion<DoneOutcome>& done, const wchar_t* deviceInstanceId, long allow,
                                DWORD dwDeadlineMs = kDefaultDeadline);

    struct CSession;  // the library's; public only so that its source can name it

private:
    explicit CClient(std::shared_ptr<CSession> pSession) noexcept;
    std::shared_ptr<CSession> Session() const;
    std::shared_ptr<CSession> TakeSession();

    mutable CSrwLock m_lock;  // a client may be closed on one thread while used on others
    std::shared_ptr<CSession> m_pSession Q5_GUARDED_BY(m_lock);
};

struct OpenResult {
    Failure eFailure = Failure::Unexpected;
    HRESULT hr = E_UNEXPECTED;            // of the activation (or of the lease)
    bool bElevationUnavailable = false;   // WhenNotElevated fell back to a plain activation
    CClient client;                       // open when eFailure is None

    bool Opened() const { return eFailure == Failure::None; }
};

}  // namespace q5dm
