// q5floorclient: the bare client of the benchmark. It activates the DM COM
// Server the way the desktop application's own thread does (one
// CoCreateInstance from a single-threaded apartment, nothing around it), so
// that a server's activation is timed without the client library's threads,
// lease and retries, which cost the same for every server and would only
// blur the comparison.
//
//   q5floorclient running N TRACEFILE PROGRAM [ARGUMENT] [--server32|--server64]
//       N times, after one that is not timed: starts "PROGRAM" [ARGUMENT]
//       -Embedding with its output into
//       TRACEFILE, waits until it idles in its message loop, then times the
//       activation that COM hands to it, releases the object and waits for
//       the server to end
//   q5floorclient cold N [--server32|--server64]
//       N times: times an activation that starts the registered server, then
//       releases the object and waits a second for that server to end
//
// Prints "activations: N, median X ms, min Y ms, max Z ms", and for running
// also "start-up: ..." with the same figures for the time from the start of
// the server process until it idles, ready to serve, and "not ended: ..."
// when servers had to be ended after their release.
// A tool of the benchmark only: never shipped.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "ownserver.h"
#include "q5dm.h"

namespace {

// Longer than the server's own limit for its end (10 s).
constexpr DWORD kEndWaitMs = 20000;

double Milliseconds(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

DWORD g_dwClassContext = CLSCTX_LOCAL_SERVER;

// One activation, timed; the object is released at once.
bool TimedActivation(double& ms)
{
    IQ5DMService* service = nullptr;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    HRESULT hr = CoCreateInstance(CLSID_Q5DMService, nullptr, g_dwClassContext, IID_IQ5DMService,
                                  reinterpret_cast<void**>(&service));
    ms = Milliseconds(start);
    if (FAILED(hr) || service == nullptr) {
        fprintf(stderr, "q5floorclient: activation failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    service->Release();
    return true;
}

void Report(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2.0;
    printf("%s: %zu, median %.3f ms, min %.3f ms, max %.3f ms\n", what, n, median, times.front(), times.back());
}

// A server that has not ended well after the release either hangs at its
// end or never got the activation. Only the first is possible here: the
// servers that came before have all ended or been ended, so the class
// object that COM hands the activation to can only be this one's. It is
// ended, counted and reported, and its time kept.
int Running(int count, const wchar_t* traceFile, const wchar_t* program, const wchar_t* argument)
{
    const std::wstring arguments = argument[0] != L'\0' ? std::wstring(L" ") + argument : std::wstring();
    std::vector<double> times, starts;
    int notEnded = 0;
    // The first activation of a client also loads its side of the
    // marshalling and connects it to COM: the same for every server, so
    // left out of the times.
    for (int i = -1; i < count; ++i) {
        q5dmctl::OwnServer server;
        std::string error;
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        if (!server.StartProgram(program, arguments, traceFile, error)) {
            fprintf(stderr, "q5floorclient: %s\n", error.c_str());
            return 1;
        }
        double startMs = Milliseconds(start);
        double ms = 0;
        bool bActivated = TimedActivation(ms);
        DWORD exitCode = 0;
        if (!server.WaitForEnd(kEndWaitMs, exitCode)) {
            server.Terminate();
            server.WaitForEnd(kEndWaitMs, exitCode);
            ++notEnded;
        }
        if (!bActivated) return 1;
        if (i < 0) continue;
        times.push_back(ms);
        starts.push_back(startMs);
    }
    Report("activations", times);
    Report("start-up", starts);
    if (notEnded > 0) printf("not ended: %d servers did not end within %lu ms of the release; ended by the client\n", notEnded,
                             static_cast<unsigned long>(kEndWaitMs));
    return 0;
}

int Cold(int count)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        double ms = 0;
        if (!TimedActivation(ms)) return 1;
        times.push_back(ms);
        // Under Wine an activation can be refused while the last single-use
        // server still shuts down.
        Sleep(1000);
    }
    Report("activations", times);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && wcscmp(argv[argc - 1], L"--server32") == 0) {
        g_dwClassContext |= CLSCTX_ACTIVATE_32_BIT_SERVER;
        --argc;
    } else if (argc > 1 && wcscmp(argv[argc - 1], L"--server64") == 0) {
        g_dwClassContext |= CLSCTX_ACTIVATE_64_BIT_SERVER;
        --argc;
    }
    int count = argc > 2 ? _wtoi(argv[2]) : 0;
    if (count < 1 || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        fprintf(stderr, "usage: q5floorclient running N TRACEFILE PROGRAM [ARGUMENT] | cold N  [--server32|--server64]\n");
        return 2;
    }
    int code = 2;
    if ((argc == 5 || argc == 6) && wcscmp(argv[1], L"running") == 0) code = Running(count, argv[3], argv[4], argc == 6 ? argv[5] : L"");
    else if (argc == 3 && wcscmp(argv[1], L"cold") == 0) code = Cold(count);
    CoUninitialize();
    return code;
}
