// q5dmctl: activates the DM COM Server and calls one method of IQ5DMService,
// printing the HRESULT the way support staff and installers read it.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "methods.h"
#include "options.h"
#include "ownserver.h"
#include "q5dm.h"
#include "results.h"

namespace {

enum ExitCode { kExitResult = 0, kExitUsage = 1, kExitActivation = 2, kExitTransport = 3 };

constexpr DWORD kServerEndWaitMs = 60000;
constexpr DWORD kUnusedServerWaitMs = 5000;
const wchar_t kElevationMoniker[] = L"Elevation:Administrator!new:{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";

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

class Apartment {
public:
    Apartment() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~Apartment()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// The service's proxy; released before the apartment goes.
class ServicePtr {
public:
    ~ServicePtr()
    {
        if (m_p != nullptr) m_p->Release();
    }
    IQ5DMService** Put() { return &m_p; }
    IQ5DMService* Get() const { return m_p; }

private:
    IQ5DMService* m_p = nullptr;
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

void PrintResult(const char* what, HRESULT hr)
{
    printf("%s returned 0x%08lX %s\n", what, static_cast<unsigned long>(hr), q5dmctl::ResultName(hr));
}

HRESULT ActivatePlain(DWORD context, IQ5DMService** service)
{
    return CoCreateInstance(CLSID_Q5DMService, nullptr, context, IID_IQ5DMService, reinterpret_cast<void**>(service));
}

// The elevation moniker asks the user (UAC) for an administrator server. A
// platform without it (Wine answers MK_E_CANTOPENFILE) gets a plain
// activation instead; a user who declines the prompt does not.
HRESULT Activate(bool elevate, q5dmctl::ServerBitness bitness, IQ5DMService** service)
{
    const DWORD context = q5dmctl::ActivationContext(bitness);
    if (!elevate) return ActivatePlain(context, service);
    BIND_OPTS3 options = {};
    options.cbStruct = sizeof(options);
    options.dwClassContext = context;
    options.hwnd = GetConsoleWindow();
    HRESULT hr = CoGetObject(kElevationMoniker, &options, IID_IQ5DMService, reinterpret_cast<void**>(service));
    if (SUCCEEDED(hr) || hr == HRESULT_FROM_WIN32(ERROR_CANCELLED)) return hr;
    printf("elevation moniker refused: 0x%08lX %s; falling back to plain activation\n", static_cast<unsigned long>(hr),
           q5dmctl::ResultName(hr));
    return ActivatePlain(context, service);
}

void PrintTimings(double activationMs, std::vector<double> calls)
{
    printf("activation: %.1f ms\n", activationMs);
    if (calls.empty()) return;
    std::sort(calls.begin(), calls.end());
    size_t n = calls.size();
    double median = n % 2 == 1 ? calls[n / 2] : (calls[n / 2 - 1] + calls[n / 2]) / 2.0;
    printf("calls: %zu, round trip median %.3f ms, min %.3f ms, max %.3f ms\n", n, median, calls.front(), calls.back());
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

// Activates, calls (repeatedly) and releases; the result decides the exit code.
// ownServer is the server q5dmctl started itself, if any.
int CallOnce(const q5dmctl::Options& options, const q5dmctl::OwnServer* ownServer)
{
    ServicePtr service;
    Stopwatch activation;
    HRESULT hr = Activate(options.elevate, options.bitness, service.Put());
    double activationMs = activation.Milliseconds();
    if (FAILED(hr)) {
        fprintf(stderr, "q5dmctl: activation of the DM COM Server failed: 0x%08lX %s\n", static_cast<unsigned long>(hr),
                q5dmctl::ResultName(hr));
        return kExitActivation;
    }

    const std::string name = Narrow(options.method->name);
    std::vector<double> calls;
    for (int i = 0; i < options.repeat; ++i) {
        Stopwatch call;
        hr = options.method->invoke(service.Get(), options.args);
        calls.push_back(call.Milliseconds());
        if (q5dmctl::IsTransportFailure(hr)) break;
    }
    PrintResult(name.c_str(), hr);
    if (options.repeat > 1) {
        PrintTimings(activationMs, calls);
        if (ownServer != nullptr) PrintServerMemory(*ownServer);
    }
    if (q5dmctl::IsTransportFailure(hr)) {
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
    Apartment apartment;
    if (FAILED(apartment.Result())) {
        fprintf(stderr, "q5dmctl: COM initialisation failed: 0x%08lX %s\n", static_cast<unsigned long>(apartment.Result()),
                q5dmctl::ResultName(apartment.Result()));
        return kExitActivation;
    }
    q5dmctl::OwnServer ownServer;
    std::string error;
    if (options.traceFile != nullptr && !ownServer.Start(options.traceFile, options.bitness, error)) {
        fprintf(stderr, "q5dmctl: %s\n", error.c_str());
        return kExitActivation;
    }
    int code = CallOnce(options, options.traceFile != nullptr ? &ownServer : nullptr);
    // A server that no activation reached would serve forever.
    if (options.traceFile != nullptr) ReportServerEnd(ownServer, code == kExitActivation ? kUnusedServerWaitMs : kServerEndWaitMs);
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
