// q5stress: one client of the DM COM Server built on the client library, for
// make stress and the demo. It makes M calls of methods that change nothing
// lasting, opening a session (lease, server) per task of a few calls as the
// desktop application would, and prints one summary line and one line per
// kind of failure, tab-separated, for tools/stress/stress.sh to add up.
//
//   q5stress --id N --calls M [--task N] [--no-lease] [--deadline-ms D]
//            [--start-at EPOCH_MS] [--verbose] [--pause-before N --wait-event NAME]
//            [--set-event NAME]
//   q5stress --servers-left WAIT_MS
//
// --no-lease gives the session a lease of its own, so it activates whenever
// it likes: a client that does not cooperate. --start-at lines up clients
// that Wine starts at different moments. --pause-before/--wait-event and
// --set-event let a script order two clients (the demo).
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "q5dm_client.h"

namespace {

constexpr DWORD kEventWaitMs = 60000;

struct Options {
    unsigned uId = 1;
    unsigned uCalls = 20;
    unsigned uTask = 5;
    bool bNoLease = false;
    DWORD dwDeadlineMs = 30000;
    ULONGLONG ullStartAt = 0;
    bool bVerbose = false;
    unsigned uPauseBefore = 0;
    std::wstring strWaitEvent;
    std::wstring strSetEvent;
    long lServersLeftWaitMs = -1;
};

// One call of a method that changes nothing lasting, and the only outcome
// that its arguments allow: any other answer is a wrong result.
struct Harmless {
    const char* pszShown;
    std::function<q5dm::Summary(q5dm::CClient&, DWORD)> pfnCall;
    const char* pszOnlyOutcome;
};

const wchar_t kAbsentDevice[] = L"ROOT\\Q5STRESS\\0000";

const std::vector<Harmless>& HarmlessCalls()
{
    static const std::vector<Harmless> calls = {
        {"DeleteRegKey HKXX Software",
         [](q5dm::CClient& c, DWORD d) { return c.DeleteRegKey(L"HKXX", L"Software", d).Summarize(); },
         q5dm::OutcomeName(q5dm::DeleteOutcome::NotDeleted)},
        {"isDeviceWORable ROOT\\Q5STRESS\\0000",
         [](q5dm::CClient& c, DWORD d) { return c.isDeviceWORable(kAbsentDevice, d).Summarize(); },
         q5dm::OutcomeName(q5dm::WorOutcome::Absent)},
        {"KillProcessByName q5stress-none.exe",
         [](q5dm::CClient& c, DWORD d) { return c.KillProcessByName(L"q5stress-none.exe", d).Summarize(); },
         q5dm::OutcomeName(q5dm::AlwaysOutcome::Done)},
        {"setSuspendAllowed ROOT\\Q5STRESS\\0000 1",
         [](q5dm::CClient& c, DWORD d) { return c.setSuspendAllowed(kAbsentDevice, 1, d).Summarize(); },
         q5dm::OutcomeName(q5dm::DoneOutcome::Failed)},
    };
    return calls;
}

struct Tally {
    unsigned uCalls = 0;
    unsigned uAnswered = 0;
    unsigned uWrong = 0;
    unsigned uLost = 0;
    unsigned uReconnects = 0;
    DWORD dwLongestLeaseWaitMs = 0;
    unsigned auFailures[static_cast<int>(q5dm::Failure::Unexpected) + 1] = {};
    HRESULT ahrLast[static_cast<int>(q5dm::Failure::Unexpected) + 1] = {};
};

ULONGLONG EpochMs()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG ull = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return ull / 10000 - 11644473600000ull;
}

