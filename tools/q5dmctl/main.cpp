// q5dmctl: opens the DM COM Server through the client library and calls one
// method of IQ5DMService, printing the named outcome and the HRESULT the way
// support staff and installers read them.
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "methods.h"
#include "options.h"
#include "ownserver.h"
#include "q5dm_client.h"

namespace {

enum ExitCode { kExitResult = 0, kExitUsage = 1, kExitActivation = 2, kExitTransport = 3 };

constexpr DWORD kServerEndWaitMs = 60000;
constexpr DWORD kUnusedServerWaitMs = 5000;

class CommandLineArgs {
public:
    CommandLineArgs() : m_argv(CommandLineToArgvW(GetCommandLineW(), &m_argc)) {}
    ~CommandLineArgs()
    {
        if (m_argv != nullptr) LocalFree(m_argv);
    }
    int Count() const { return m_argv == nullptr ? 0 : m_argc; }
    wchar_t** Get() const { return m_argv; }

private:
    int m_argc = 0;
    wchar_t** m_argv;
};

class Stopwatch {
public:
    Stopwatch()
    {
        QueryPerformanceFrequency(&m_frequency);
        QueryPerformanceCounter(&m_start);
    }
    double Milliseconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency;
    LARGE_INTEGER m_start;
};

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != L'\0'; ++text) out += (*text < 0x80) ? static_cast<char>(*text) : '?';
    return out;
}

// "DeleteRegKey: not deleted (0x00000001 S_FALSE)", or for a failure of the
// transport "DeleteRegKey: transport failure, server lost, did not run (...)".
void PrintResult(const char* what, const q5dm::Summary& summary)
{
    const unsigned long hr = static_cast<unsigned long>(summary.hr);
    if (summary.eFailure == q5dm::Failure::None) {
        printf("%s: %s (0x%08lX %s)%s\n", what, summary.pszOutcome, hr, q5dm::HresultName(summary.hr),
               summary.bRepeated ? ", on a fresh server after the first was lost" : "");
    } else {
        printf("%s: transport failure, %s (0x%08lX %s)\n", what, q5dm::FailureName(summary.eFailure), hr,
               q5dm::HresultName(summary.hr));
    }
}


void PrintTimings(double activationMs, std::vector<double> calls, const q5dm::CClient& client)
{
    printf("activation: %.1f ms\n", activationMs);
    if (calls.empty()) return;
    std::sort(calls.begin(), calls.end());
    size_t n = calls.size();
    double median = n % 2 == 1 ? calls[n / 2] : (calls[n / 2 - 1] + calls[n / 2]) / 2.0;
    printf("calls: %zu, round trip median %.3f ms, min %.3f ms, max %.3f ms\n", n, median, calls.front(), calls.back());
    printf("lease wait: %lu ms, reconnects: %u\n", static_cast<unsigned long>(client.LeaseWaitMs()), client.Reconnects());
}

// Measured while the object is still held, before the server winds down.
void PrintServerMemory(const q5dmctl::OwnServer& server)
{
    q5dmctl::OwnServer::Memory memory;
    if (server.MemoryUse(memory)) {
        printf("server memory: working set %llu KiB, peak %llu KiB, private %llu KiB\n",
               static_cast<unsigned long long>(memory.workingSetKiB), static_cast<unsigned long long>(memory.peakKiB),
               static_cast<unsigned long long>(memory.privateKiB));
    }
}

// With --trace the server that the first activation reaches is one started
// here, under the lease like any activation; later activations (recovery)
// are COM's own. The activation time then leaves out the server's own
// start, which a running server has behind it: activationMs.
q5dm::ActivateFn TracedActivation(const q5dmctl::Options& options, q5dmctl::OwnServer& server, std::string& error,
                                  double& activationMs)
{
    auto bTried = std::make_shared<bool>(false);
    return [&options, &server, &error, &activationMs, bTried](const q5dm::ActivationRequest& request,
                                                              IQ5DMService** ppService) {
        if (!*bTried) {
            *bTried = true;
            if (!server.Start(options.traceFile, options.bitness, error)) return CO_E_SERVER_EXEC_FAILURE;
        } else if (!error.empty()) {
            return CO_E_SERVER_EXEC_FAILURE;
        }
        Stopwatch activation;
        HRESULT hr = q5dm::ActivateDefault(request, ppService);
        activationMs = activation.Milliseconds();
        return hr;
    };
}

