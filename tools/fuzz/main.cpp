// q5fuzz: the robustness run of the DM server. Activates the registered
// server through COM (real proxy/stub library, real marshalling) and makes
// seeded random calls of all 16 methods with hostile arguments, a batch per
// server process (each activation starts a fresh single-use server). It
// checks that every call returns within a time bound, that the server's
// handles and private memory do not grow across a batch, and that its trace
// keeps every entry line whole. fuzz.sh wraps it with the check that nothing
// outside the scratch places changed in the prefix.
//
//   q5fuzz --setup --scratch DIR
//   q5fuzz --scratch DIR --logs DIR [--seed N] [--calls N] [--per-server N]
//          [--limit-ms N] [--harmless]
// Exit code: 0 nothing found, 1 findings, 2 the run could not be made.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <stdio.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "calls.h"
#include "expect.h"
#include "process_probe.h"
#include "q5dm.h"
#include "results.h"
#include "scratch.h"
#include "server.h"

namespace {

using q5fuzz::Call;

struct Options {
    bool setup = false;
    bool harmless = false;
    std::wstring scratch;
    std::wstring logs;
    unsigned seed = 1;
    int calls = 10000;
    int perServer = 100;
    DWORD limitMs = 15000;
};

// Calls made before the "warm" picture of a server: one plain call of every
// method (first use loads libraries and fills caches), then a few more.
constexpr int kWarmRandomCalls = 10;
// Growth after warm-up that counts as a leak, per server. Measured under
// Wine 10 over 10,000 calls (100 servers, up to 74 calls each after
// warm-up): handles 0 to +1, threads 0 to +1, private memory at most +16 KiB
// in most servers, but in about one server in seven a single rise of about
// 1 MiB after an arbitrary cheap call (ReleaseComPort(2), DeleteRegKey of a
// scratch key) that never repeated: Wine committing memory of its own (with
// the 32-bit side emulated, once 2 MiB after one call). The memory limit
// leaves out the largest rise within one call, whatever its size, and
// allows 512 KiB more; a leak of one handle or about 20 KiB per call of any
// one method still shows above the limits.
constexpr long kHandleGrowthLimit = 4;
constexpr long kThreadGrowthLimit = 2;
constexpr long long kPrivateGrowthLimitKiB = 512;
constexpr DWORD kServerEndMs = 15000;
// A rise of the private memory within one call that is worth naming.
constexpr SIZE_T kStepBytes = 256 * 1024;
constexpr int kShownFindings = 12;

struct MethodStats {
    int calls = 0;
    double totalMs = 0;
    double maxMs = 0;
    std::map<HRESULT, int> results;
};

struct Finding {
    std::string what;
};

// The results each method may give; anything else (an exception code that
// the stub passed back, say) means the call went wrong inside the server.
bool IsAllowedResult(const std::wstring& method, HRESULT hr)
{
    if (method == L"KillProcessByName") return hr == E_FAIL;
    if (method == L"RestoreComPorts" || method == L"CleanNotInstalled") return hr == S_OK;
    if (method == L"DeleteRegKey" || method == L"ReserveComPortsBelow") return hr == S_OK || hr == S_FALSE;
    if (method == L"isDeviceWORable") return hr == S_FALSE || hr == E_FAIL;
    // PatchUninstall among them: E_FAIL when it refuses a key path that
    // names HKEY_LOCAL_MACHINE itself.
    return hr == S_OK || hr == E_FAIL;
}

struct Growth {
    int server;
    long handles;
    long threads;
    long long privateKiB;
    long long largestRiseKiB;  // the largest rise within one call
    q5fuzz::ProcessUse warm;
};

struct Totals {
    std::map<std::wstring, MethodStats> methods;
    int servers = 0;
    int activationFailures = 0;
    int notEnded = 0;
    std::vector<Finding> transport;
    std::vector<Finding> unexpected;
    std::vector<Finding> hangs;
    std::vector<Finding> traceFaults;
    std::vector<Growth> growth;
    std::vector<Finding> steps;
    int traceChecked = 0;
};

bool ParseOptions(Options& options)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return false;
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--setup") options.setup = true;
        else if (arg == L"--harmless") options.harmless = true;
        else if (arg == L"--scratch" && hasValue) options.scratch = argv[++i];
        else if (arg == L"--logs" && hasValue) options.logs = argv[++i];
        else if (arg == L"--seed" && hasValue) options.seed = static_cast<unsigned>(wcstoul(argv[++i], nullptr, 10));
        else if (arg == L"--calls" && hasValue) options.calls = _wtoi(argv[++i]);
        else if (arg == L"--per-server" && hasValue) options.perServer = _wtoi(argv[++i]);
        else if (arg == L"--limit-ms" && hasValue) options.limitMs = static_cast<DWORD>(_wtoi(argv[++i]));
        else ok = false;
    }
    LocalFree(argv);
    return ok && !options.scratch.empty() && (options.setup || !options.logs.empty()) && options.calls >= 0 &&
           options.perServer > 0;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Describe(const Call& call)
{
    std::string text = Narrow(call.method->name) + "(";
    for (int i = 0; i < call.method->paramCount; ++i) {
        if (i > 0) text += ", ";
        if (call.method->params[i].type == q5dmctl::ParamType::Long) text += std::to_string(call.number[i]);
        else text += q5fuzz::Shown(call.text[i]);
    }
    return text + ")";
}

