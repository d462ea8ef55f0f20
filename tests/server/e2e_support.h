// Real processes for the cross-process tests: the server started by hand
// with its standard output in a file (COM connects to it on the first
// activation), other programs run to their end, and registration of the
// server and the proxy/stub library in the test's prefix.
#pragma once

#include <windows.h>

#include <string>

namespace q5e2e {

// A file in out/bin, as this program sees it.
std::wstring OutBin(const wchar_t* file);
bool FileExists(const std::wstring& path);

// Runs a command line to its end (killed after timeoutMs) with its standard
// output and error in a file. Returns the exit code, or -1 when it could not
// start or had to be killed; `output` receives what it wrote.
int RunToEnd(const std::wstring& commandLine, DWORD timeoutMs, std::string* output = nullptr);

// "/RegServer" of out/bin's q5dmsrv64.exe and "regsvr32 /s" of dmstub64.dll.
bool RegisterServerAndProxy(std::string& why);

// How many processes of that executable name run now.
int CountProcesses(const wchar_t* exeName);

// Waits until no q5dmsrv64.exe runs. Under Wine an activation that comes
// while the previous single-use server is still shutting down can fail
// (seen: E_ACCESSDENIED), so tests start each activation from a quiet prefix.
bool WaitForNoServers(DWORD timeoutMs = 30000);

class ServerProcess {
public:
    // Starts `program` (default: out/bin's q5dmsrv64.exe) with the arguments
    // COM gives a local server and waits until it idles in its message
    // loop, its class object registered.
    explicit ServerProcess(const std::wstring& program = OutBin(L"q5dmsrv64.exe"),
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
