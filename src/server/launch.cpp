// CmdLine and SyncExec: start a program with the server's rights. Neither
// reports how the program itself fared, only whether it could be started.
#include "service.h"

#include <shellapi.h>
#include <wchar.h>

#include "handles.h"
#include "heap.h"
#include "ondemand.h"
#include "trace.h"

namespace {

// CreateProcessW may write into its command line, and the caller's string
// is not ours to change. A command line is no path: any length is copied.
class CommandLineCopy {
public:
    explicit CommandLineCopy(const wchar_t* text)
    {
        size_t length = wcslen(text);
        m_pText = static_cast<wchar_t*>(q5::HeapAllocate((length + 1) * sizeof(wchar_t)));
        if (m_pText != nullptr) wmemcpy(m_pText, text, length + 1);
    }
    ~CommandLineCopy() { q5::HeapFree(m_pText); }
    CommandLineCopy(const CommandLineCopy&) = delete;
    CommandLineCopy& operator=(const CommandLineCopy&) = delete;

    wchar_t* Get() const { return m_pText; }

private:
    wchar_t* m_pText = nullptr;
};

// Runs the command line and waits for its end; false when it could not start.
bool RunAndWait(wchar_t* commandLine, const wchar_t* currentDirectory)
{
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, currentDirectory, &startupInfo,
                        &processInfo))
        return false;
    q5::UniqueHandle process(processInfo.hProcess);
    q5::UniqueHandle thread(processInfo.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    return true;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory)
{
    LogTrace(L">> CmdLine (%s, %s, %s)\n", file, parameters, directory);
    // Nothing the shell can start has a name of MAX_PATH characters or more,
    // and a shell that copies such a name into a path buffer of its own may
    // overrun it and never return.
    if (wcsnlen(file, MAX_PATH) >= MAX_PATH || !q5::LoadSystemLibrary(q5::SystemLibrary::Shell32)) {
        LogTrace(L"<< CmdLine\n");
        return E_FAIL;
    }
    HINSTANCE instance = ShellExecuteW(nullptr, L"open", file, parameters, directory, SW_HIDE);
    // The shell's result is an error number up to 32 dressed as an instance.
    auto value = static_cast<INT32>(reinterpret_cast<INT_PTR>(instance));
    LogTrace(L"<< CmdLine\n");
    return value > 32 ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::SyncExec(const wchar_t* commandLine, const wchar_t* currentDirectory)
{
    LogTrace(L">> SyncExec(%s, %s)\n", commandLine, currentDirectory);
    CommandLineCopy writable(commandLine);
    if (writable.Get() == nullptr || !RunAndWait(writable.Get(), currentDirectory)) {
        LogTrace(L"<< SyncExec() failed\n");
        return E_FAIL;
    }
    LogTrace(L"<< SyncExec() success\n");
    return S_OK;
}