std::string HresultText(HRESULT hr)
{
    char text[64];
    const char* name = q5dmctl::ResultName(hr);
    if (strcmp(name, "unknown") == 0) snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    else snprintf(text, sizeof(text), "%s", name);
    return text;
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One plain call of every method the run makes, confined like the rest.
std::vector<Call> PrimingCalls(const q5fuzz::Scratch& scratch)
{
    std::vector<Call> calls;
    for (int i = 0; i < q5dmctl::MethodCount(); ++i) {
        Call call;
        call.method = &q5dmctl::Methods()[i];
        std::wstring name = call.method->name;
        if (wcsstr(call.method->name, L"ComPort") != nullptr && !scratch.comPorts) continue;
        std::wstring* t = call.text;
        if (name == L"InstallDriver") {
            t[0] = q5fuzz::kScratchDevice;
            t[1] = scratch.modemInf;
        } else if (name == L"RemoveDriver") {
            t[0] = L"ROOT\\Q5FUZZ\\9999";
        } else if (name == L"KillProcessByName" || name == L"SyncExec") {
            t[0] = std::wstring(q5fuzz::kMissing) + L".exe";
        } else if (name == L"CmdLine") {
            t[0] = std::wstring(q5fuzz::kMissing) + L".exe";
        } else if (name == L"PatchUninstall") {
            t[0] = std::wstring(q5fuzz::kScratchKey) + L"\\Uninst";
            t[1] = L"q5fuzz-uninstall.exe";
        } else if (name == L"BackupDriver") {
            t[0] = q5fuzz::kInstalledInf;
            t[1] = L"\\prime";
            t[2] = scratch.copyBase + L"\\prime.inf";
            t[3] = scratch.backupBase;
        } else if (name == L"CleanNotInstalled") {
            t[0] = q5fuzz::kScratchClassName;
        } else if (name == L"DeleteRegKey") {
            t[0] = L"HKCU";
            t[1] = std::wstring(q5fuzz::kScratchKey) + L"\\del0";
        } else if (name.find(L"ComPort") != std::wstring::npos) {
            call.number[0] = 3;
        } else {
            t[0] = q5fuzz::kScratchDevice;
            call.number[1] = 1;
        }
        calls.push_back(call);
    }
    // The largest arguments of the run, once: the receive buffers and heap
    // of the server grow to them here, before the warm picture, and a
    // growth after it is the calls' own.
    Call big;
    big.method = q5dmctl::FindMethod(L"DeleteRegKey");
    big.text[0] = L"HKXX";
    big.text[1] = std::wstring(100000, L'F');
    calls.push_back(big);
    big.method = q5dmctl::FindMethod(L"KillProcessByName");
    big.text[0] = std::wstring(100000, L'F');
    calls.push_back(big);
    return calls;
}

class Runner {
public:
    Runner(const Options& options, const q5fuzz::Scratch& scratch)
        : m_options(options),
          m_scratch(scratch),
          m_generator(options.seed, scratch, q5fuzz::RealThingGuards()),
          m_watchdog(options.limitMs)
    {
        if (options.harmless) return;
        // The revealing calls go to seeded places of the run.
        std::vector<Call> revealing = m_generator.Revealing();
        std::mt19937 places(options.seed ^ 0x5eed);
        // Early enough that the random calls of even a short run reach them.
        unsigned span = static_cast<unsigned>(std::max(1, options.calls / 2));
        for (const Call& call : revealing) m_planned.insert({static_cast<int>(places() % span), call});
    }

    int Run()
    {
        int done = 0;
        int failuresInRow = 0;
        while (done < m_options.calls) {
            int count = std::min(m_options.perServer, m_options.calls - done);
            int made = Batch(count);
            if (made < 0) {
                if (++failuresInRow >= 3) {
                    printf("q5fuzz: three activations in a row failed; the run stops\n");
                    break;
                }
                continue;
            }
            failuresInRow = 0;
            done += made;
        }
        return Report(done);
    }

private:
    Call NextCall(int index)
    {
        if (m_options.harmless) return m_generator.Harmless();
        auto planned = m_planned.begin();
        if (planned != m_planned.end() && planned->first <= index) {
            Call call = planned->second;
            m_planned.erase(planned);
            return call;
        }
        return m_generator.Next();
    }

    // One server: re-seed, start, activate, calls, release, checks. Returns
    // the calls made, or -1 when the server could not be activated.
    int Batch(int count)
    {
        std::string why;
        if (!q5fuzz::Reseed(why)) printf("q5fuzz: %s\n", why.c_str());
        const wchar_t* exe = sizeof(void*) == 8 ? L"q5dmsrv64.exe" : L"q5dmsrv32.exe";
        // Under Wine an activation can fail while a previous server still shuts down.
        q5fuzz::WaitForNoProcess(exe, 30000);
        int serverIndex = m_totals.servers + m_totals.activationFailures;
        wchar_t name[32];
        _snwprintf(name, 32, L"\\server-%04d.txt", serverIndex);
        std::wstring traceFile = m_options.logs + name;
        q5fuzz::Server server;
        if (!server.Start(traceFile, why)) {
            printf("q5fuzz: server %d: %s\n", serverIndex, why.c_str());
            ++m_totals.activationFailures;
            return -1;
        }
        IQ5DMService* service = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_Q5DMService, nullptr, CLSCTX_LOCAL_SERVER, IID_IQ5DMService,
                                      reinterpret_cast<void**>(&service));
        if (FAILED(hr)) {
            printf("q5fuzz: server %d: activation failed: %s\n", serverIndex, HresultText(hr).c_str());
            ++m_totals.activationFailures;
            server.Kill();
            return -1;
        }
        ++m_totals.servers;

        std::vector<Call> calls = m_options.harmless ? std::vector<Call>() : PrimingCalls(m_scratch);
        int warmAt = static_cast<int>(calls.size()) + kWarmRandomCalls;
        std::vector<std::wstring> entries;
        q5fuzz::ProcessUse warm;
        SIZE_T privateBefore = 0;
        SIZE_T largestRise = 0;
        bool dead = false;
        int made = 0;
        for (int k = 0; made < count; ++k) {
            Call call = k < static_cast<int>(calls.size()) ? calls[k] : NextCall(m_randomIndex++);
            ++m_index;
            entries.push_back(q5fuzz::EntryLine(call));
            ++made;
            if (!Invoke(service, server, call, serverIndex)) {
                dead = true;
                break;
            }
            if (made == warmAt) {
                warm = server.Use();
                privateBefore = warm.privateBytes;
            } else if (made > warmAt) {
                // Which call a step of the private memory came with.
                SIZE_T now = server.PrivateBytes();
                if (now > privateBefore) largestRise = std::max(largestRise, now - privateBefore);
                if (now > privateBefore + kStepBytes) {
                    m_totals.steps.push_back({"server " + std::to_string(serverIndex) + ": +" +
                                              std::to_string((now - privateBefore) / 1024) + " KiB after " + Describe(call)});
                }
                if (now != 0) privateBefore = now;
            }
        }
        q5fuzz::ProcessUse last = dead ? q5fuzz::ProcessUse() : server.Use();
        service->Release();

        bool ended = !dead && server.WaitForEnd(kServerEndMs);
        if (!dead && !ended) {
            ++m_totals.notEnded;
            m_totals.hangs.push_back({"server " + std::to_string(serverIndex) + " did not end after the last release"});
        }
        if (!ended) server.Kill();
        bool byItself = ended && server.ExitCode() == 0;
        CheckTrace(traceFile, entries, byItself, serverIndex, dead);
        if (warm.valid && last.valid) {
            m_totals.growth.push_back({serverIndex, static_cast<long>(last.handles) - static_cast<long>(warm.handles),
                                       static_cast<long>(last.threads) - static_cast<long>(warm.threads),
                                       (static_cast<long long>(last.privateBytes) - static_cast<long long>(warm.privateBytes)) / 1024,
                                       static_cast<long long>(largestRise / 1024), warm});
        }
        return made;
    }

    // False when the server is gone (hang or transport failure).
    bool Invoke(IQ5DMService* service, q5fuzz::Server& server, const Call& call, int serverIndex)
    {
        q5dmctl::Argument args[q5dmctl::kMaxParams];
        call.Bind(args);
        LARGE_INTEGER start, end;
        m_watchdog.Arm(server.Process());
        QueryPerformanceCounter(&start);
        HRESULT hr = call.method->invoke(service, args);
        QueryPerformanceCounter(&end);
        bool hung = m_watchdog.Disarm();
        double ms = Milliseconds(start, end);
        MethodStats& stats = m_totals.methods[call.method->name];
        ++stats.calls;
        stats.totalMs += ms;
        stats.maxMs = std::max(stats.maxMs, ms);
        ++stats.results[hr];
        std::string where = "server " + std::to_string(serverIndex) + ", call " + std::to_string(m_index) + ": ";
        if (hung) {
            m_totals.hangs.push_back({where + Describe(call) + " did not return within " + std::to_string(m_options.limitMs) + " ms"});
            return false;
        }
        if (q5dmctl::IsTransportFailure(hr)) {
            m_totals.transport.push_back({where + Describe(call) + " -> " + HresultText(hr)});
            return false;
        }
        if (!IsAllowedResult(call.method->name, hr)) {
            m_totals.unexpected.push_back({where + Describe(call) + " -> " + HresultText(hr)});
            // What the server is worth after that is unknown: the next call
            // starts with a fresh one.
            return false;
        }
        return true;
    }

    void CheckTrace(const std::wstring& traceFile, const std::vector<std::wstring>& entries, bool byItself, int serverIndex,
                    bool dead)
    {
        ++m_totals.traceChecked;
        q5fuzz::TraceCheck check = q5fuzz::CheckTrace(q5test::ReadWholeFile(traceFile), entries, byItself);
        std::string server = "server " + std::to_string(serverIndex) + (dead ? " (ended from outside)" : "") + ": ";
        for (const q5fuzz::TraceFault& fault : check.faults) {
            std::string what = fault.what == "cut" ? "entry line cut short: " : "entry line missing: ";
            m_totals.traceFaults.push_back({server + what + q5fuzz::Shown(entries[fault.call], 70)});
        }
        if (check.closingMissing) m_totals.traceFaults.push_back({server + "closing lines missing after a normal end"});
    }

    static void PrintFindings(const char* title, const std::vector<Finding>& findings)
    {
        printf("%s: %zu\n", title, findings.size());
        for (size_t i = 0; i < findings.size() && i < kShownFindings; ++i) printf("  %s\n", findings[i].what.c_str());
        if (findings.size() > kShownFindings) printf("  ... %zu more\n", findings.size() - kShownFindings);
    }

    int Report(int done)
    {
        printf("q5fuzz%d: seed %u, %d calls, up to %d per server, call limit %lu ms%s\n", static_cast<int>(sizeof(void*) * 8),
               m_options.seed, done, m_options.perServer, static_cast<unsigned long>(m_options.limitMs),
               m_options.harmless ? ", harmless calls only" : "");
        printf("COM port calls: %s\n", m_scratch.comPorts ? "made (the prefix has the msports stand-in)"
                                                          : "skipped (no msports stand-in: Wine's own ends the server)");
        printf("%-22s %6s %9s %9s  results\n", "method", "calls", "mean ms", "max ms");
        for (const auto& entry : m_totals.methods) {
            const MethodStats& s = entry.second;
            std::string results;
            for (const auto& r : s.results) results += (results.empty() ? "" : ", ") + HresultText(r.first) + " " + std::to_string(r.second);
            printf("%-22s %6d %9.2f %9.2f  %s\n", Narrow(entry.first).c_str(), s.calls, s.totalMs / s.calls, s.maxMs, results.c_str());
        }
        printf("servers: %d activated, %d activations failed, %d did not end by themselves\n", m_totals.servers,
               m_totals.activationFailures, m_totals.notEnded);
        printf("guards replaced %d hostile values that named real devices, classes or programs\n", m_generator.Replaced());
        PrintFindings("transport errors", m_totals.transport);
        PrintFindings("results no method gives", m_totals.unexpected);
        PrintFindings("hangs", m_totals.hangs);
        PrintFindings("trace faults", m_totals.traceFaults);

        long maxHandles = 0;
        long long maxPrivate = 0;
        std::vector<Finding> growth;
        long maxThreads = 0;
        for (const Growth& g : m_totals.growth) {
            maxHandles = std::max(maxHandles, g.handles);
            maxThreads = std::max(maxThreads, g.threads);
            maxPrivate = std::max(maxPrivate, g.privateKiB);
            if (g.handles > kHandleGrowthLimit || g.threads > kThreadGrowthLimit ||
                g.privateKiB - g.largestRiseKiB > kPrivateGrowthLimitKiB) {
                growth.push_back({"server " + std::to_string(g.server) + ": handles " + std::to_string(g.handles) +
                                  ", threads " + std::to_string(g.threads) + ", private memory " +
                                  std::to_string(g.privateKiB) + " KiB (" + std::to_string(g.largestRiseKiB) +
                                  " KiB of it in one call)"});
            }
        }
        printf("growth after warm-up (%zu servers measured): handles at most %+ld, threads at most %+ld, private memory "
               "at most %+lld KiB (limits +%ld handles, +%ld threads, +%lld KiB per server beside its largest rise in one call)\n",
               m_totals.growth.size(), maxHandles, maxThreads, maxPrivate, kHandleGrowthLimit, kThreadGrowthLimit,
               kPrivateGrowthLimitKiB);
        if (!m_totals.growth.empty()) {
            const q5fuzz::ProcessUse& first = m_totals.growth.front().warm;
            printf("  (server %d after warm-up: %lu handles, %lu threads, %llu KiB private, %llu KiB working set)\n",
                   m_totals.growth.front().server, static_cast<unsigned long>(first.handles),
                   static_cast<unsigned long>(first.threads),
                   static_cast<unsigned long long>(first.privateBytes / 1024),
                   static_cast<unsigned long long>(first.workingSetBytes / 1024));
        }
        PrintFindings("growth over the limits", growth);
        if (!m_totals.steps.empty()) PrintFindings("calls after which private memory rose by more than 256 KiB", m_totals.steps);

        size_t findings = m_totals.transport.size() + m_totals.unexpected.size() + m_totals.hangs.size() + m_totals.traceFaults.size() + growth.size() +
                          static_cast<size_t>(m_totals.activationFailures);
        bool incomplete = done < m_options.calls;
        printf("q5fuzz: %s\n", findings == 0 && !incomplete ? "nothing found" : "FOUND FAULTS");
        return findings == 0 && !incomplete ? 0 : 1;
    }

    const Options& m_options;
    q5fuzz::Scratch m_scratch;
    q5fuzz::Generator m_generator;
    q5fuzz::Watchdog m_watchdog;
    std::multimap<int, Call> m_planned;
    int m_randomIndex = 0;
    Totals m_totals;
    int m_index = 0;
};

}  // namespace

int main()
{
    Options options;
    if (!ParseOptions(options)) {
        fprintf(stderr,
                "usage: q5fuzz --setup --scratch DIR\n"
                "       q5fuzz --scratch DIR --logs DIR [--seed N] [--calls N] [--per-server N] [--limit-ms N] [--harmless]\n");
        return 2;
    }
    q5fuzz::Scratch scratch = q5fuzz::ScratchAt(options.scratch);
    std::string why;
    if (options.setup) {
        if (!q5fuzz::SetUpPlaces(scratch, why)) {
            fprintf(stderr, "q5fuzz: %s\n", why.c_str());
            return 2;
        }
        printf("q5fuzz: scratch places ready below %s\n", Narrow(options.scratch).c_str());
        return 0;
    }
    scratch.comPorts = q5fuzz::ComPortStandInInstalled();
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        fprintf(stderr, "q5fuzz: COM initialisation failed\n");
        return 2;
    }
    int code;
    {
        Runner runner(options, scratch);
        code = runner.Run();
    }
    CoUninitialize();
    fflush(stdout);
    return code;
}
