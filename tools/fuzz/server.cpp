#include "server.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "process_probe.h"

namespace q5fuzz {
namespace {

const wchar_t kLocalServerKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}\\LocalServer32";
constexpr DWORD kServeWaitMs = 30000;

class File {
public:
    explicit File(HANDLE handle) : m_handle(handle) {}
    ~File()
    {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

}  // namespace

Server::~Server()
{
    if (m_process != nullptr) {
        if (Running()) Kill();
        CloseHandle(m_process);
    }
}

bool Server::Start(const std::wstring& traceFile, std::string& why)
{
    wchar_t program[MAX_PATH + 2];
    DWORD bytes = sizeof(program);
    if (RegGetValueW(HKEY_CLASSES_ROOT, kLocalServerKey, nullptr, RRF_RT_REG_SZ, nullptr, program, &bytes) != ERROR_SUCCESS) {
        why = "the DM COM Server is not registered";
        return false;
    }
    std::wstring path = program;
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
    wchar_t systemDir[MAX_PATH];
    if (GetSystemDirectoryW(systemDir, MAX_PATH) == 0) {
        why = "no system folder";
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    File trace(CreateFileW(traceFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (trace.Get() == INVALID_HANDLE_VALUE) {
        why = "cannot create the trace file";
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = trace.Get();
    startup.hStdError = trace.Get();
    std::wstring commandLine = L"\"" + path + L"\" -Embedding";
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, systemDir, &startup, &info)) {
        why = "cannot start the registered server program";
        return false;
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_id = info.dwProcessId;
    // Its class object is registered once it idles in its message loop;
    // an activation before that would start a server of its own.
    if (WaitForInputIdle(m_process, kServeWaitMs) != 0) {
        Kill();
        why = "the server did not come up";
        return false;
    }
    return true;
}

ProcessUse Server::Use() const
{
    ProcessUse use;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (m_process == nullptr || !Running() ||
        !GetProcessMemoryInfo(m_process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return use;
    // Wine leaves PrivateUsage at 0 for another process; the page-file
    // usage is the same commit charge there (and on Windows).
    use.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    use.workingSetBytes = counters.WorkingSetSize;
    use.handles = HandleCountOf(m_id);
    use.threads = ThreadCountOf(m_id);
    use.valid = true;
    return use;
}

SIZE_T Server::PrivateBytes() const
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (m_process == nullptr ||
        !GetProcessMemoryInfo(m_process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

bool Server::WaitForEnd(DWORD timeoutMs) { return m_process != nullptr && WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0; }

void Server::Kill()
{
    if (m_process == nullptr) return;
    TerminateProcess(m_process, 0xDEAD);
    WaitForSingleObject(m_process, 10000);
}

bool Server::Running() const { return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

DWORD Server::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (m_process != nullptr) GetExitCodeProcess(m_process, &code);
    return code;
}

DWORD HandleCountOf(DWORD processId) { return q5test::ProcessHandleCount(processId); }

DWORD ThreadCountOf(DWORD processId)
{
    DWORD count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId) ++count;
        entry.dwSize = sizeof(entry);
    }
    CloseHandle(snapshot);
    return count;
}

bool WaitForNoProcess(const wchar_t* exeName, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (q5test::CountProcesses(exeName) == 0) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}

Watchdog::Watchdog(DWORD limitMs) : m_limitMs(limitMs)
{
    InitializeCriticalSection(&m_lock);
    m_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
}

Watchdog::~Watchdog()
{
    EnterCriticalSection(&m_lock);
    m_stop = true;
    LeaveCriticalSection(&m_lock);
    SetEvent(m_wake);
    if (m_thread != nullptr) {
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    if (m_wake != nullptr) CloseHandle(m_wake);
    DeleteCriticalSection(&m_lock);
}

void Watchdog::Arm(HANDLE process)
{
    EnterCriticalSection(&m_lock);
    m_armedProcess = process;
    m_deadline = GetTickCount64() + m_limitMs;
    m_fired = false;
    LeaveCriticalSection(&m_lock);
    SetEvent(m_wake);
}

bool Watchdog::Disarm()
{
    EnterCriticalSection(&m_lock);
    bool fired = m_fired;
    m_armedProcess = nullptr;
    m_fired = false;
    LeaveCriticalSection(&m_lock);
    return fired;
}

DWORD WINAPI Watchdog::Run(void* self)
{
    auto* dog = static_cast<Watchdog*>(self);
    for (;;) {
        DWORD wait = INFINITE;
        EnterCriticalSection(&dog->m_lock);
        if (dog->m_stop) {
            LeaveCriticalSection(&dog->m_lock);
            return 0;
        }
        if (dog->m_armedProcess != nullptr && !dog->m_fired) {
            ULONGLONG now = GetTickCount64();
            if (now >= dog->m_deadline) {
                // The call's own thread waits in COM; ending the server
                // brings it back with a transport error.
                TerminateProcess(dog->m_armedProcess, 0xDEAD);
                dog->m_fired = true;
            } else {
                wait = static_cast<DWORD>(dog->m_deadline - now);
            }
        }
        LeaveCriticalSection(&dog->m_lock);
        WaitForSingleObject(dog->m_wake, wait);
    }
}

}  // namespace q5fuzz
