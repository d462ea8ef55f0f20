// A call through the client library against the same call through a bare
// proxy on the caller's own thread, and Open against a bare activation
// plus the lease's own cost, on the same server program, paired by round.
//
// usage: q5clientbench [--rounds N] [--calls N]
// Prints one line per round and the medians; the ratios are taken round by
// round. Every activation starts a server of its own (single use). Then
// how long the library's own bounds take (a deadline behind a running
// call, Close and destruction during a call, Close when idle, Open's
// deadline while another client holds the lease), with a SyncExec of this
// program (`--sleep MS`) as the running call.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "q5dm_client.h"

namespace {

const wchar_t kDevice[] = L"ROOT\\Q5BENCH\\0000";  // no such device: the cheapest answer

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Round {
    double dLibraryCallUs = 0, dBareCallUs = 0;
    double dOpenMs = 0, dBareActivationMs = 0, dLeaseMs = 0;
};

class CComThread {
public:
    CComThread() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CComThread()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    CComThread(const CComThread&) = delete;
    CComThread& operator=(const CComThread&) = delete;

private:
    HRESULT m_hr;
};

// The library: Open (lease + activation), then the calls, then Close.
bool ThroughLibrary(int iCalls, Round& round)
{
    double dStart = NowMs();
    q5dm::OpenResult opened = q5dm::CClient::Open(q5dm::OpenOptions());
    round.dOpenMs = NowMs() - dStart;
    if (!opened.Opened()) {
        fprintf(stderr, "clientbench: Open failed: %s 0x%08lX\n", q5dm::FailureName(opened.eFailure),
                static_cast<unsigned long>(opened.hr));
        return false;
    }
    dStart = NowMs();
    for (int i = 0; i < iCalls; ++i) {
        if (!opened.client.isDeviceWORable(kDevice).Answered()) {
            fprintf(stderr, "clientbench: a library call failed\n");
            return false;
        }
    }
    round.dLibraryCallUs = 1000.0 * (NowMs() - dStart) / iCalls;
    opened.client.Close();
    return true;
}

// A bare proxy of the caller's own (multithreaded) apartment.
bool ThroughBareProxy(int iCalls, Round& round)
{
    CComThread com;
    IQ5DMService* pService = nullptr;
    double dStart = NowMs();
    HRESULT hr = CoCreateInstance(CLSID_Q5DMService, nullptr, CLSCTX_LOCAL_SERVER, IID_IQ5DMService,
                                  reinterpret_cast<void**>(&pService));
    round.dBareActivationMs = NowMs() - dStart;
    if (FAILED(hr) || pService == nullptr) {
        fprintf(stderr, "clientbench: bare activation failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    dStart = NowMs();
    for (int i = 0; i < iCalls; ++i) {
        hr = pService->isDeviceWORable(kDevice);
        if (hr != S_FALSE && hr != E_FAIL) {
            fprintf(stderr, "clientbench: a bare call failed: 0x%08lX\n", static_cast<unsigned long>(hr));
            pService->Release();
            return false;
        }
    }
    round.dBareCallUs = 1000.0 * (NowMs() - dStart) / iCalls;
    pService->Release();
    return true;
}

// What the lease alone costs: open the named mutex, take it, let it go.
void LeaseAlone(Round& round)
{
    const double dStart = NowMs();
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, L"Global\\Q5DMService.ClientLease");
    if (hMutex != nullptr) {
        WaitForSingleObject(hMutex, INFINITE);
        ReleaseMutex(hMutex);
        CloseHandle(hMutex);
    }
    round.dLeaseMs = NowMs() - dStart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// ---- bounds ----

constexpr DWORD kBusyCallMs = 3000;  // the running call: a SyncExec of this long
constexpr DWORD kShortDeadlineMs = 200;
constexpr DWORD kEnteredMs = 700;  // time given to the running call to reach the server

// A client in a long call on a worker thread of its own.
class CBusyClient {
public:
    explicit CBusyClient(const wchar_t* pszBusyCommand)
        : m_pClient(std::make_unique<q5dm::CClient>(std::move(q5dm::CClient::Open(q5dm::OpenOptions()).client)))
    {
        q5dm::CClient* pClient = m_pClient.get();
        m_worker = std::thread([this, pClient, pszBusyCommand] {
            const double dStart = NowMs();
            m_result = pClient->SyncExec(pszBusyCommand, L"C:\\");
            m_dBusyMs = NowMs() - dStart;
        });
        Sleep(kEnteredMs);
    }
    // A running call that did not run its full time makes the line above meaningless.
    ~CBusyClient()
    {
        m_worker.join();
        if (!m_result.Is(q5dm::ExecOutcome::Ended) || m_dBusyMs < kBusyCallMs) {
            printf("  (the running call took %.1f ms: %s 0x%08lX; the line above does not count)\n", m_dBusyMs,
                   q5dm::FailureName(m_result.eFailure), static_cast<unsigned long>(m_result.hr));
        }
    }
    CBusyClient(const CBusyClient&) = delete;
    CBusyClient& operator=(const CBusyClient&) = delete;
    bool IsOpen() const { return m_pClient && m_pClient->IsOpen(); }
    q5dm::CClient& Client() { return *m_pClient; }
    void Destroy() { m_pClient.reset(); }

private:
    std::unique_ptr<q5dm::CClient> m_pClient;
    q5dm::Result<q5dm::ExecOutcome> m_result;
    double m_dBusyMs = 0;
    std::thread m_worker;
};

void PrintBound(const char* pszWhat, double dMs, const char* pszPromise)
{
    printf("  %-58s %8.1f ms   (%s)\n", pszWhat, dMs, pszPromise);
    fflush(stdout);
}

void MeasureBounds(const wchar_t* pszBusyCommand)
{
    printf("\nbounds (the running call: a SyncExec of %lu ms; each line from a fresh client):\n",
           static_cast<unsigned long>(kBusyCallMs));
    {
        CBusyClient busy(pszBusyCommand);
        if (!busy.IsOpen()) return;
        const double dStart = NowMs();
        busy.Client().DeleteRegKey(L"HKCU", L"Software\\Q5Bench\\None", kShortDeadlineMs);
        PrintBound("a call with a 200 ms deadline behind a running call", NowMs() - dStart, "200 ms");
    }
    {
        CBusyClient busy(pszBusyCommand);
        HANDLE hDelivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const double dStart = NowMs();
        busy.Client().DeleteRegKeyAsync(
            q5dm::Completion<q5dm::DeleteOutcome>::Callback([hDelivered](const q5dm::Result<q5dm::DeleteOutcome>&) {
                SetEvent(hDelivered);
            }),
            L"HKCU", L"Software\\Q5Bench\\None", kShortDeadlineMs);
        WaitForSingleObject(hDelivered, INFINITE);
        PrintBound("the same, asynchronous: its callback came after", NowMs() - dStart, "200 ms");
        CloseHandle(hDelivered);
    }
    {
        CBusyClient busy(pszBusyCommand);
        const double dStart = NowMs();
        busy.Client().Close();
        PrintBound("Close while another thread is in a call", NowMs() - dStart, "at once");
    }
    {
        CBusyClient busy(pszBusyCommand);
        const double dStart = NowMs();
        busy.Destroy();
        PrintBound("destruction while another thread is in a call", NowMs() - dStart, "at once");
    }
    {
        q5dm::CClient client = std::move(q5dm::CClient::Open(q5dm::OpenOptions()).client);
        client.DeleteRegKey(L"HKCU", L"Software\\Q5Bench\\None");
        const double dStart = NowMs();
        client.Close();
        PrintBound("Close when idle (server and lease released)", NowMs() - dStart, "kCloseWaitMs = 5000 ms at most");
    }
    {
        q5dm::CClient holder = std::move(q5dm::CClient::Open(q5dm::OpenOptions()).client);
        q5dm::OpenOptions options;
        options.dwOpenDeadlineMs = kShortDeadlineMs;
        const double dStart = NowMs();
        q5dm::OpenResult second = q5dm::CClient::Open(options);
        PrintBound("Open with a 200 ms deadline while another client holds the lease", NowMs() - dStart, "200 ms");
        if (second.Opened()) printf("  (that Open succeeded: the lease did not hold it off)\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int iRounds = 7, iCalls = 500;
    if (argc == 3 && strcmp(argv[1], "--sleep") == 0) {
        Sleep(static_cast<DWORD>(atoi(argv[2])));
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) iRounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--calls") == 0) iCalls = atoi(argv[i + 1]);
    }
    if (iRounds < 1 || iCalls < 1) {
        fprintf(stderr, "usage: q5clientbench [--rounds N] [--calls N]\n");
        return 2;
    }
    printf("%-6s %-14s %-14s %-10s %-10s %-14s %-9s %s\n", "round", "library (us)", "bare (us)", "per call", "Open (ms)",
           "bare act. (ms)", "lease (ms)", "Open/(bare act.+lease)");
    std::vector<double> callRatios, openRatios, library, bare, open, activation, lease;
    for (int r = 0; r < iRounds; ++r) {
        Round round;
        // Which goes first alternates, so that neither always meets a warmer system.
        const bool bLibraryFirst = r % 2 == 0;
        if (bLibraryFirst && !ThroughLibrary(iCalls, round)) return 1;
        if (!ThroughBareProxy(iCalls, round)) return 1;
        if (!bLibraryFirst && !ThroughLibrary(iCalls, round)) return 1;
        LeaseAlone(round);
        const double dCallRatio = round.dLibraryCallUs / round.dBareCallUs;
        const double dOpenRatio = round.dOpenMs / (round.dBareActivationMs + round.dLeaseMs);
        printf("%-6d %-14.1f %-14.1f %-10.3f %-10.1f %-14.1f %-10.3f %.3f\n", r + 1, round.dLibraryCallUs, round.dBareCallUs,
               dCallRatio, round.dOpenMs, round.dBareActivationMs, round.dLeaseMs, dOpenRatio);
        fflush(stdout);
        callRatios.push_back(dCallRatio);
        openRatios.push_back(dOpenRatio);
        library.push_back(round.dLibraryCallUs);
        bare.push_back(round.dBareCallUs);
        open.push_back(round.dOpenMs);
        activation.push_back(round.dBareActivationMs);
        lease.push_back(round.dLeaseMs);
    }
    printf("%-6s %-14.1f %-14.1f %-10.3f %-10.1f %-14.1f %-10.3f %.3f\n", "median", Median(library), Median(bare),
           Median(callRatios), Median(open), Median(activation), Median(lease), Median(openRatios));
    printf("goal: per call <= 1.05; Open <= 1.05 x (bare activation + lease)\n");
    wchar_t szSelf[MAX_PATH];
    const DWORD dwLength = GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    if (dwLength == 0 || dwLength >= MAX_PATH) return 1;
    wchar_t szBusy[MAX_PATH + 32];
    swprintf(szBusy, MAX_PATH + 32, L"\"%ls\" --sleep %lu", szSelf, static_cast<unsigned long>(kBusyCallMs));
    MeasureBounds(szBusy);
    return 0;
}
