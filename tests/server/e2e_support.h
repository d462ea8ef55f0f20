// Real processes for the cross-process tests: the server started by hand
// with its standard output in a file (COM connects to it on the first
// activation), other programs run to their end, and registration of both
// servers and both proxy/stub libraries in the test's prefix. A test
// program of either bitness reaches a server of either bitness.
#pragma once

#include <windows.h>

#include <string>

#include "bitness.h"
#include "process_probe.h"
#include "q5dm.h"

namespace q5e2e {

using q5test::kOwnBits;
using q5test::RegistryView;
using q5test::SystemFolder;

// "q5dmsrv32.exe" or "q5dmsrv64.exe".
const wchar_t* ServerExe(int bits);

// Activates the class through COM, asking for a server of that bitness.
HRESULT ActivateService(int serverBits, IQ5DMService** service);

// A file in out/bin, as this program sees it.
std::wstring OutBin(const wchar_t* file);
bool FileExists(const std::wstring& path);

// Runs a command line to its end (killed after timeoutMs) with its standard
// output and error in a file. Returns the exit code, or -1 when it could not
// start or had to be killed; `output` receives what it wrote.
int RunToEnd(const std::wstring& commandLine, DWORD timeoutMs, std::string* output = nullptr);

// Each server's "/RegServer" (it writes its own registry view) and each
// proxy/stub library's "regsvr32 /s" by the regsvr32 of its own bitness.
bool RegisterServerAndProxy(std::string& why);
// One bitness only; `unregister` removes it instead.
bool RegisterBitness(int bits, bool unregister, std::string& why);

// How many processes of that executable name run now.
using q5test::CountProcesses;
using q5test::ReadWholeFile;

// Waits until no server of either bitness runs. Under Wine an activation that comes
// while the previous single-use server is still shutting down can fail
// (seen: E_ACCESSDENIED), so tests start each activation from a quiet prefix.
bool WaitForNoServers(DWORD timeoutMs = 30000);

class ServerProcess {
public:
    // Starts `program` (default: out/bin's server of this test's bitness)
    // with the arguments COM gives a local server and waits until it idles
    // in its message loop, its class object registered. Serves as well for
    // any program run in the background with its output in a file: one
    // without a message loop is not waited for.
    explicit ServerProcess(const std::wstring& program = OutBin(ServerExe(kOwnBits)),
                           const std::wstring& arguments = L"-Embedding");
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Started() const { return m_process != nullptr; }
    DWORD Id() const { return m_id; }
    bool WaitForExit(DWORD timeoutMs);
    bool Running() const;
    DWORD ExitCode() const;
    // What the server wrote to standard output, with "\r\n" read as "\n";
    // complete once the process has ended.
    std::string Trace() const;

private:
    std::wstring m_outputPath;
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

}  // namespace q5e2e
