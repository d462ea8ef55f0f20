// Starting, watching and ending the child programs in tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "handles.h"

namespace q5test {

// Full path of a child program, e.g. ChildPath(L"q5child_exit3.exe").
std::wstring ChildPath(const wchar_t* fileName);

// A started child that is terminated, if still running, when the object goes.
class ChildProcess {
public:
    // commandLine: the arguments after the program's quoted path.
    ChildProcess(const wchar_t* fileName, const std::wstring& arguments = L"");
    ~ChildProcess();
    ChildProcess(ChildProcess&&) = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_process.IsValid(); }
    DWORD Id() const { return m_dwId; }
    bool IsRunning() const;
    // Waits up to timeoutMs for the end; the exit code, or STILL_ACTIVE.
    DWORD WaitForExit(DWORD timeoutMs) const;

private:
    q5::UniqueHandle m_process;
    DWORD m_dwId = 0;
};

// Top-level windows of class className that process processId owns.
size_t CountWindows(DWORD processId, const wchar_t* className);
// Polls until the process owns at least count such windows (false on timeout).
bool WaitForWindows(DWORD processId, const wchar_t* className, size_t count, DWORD timeoutMs);
// Ids of the running processes whose executable file name is exeName
// (compared without regard to case), in snapshot order.
std::vector<DWORD> FindProcesses(const wchar_t* exeName);
void TerminateProcesses(const wchar_t* exeName);

// A fresh empty folder under the temporary folder (no trailing backslash).
std::wstring MakeTempFolder(const wchar_t* tag);
std::string ReadFileBytes(const std::wstring& path);

}  // namespace q5test