std::wstring Widen(const char* text)
{
    std::wstring out;
    for (; *text != '\0'; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

bool ParseUnsigned(const char* text, unsigned long long& value)
{
    char* end = nullptr;
    if (*text < '0' || *text > '9') return false;
    value = strtoull(text, &end, 10);
    return *end == '\0';
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (strcmp(name, "--no-lease") == 0) { o.bNoLease = true; continue; }
        if (strcmp(name, "--verbose") == 0) { o.bVerbose = true; continue; }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        unsigned long long n = 0;
        const bool bNumber = ParseUnsigned(value, n) && n <= 0xFFFFFFFFull * 1000;
        if (strcmp(name, "--wait-event") == 0) o.strWaitEvent = Widen(value);
        else if (strcmp(name, "--set-event") == 0) o.strSetEvent = Widen(value);
        else if (!bNumber) return false;
        else if (strcmp(name, "--id") == 0) o.uId = static_cast<unsigned>(n);
        else if (strcmp(name, "--calls") == 0) o.uCalls = static_cast<unsigned>(n);
        else if (strcmp(name, "--task") == 0 && n > 0) o.uTask = static_cast<unsigned>(n);
        else if (strcmp(name, "--deadline-ms") == 0) o.dwDeadlineMs = static_cast<DWORD>(n);
        else if (strcmp(name, "--start-at") == 0) o.ullStartAt = n;
        else if (strcmp(name, "--pause-before") == 0) o.uPauseBefore = static_cast<unsigned>(n);
        else if (strcmp(name, "--servers-left") == 0) o.lServersLeftWaitMs = static_cast<long>(n);
        else return false;
    }
    return true;
}

// The server processes running now (ids), or false when the process list
// cannot be read.
bool ServerProcesses(std::vector<DWORD>& ids)
{
    ids.clear();
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Process32FirstW(hSnapshot, &entry); bMore; bMore = Process32NextW(hSnapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"q5dmsrv64.exe") == 0 || _wcsicmp(entry.szExeFile, L"q5dmsrv32.exe") == 0)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(hSnapshot);
    return true;
}

// A server ends a few milliseconds after its last client let go: wait for
// that before calling one left over. Each one left is named by its process
// id as Wine's debug output writes it (4 hex digits at least), so that its
// trace can be found.
int ServersLeft(DWORD dwWaitMs)
{
    const ULONGLONG ullEnd = GetTickCount64() + dwWaitMs;
    std::vector<DWORD> ids;
    bool bRead = ServerProcesses(ids);
    while (bRead && !ids.empty() && GetTickCount64() < ullEnd) {
        Sleep(200);
        bRead = ServerProcesses(ids);
    }
    if (!bRead) {
        printf("servers-left\t-1\n");
        return 2;
    }
    printf("servers-left\t%d\n", static_cast<int>(ids.size()));
    for (DWORD id : ids) printf("server-left\t%04lx\n", static_cast<unsigned long>(id));
    return 0;
}

void WaitForNamedEvent(const std::wstring& name)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (hEvent == nullptr) return;
    WaitForSingleObject(hEvent, kEventWaitMs);
    CloseHandle(hEvent);
}

void SetNamedEvent(const std::wstring& name)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (hEvent == nullptr) return;
    SetEvent(hEvent);
    CloseHandle(hEvent);
}

void Count(Tally& tally, const q5dm::Summary& summary, const char* pszOnlyOutcome)
{
    ++tally.uCalls;
    ++tally.auFailures[static_cast<int>(summary.eFailure)];
    tally.ahrLast[static_cast<int>(summary.eFailure)] = summary.hr;
    if (summary.eFailure == q5dm::Failure::None) {
        ++tally.uAnswered;
        if (strcmp(summary.pszOutcome, pszOnlyOutcome) != 0) ++tally.uWrong;
    }
    if (summary.eFailure == q5dm::Failure::ServerLostMayHaveRun || summary.eFailure == q5dm::Failure::ServerLostDidNotRun)
        ++tally.uLost;
}

void Show(const Options& o, const char* pszWhat, const q5dm::Summary& summary, unsigned uReconnects)
{
    const unsigned long hr = static_cast<unsigned long>(summary.hr);
    if (summary.eFailure == q5dm::Failure::None)
        printf("client %u: %s -> %s (0x%08lX %s)", o.uId, pszWhat, summary.pszOutcome, hr, q5dm::HresultName(summary.hr));
    else
        printf("client %u: %s -> %s (0x%08lX %s)", o.uId, pszWhat, q5dm::FailureName(summary.eFailure), hr,
               q5dm::HresultName(summary.hr));
    if (summary.bRepeated) printf(", repeated on a fresh server (reconnects so far: %u)", uReconnects);
    printf("\n");
    fflush(stdout);
}

