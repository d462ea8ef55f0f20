#include "ownserver.h"

#include <psapi.h>
#include <strsafe.h>

namespace q5dmctl {
namespace {

const wchar_t kLocalServerKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}\\LocalServer32";
constexpr DWORD kServeWaitMs = 30000;

class RegKey {
public:
    ~RegKey()
    {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    HKEY* Put() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

REGSAM ViewOf(ServerBitness bitness)
{
    switch (bitness) {
    case ServerBitness::Bits32:
        return KEY_WOW64_32KEY;
    case ServerBitness::Bits64:
        return KEY_WOW64_64KEY;
    case ServerBitness::Default:
        break;
    }
    return 0;
}

// The command line that the registration gives COM: a program path, quoted
// when it holds a space, and any arguments after it. `program` receives the
// path without quotes, `arguments` the rest.
bool RegisteredServer(ServerBitness bitness, wchar_t (&program)[MAX_PATH], std::wstring& arguments, std::string& error)
{
    RegKey key;
    wchar_t value[MAX_PATH + 64];
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, kLocalServerKey, 0, KEY_QUERY_VALUE | ViewOf(bitness), key.Put());
    if (status == ERROR_SUCCESS) status = RegGetValueW(key.Get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
    if (status != ERROR_SUCCESS) {
        error = status == ERROR_MORE_DATA ? "the registered server path is too long" : "the DM COM Server is not registered";
        return false;
    }
    const wchar_t* path = value;
    const wchar_t* rest = value + wcslen(value);
    if (value[0] == L'"') {
        path = value + 1;
        const wchar_t* close = wcschr(path, L'"');
        if (close == nullptr) {
            error = "the registered server path has no closing quote";
            return false;
        }
        value[close - value] = L'\0';
        rest = close + 1;
    }
    if (FAILED(StringCchCopyW(program, MAX_PATH, path))) {
        error = "the registered server path is too long";
        return false;
    }
    arguments = rest;
    return true;
}

class InheritableFile {
public:
    explicit InheritableFile(const wchar_t* path)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        m_file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~InheritableFile()
    {
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    }
    HANDLE Get() const { return m_file; }

private:
    HANDLE m_file;
};

}  // namespace

OwnServer::~OwnServer()
{
    if (m_process != nullptr) CloseHandle(m_process);
}

bool OwnServer::Start(const wchar_t* traceFile, ServerBitness bitness, std::string& error)
{
    wchar_t program[MAX_PATH];
    std::wstring arguments;
    return RegisteredServer(bitness, program, arguments, error) && StartProgram(program, arguments, traceFile, error);
}

bool OwnServer::StartProgram(const wchar_t* program, const std::wstring& arguments, const wchar_t* traceFile,
                             std::string& error)
{
    wchar_t commandLine[2 * MAX_PATH];
    if (FAILED(StringCchPrintfW(commandLine, 2 * MAX_PATH, L"\"%s\"%s -Embedding", program, arguments.c_str()))) {
        error = "the server command line is too long";
        return false;
    }
    InheritableFile trace(traceFile);
    if (trace.Get() == INVALID_HANDLE_VALUE) {
        error = "cannot create the trace file";
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = trace.Get();
    startup.hStdError = trace.Get();
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        error = "cannot start the server program";
        return false;
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    // It first idles in its message loop, after registering its class
    // object; an activation before that would start a server of its own.
    if (WaitForInputIdle(m_process, kServeWaitMs) != 0) {
        Terminate();
        error = "the server did not come up";
        return false;
    }
    return true;
}

bool OwnServer::WaitForEnd(DWORD timeoutMs, DWORD& exitCode)
{
    if (m_process == nullptr || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(m_process, &exitCode) != FALSE;
}

}  // namespace q5dmctl

namespace q5dmctl {

bool OwnServer::MemoryUse(Memory& memory) const
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (m_process == nullptr || !GetProcessMemoryInfo(m_process, &counters, sizeof(counters))) return false;
    memory.workingSetKiB = counters.WorkingSetSize / 1024;
    memory.peakKiB = counters.PeakWorkingSetSize / 1024;
    // The commit charge, which Windows also reports as PrivateUsage; Wine
    // fills only this one for another process.
    memory.privateKiB = counters.PagefileUsage / 1024;
    return true;
}

void OwnServer::Terminate()
{
    if (m_process != nullptr) TerminateProcess(m_process, 1);
}

}  // namespace q5dmctl
