#include "children_testing.h"

#include <tlhelp32.h>
#include <wchar.h>

#include "children_paths.h"

namespace q5test {
namespace {

struct WindowCount {
    DWORD processId;
    const wchar_t* className;
    size_t count;
};

BOOL CALLBACK CountWindowProc(HWND hwnd, LPARAM lParam)
{
    auto* counting = reinterpret_cast<WindowCount*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    wchar_t name[64] = L"";
    GetClassNameW(hwnd, name, 64);
    if (owner == counting->processId && wcscmp(name, counting->className) == 0) ++counting->count;
    return TRUE;
}

}  // namespace

std::wstring ChildPath(const wchar_t* fileName) { return std::wstring(Q5_CHILDREN_DIR_W) + L"\\" + fileName; }

ChildProcess::ChildProcess(const wchar_t* fileName, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + ChildPath(fileName) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return;
    CloseHandle(info.hThread);
    m_process.Reset(info.hProcess);
    m_dwId = info.dwProcessId;
}

ChildProcess::~ChildProcess()
{
    if (IsRunning()) {
        TerminateProcess(m_process.Get(), 99);
        WaitForSingleObject(m_process.Get(), 10000);
    }
}

bool ChildProcess::IsRunning() const
{
    return m_process.IsValid() && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT;
}

DWORD ChildProcess::WaitForExit(DWORD timeoutMs) const
{
    DWORD code = STILL_ACTIVE;
    if (m_process.IsValid() && WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(m_process.Get(), &code);
    return code;
}

size_t CountWindows(DWORD processId, const wchar_t* className)
{
    WindowCount counting{processId, className, 0};
    EnumWindows(CountWindowProc, reinterpret_cast<LPARAM>(&counting));
    return counting.count;
}

bool WaitForWindows(DWORD processId, const wchar_t* className, size_t count, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (CountWindows(processId, className) >= count) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}

std::vector<DWORD> FindProcesses(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    q5::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) ids.push_back(entry.th32ProcessID);
        entry.dwSize = sizeof(entry);
    }
    return ids;
}

void TerminateProcesses(const wchar_t* exeName)
{
    for (DWORD id : FindProcesses(exeName)) {
        q5::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!process) continue;
        TerminateProcess(process.Get(), 99);
        WaitForSingleObject(process.Get(), 10000);
    }
}

std::wstring MakeTempFolder(const wchar_t* tag)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static unsigned s_uCounter = 0;
    wchar_t folder[MAX_PATH];
    _snwprintf(folder, MAX_PATH - 1, L"%sq5%s-%lu-%u", base, tag, GetCurrentProcessId(), ++s_uCounter);
    folder[MAX_PATH - 1] = L'\0';
    CreateDirectoryW(folder, nullptr);
    return folder;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    q5::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

}  // namespace q5test
