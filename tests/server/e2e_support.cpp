#include "e2e_support.h"

#include <vector>

#include "test_paths.h"

namespace q5e2e {
namespace {

std::wstring TempFile(const wchar_t* prefix)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, prefix, 0, path);
    return path;
}

HANDLE OpenInheritableOutput(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string WithoutCarriageReturns(std::string text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    }
    return out;
}

// Starts a command line with standard output and error going to `output`.
bool Start(const std::wstring& commandLine, const std::wstring& output, PROCESS_INFORMATION& info)
{
    HANDLE file = OpenInheritableOutput(output);
    if (file == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = file;
    startup.hStdError = file;
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    BOOL ok = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(file);
    if (ok) CloseHandle(info.hThread);
    return ok != FALSE;
}

}  // namespace

std::wstring OutBin(const wchar_t* file) { return std::wstring(Q5_OUT_BIN_W) + L"\\" + file; }

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int RunToEnd(const std::wstring& commandLine, DWORD timeoutMs, std::string* output)
{
    std::wstring outputPath = TempFile(L"run");
    PROCESS_INFORMATION info = {};
    int code = -1;
    if (Start(commandLine, outputPath, info)) {
        if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            GetExitCodeProcess(info.hProcess, &exitCode);
            code = static_cast<int>(exitCode);
        } else {
            TerminateProcess(info.hProcess, 1);
        }
        CloseHandle(info.hProcess);
    }
    if (output != nullptr) *output = WithoutCarriageReturns(ReadWholeFile(outputPath));
    DeleteFileW(outputPath.c_str());
    return code;
}

const wchar_t* ServerExe(int bits) { return bits == 32 ? L"q5dmsrv32.exe" : L"q5dmsrv64.exe"; }

HRESULT ActivateService(int serverBits, IQ5DMService** service)
{
    DWORD context = CLSCTX_LOCAL_SERVER |
                    (serverBits == 32 ? CLSCTX_ACTIVATE_32_BIT_SERVER : CLSCTX_ACTIVATE_64_BIT_SERVER);
    return CoCreateInstance(CLSID_Q5DMService, nullptr, context, IID_IQ5DMService, reinterpret_cast<void**>(service));
}

bool RegisterBitness(int bits, bool unregister, std::string& why)
{
    const std::wstring server = OutBin(ServerExe(bits));
    const std::wstring proxy = OutBin(bits == 32 ? L"dmstub32.dll" : L"dmstub64.dll");
    const std::string name = bits == 32 ? "32-bit" : "64-bit";
    if (!FileExists(server) || !FileExists(proxy)) {
        why = "out/bin lacks the " + name + " server or proxy/stub library (build both bitnesses first)";
        return false;
    }
    if (RunToEnd(L"\"" + server + (unregister ? L"\" /UnRegServer" : L"\" /RegServer"), 60000) != 0) {
        why = "the " + name + " server's registration switch failed";
        return false;
    }
    const std::wstring regsvr32 = SystemFolder(bits) + L"\\regsvr32.exe";
    if (RunToEnd(L"\"" + regsvr32 + (unregister ? L"\" /u /s \"" : L"\" /s \"") + proxy + L"\"", 60000) != 0) {
        why = "regsvr32 of the " + name + " proxy/stub library failed";
        return false;
    }
    return true;
}

// Where 32-bit programs cannot run, the 64-bit pair alone; the tests of the
// 32-bit side skip themselves by name.
bool RegisterServerAndProxy(std::string& why)
{
    return RegisterBitness(64, false, why) && (!q5test::WhyBitsCannotRun(32).empty() || RegisterBitness(32, false, why));
}

bool WaitForNoServers(DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (CountProcesses(ServerExe(32)) == 0 && CountProcesses(ServerExe(64)) == 0) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}

ServerProcess::ServerProcess(const std::wstring& program, const std::wstring& arguments) : m_outputPath(TempFile(L"srv"))
{
    PROCESS_INFORMATION info = {};
    if (!Start(L"\"" + program + L"\" " + arguments, m_outputPath, info)) return;
    m_process = info.hProcess;
    m_id = info.dwProcessId;
    // The server idles first in its message loop, after its class object
    // is registered; until then an activation would start another server.
    WaitForInputIdle(m_process, 30000);
}

ServerProcess::~ServerProcess()
{
    if (m_process != nullptr) {
        if (Running()) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 10000);
        }
        CloseHandle(m_process);
    }
    DeleteFileW(m_outputPath.c_str());
}

bool ServerProcess::WaitForExit(DWORD timeoutMs)
{
    return m_process != nullptr && WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
}

bool ServerProcess::Running() const { return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

DWORD ServerProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (m_process != nullptr) GetExitCodeProcess(m_process, &code);
    return code;
}

std::string ServerProcess::Trace() const { return WithoutCarriageReturns(ReadWholeFile(m_outputPath)); }

}  // namespace q5e2e
