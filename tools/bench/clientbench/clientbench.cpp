// A call through the client library against the same call through a bare
// proxy on the caller's own thread, and Open against a bare activation
// plus the lease's own cost, on the same server program, paired by round.
//
// usage: q5clientbench [--rounds N] [--calls N]
// Prints one line per round and the medians; the ratios are taken round by
// round. Every activation starts a server of its own (single use).
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv)
{
    int iRounds = 7, iCalls = 500;
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
    return 0;
}