// Opens, calls (repeatedly) and closes; the result decides the exit code.
// ownServer is the server q5dmctl starts itself, if any.
int CallOnce(const q5dmctl::Options& options, q5dmctl::OwnServer* ownServer)
{
    q5dm::OpenOptions open;
    open.eElevation = options.elevate ? q5dm::Elevation::WhenNotElevated : q5dm::Elevation::Never;
    open.eBits = options.bitness;
    std::string startError;
    double ownActivationMs = -1;
    if (ownServer != nullptr) open.pfnActivate = TracedActivation(options, *ownServer, startError, ownActivationMs);
    Stopwatch activation;
    q5dm::OpenResult opened = q5dm::CClient::Open(open);
    double activationMs = ownActivationMs >= 0 ? ownActivationMs : activation.Milliseconds();
    if (!startError.empty()) {
        fprintf(stderr, "q5dmctl: %s\n", startError.c_str());
        return kExitActivation;
    }
    if (opened.bElevationUnavailable) {
        printf("elevation moniker refused: 0x%08lX %s; falling back to plain activation\n",
               static_cast<unsigned long>(MK_E_CANTOPENFILE), q5dm::HresultName(MK_E_CANTOPENFILE));
    }
    if (!opened.Opened()) {
        fprintf(stderr, "q5dmctl: activation of the DM COM Server failed: 0x%08lX %s (%s)\n",
                static_cast<unsigned long>(opened.hr), q5dm::HresultName(opened.hr), q5dm::FailureName(opened.eFailure));
        return kExitActivation;
    }

    q5dm::CClient& client = opened.client;
    const std::string name = Narrow(options.method->name);
    std::vector<double> calls;
    q5dm::Summary summary = {};
    for (int i = 0; i < options.repeat; ++i) {
        Stopwatch call;
        summary = options.method->call(client, options.args);
        calls.push_back(call.Milliseconds());
        if (summary.eFailure != q5dm::Failure::None) break;
    }
    PrintResult(name.c_str(), summary);
    if (options.repeat > 1) {
        PrintTimings(activationMs, calls, client);
        if (ownServer != nullptr) PrintServerMemory(*ownServer);
    }
    client.Close();
    if (summary.eFailure != q5dm::Failure::None) {
        fprintf(stderr, "q5dmctl: the call did not reach the server or its answer was lost (transport failure)\n");
        return kExitTransport;
    }
    return kExitResult;
}

void ReportServerEnd(q5dmctl::OwnServer& server, DWORD timeoutMs)
{
    DWORD exitCode = 0;
    if (server.WaitForEnd(timeoutMs, exitCode)) {
        printf("server ended with exit code %lu\n", static_cast<unsigned long>(exitCode));
    } else {
        fprintf(stderr, "q5dmctl: the server did not end after the last release; ending it\n");
        server.Terminate();
    }
}

int CallService(const q5dmctl::Options& options)
{
    q5dmctl::OwnServer ownServer;
    const bool bOwn = options.traceFile != nullptr;
    int code = CallOnce(options, bOwn ? &ownServer : nullptr);
    // A server that no activation reached would serve forever.
    if (bOwn && ownServer.Started()) ReportServerEnd(ownServer, code == kExitActivation ? kUnusedServerWaitMs : kServerEndWaitMs);
    return code;
}

}  // namespace

int main()
{
    CommandLineArgs args;
    q5dmctl::Options options;
    std::string error;
    if (!q5dmctl::ParseOptions(args.Count(), args.Get(), options, error)) {
        fprintf(stderr, "q5dmctl: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        fputs(q5dmctl::HelpText().c_str(), stdout);
        return kExitResult;
    }
    if (options.watch) return q5dmctl::RunWatch(options.watchOptions);
    return CallService(options);
}