q5dm::OpenOptions SessionOptions(const Options& o, const std::wstring& ownLease)
{
    q5dm::OpenOptions options;
    options.eElevation = q5dm::Elevation::WhenNotElevated;
    options.dwDeadlineMs = o.dwDeadlineMs;
    if (o.bNoLease) options.pszLeaseName = ownLease.c_str();
    return options;
}

// One task: a session opened for a few calls. A session that does not open
// ends each of its calls with the opening's failure.
void RunTask(const Options& o, unsigned uFirst, unsigned uCount, Tally& tally)
{
    const std::wstring ownLease = L"Local\\Q5Stress.OwnLease." + std::to_wstring(GetCurrentProcessId());
    q5dm::OpenResult opened = q5dm::CClient::Open(SessionOptions(o, ownLease));
    const auto& calls = HarmlessCalls();
    for (unsigned i = uFirst; i < uFirst + uCount; ++i) {
        const Harmless& call = calls[(i + o.uId) % calls.size()];
        if (o.uPauseBefore == i + 1 && !o.strWaitEvent.empty()) WaitForNamedEvent(o.strWaitEvent);
        q5dm::Summary summary = {opened.eFailure, nullptr, opened.hr, false};
        if (opened.Opened()) summary = call.pfnCall(opened.client, q5dm::kDefaultDeadline);
        Count(tally, summary, call.pszOnlyOutcome);
        if (o.bVerbose) Show(o, call.pszShown, summary, opened.Opened() ? opened.client.Reconnects() : 0);
    }
    if (!opened.Opened()) return;
    tally.uReconnects += opened.client.Reconnects();
    if (opened.client.LeaseWaitMs() > tally.dwLongestLeaseWaitMs) tally.dwLongestLeaseWaitMs = opened.client.LeaseWaitMs();
}

void PrintTally(const Options& o, const Tally& tally, ULONGLONG ullElapsedMs)
{
    printf("stress-client\t%u\t%d\t%u\t%u\t%u\t%llu\t%lu\t%u\t%u\n", o.uId, static_cast<int>(sizeof(void*) * 8), tally.uCalls,
           tally.uAnswered, tally.uWrong, ullElapsedMs, static_cast<unsigned long>(tally.dwLongestLeaseWaitMs),
           tally.uReconnects, tally.uLost);
    for (int i = static_cast<int>(q5dm::Failure::Declined); i <= static_cast<int>(q5dm::Failure::Unexpected); ++i) {
        if (tally.auFailures[i] != 0)
            printf("stress-failure\t%s\t%u\t0x%08lX %s\n", q5dm::FailureName(static_cast<q5dm::Failure>(i)), tally.auFailures[i],
                   static_cast<unsigned long>(tally.ahrLast[i]), q5dm::HresultName(tally.ahrLast[i]));
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        fprintf(stderr, "usage: q5stress --id N --calls M [--task N] [--no-lease] [--deadline-ms D] [--start-at EPOCH_MS]\n"
                        "                [--verbose] [--pause-before N --wait-event NAME] [--set-event NAME]\n"
                        "       q5stress --servers-left WAIT_MS\n");
        return 1;
    }
    if (o.lServersLeftWaitMs >= 0) return ServersLeft(static_cast<DWORD>(o.lServersLeftWaitMs));
    const ULONGLONG ullNow = EpochMs();
    if (o.ullStartAt > ullNow) Sleep(static_cast<DWORD>(o.ullStartAt - ullNow));
    const ULONGLONG ullStart = o.ullStartAt != 0 ? o.ullStartAt : EpochMs();
    Tally tally;
    for (unsigned uFirst = 0; uFirst < o.uCalls; uFirst += o.uTask)
        RunTask(o, uFirst, o.uCalls - uFirst < o.uTask ? o.uCalls - uFirst : o.uTask, tally);
    PrintTally(o, tally, EpochMs() - ullStart);
    if (!o.strSetEvent.empty()) SetNamedEvent(o.strSetEvent);
    return 0;
}
