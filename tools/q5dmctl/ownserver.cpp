#include "ownserver.h"

#include <psapi.h>
#include <strsafe.h>

namespace q5dmctl {
namespace {

const wchar_t kLocalServerKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}\\LocalServer32";
constexpr DWORD kServeWaitMs = 30000;

// The program path of the registration, without the quotes that a path
// with a space carries.
bool RegisteredProgram(wchar_t (&path)[MAX_PATH + 2], std::string& error)
{
    DWORD bytes = sizeof(path);
    LONG status = RegGetValueW(HKEY_CLASSES_ROOT, kLocalServerKey, nullptr, RRF_RT_REG_SZ, nullptr, path, &bytes);
    if (status != ERROR_SUCCESS) {
        error = status == ERROR_MORE_DATA ? "the registered server path is too long" : "the DM COM Server is not registered";
        return false;
    }
    size_t length = wcslen(path);
    if (length >= 2 && path[0] == L'"' && path[length - 1] == L'"') {
        path[length - 1] = L'\0';
        memmove(path, path + 1, length * sizeof(wchar_t));
    }
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

bool OwnServer::Start(const wchar_t* traceFile, std::string& error)
{
    wchar_t program[MAX_PATH + 2];
    if (!RegisteredProgram(program, error)) return false;
    wchar_t commandLine[MAX_PATH + 32];
    if (FAILED(StringCchPrintfW(commandLine, MAX_PATH + 32, L"\"%s\" -Embedding", program))) {
        error = "the registered server path is too long";
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
        error = "cannot start the registered server program";
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

bool OwnServer::MemoryUse(SIZE_T& workingSetKiB, SIZE_T& peakKiB) const
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (m_process == nullptr || !GetProcessMemoryInfo(m_process, &counters, sizeof(counters))) return false;
    workingSetKiB = counters.WorkingSetSize / 1024;
    peakKiB = counters.PeakWorkingSetSize / 1024;
    return true;
}

void OwnServer::Terminate()
{
    if (m_process != nullptr) TerminateProcess(m_process, 1);
}

}  // namespace q5dmctl
