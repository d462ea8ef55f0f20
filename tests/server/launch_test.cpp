#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "children_testing.h"
#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

constexpr DWORD kStartLimitMs = 60000;

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring AsWide(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 100) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}

class Launching : public q5test::ServiceObjectTest {
protected:
    void SetUp() override
    {
        m_folder = q5test::MakeTempFolder(L"launch");
        ServiceObjectTest::SetUp();
    }

    std::wstring Marker() const { return m_folder + L"\\q5child_exit3.ran"; }

    std::wstring m_folder;
};

TEST_F(Launching, SyncExecWaitsForTheProgramInItsFolderAndIgnoresItsExitCode)
{
    const std::wstring commandLine = Quoted(q5test::ChildPath(L"q5child_exit3.exe")) + L" first second";
    TraceCapture capture;
    EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), S_OK);
    EXPECT_EQ(capture.Text(), L">> SyncExec(" + commandLine + L", " + m_folder + L")\n<< SyncExec() success\n");
    // Written by the program before it ended with code 3.
    EXPECT_EQ(AsWide(q5test::ReadFileBytes(Marker())), commandLine);
}

TEST_F(Launching, SyncExecTakesACommandLineOfAnyLength)
{
    const std::wstring commandLine = Quoted(q5test::ChildPath(L"q5child_exit3.exe")) + L" " + std::wstring(5000, L'x');
    EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), S_OK);
    EXPECT_EQ(AsWide(q5test::ReadFileBytes(Marker())), commandLine);
}

struct CreateCall {
    int count = 0;
    const wchar_t* applicationName = L"unset";
    wchar_t* commandLine = nullptr;
    std::wstring commandText;
    BOOL inherit = TRUE;
    DWORD flags = ~0u;
    void* environment = reinterpret_cast<void*>(1);
    const wchar_t* directory = nullptr;
    STARTUPINFOW startup = {};
};
CreateCall g_create;
decltype(&CreateProcessW) g_pCreateProcess;

BOOL WINAPI RecordCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    ++g_create.count;
    g_create.applicationName = application;
    g_create.commandLine = commandLine;
    g_create.commandText = commandLine;
    g_create.inherit = inherit;
    g_create.flags = flags;
    g_create.environment = environment;
    g_create.directory = directory;
    g_create.startup = *startup;
    EXPECT_EQ(processAttributes, nullptr);
    EXPECT_EQ(threadAttributes, nullptr);
    return g_pCreateProcess(application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
                            directory, startup, info);
}

TEST_F(Launching, SyncExecHandsTheSystemAWritableCopyOfTheCommandLine)
{
    const std::wstring commandLine = Quoted(q5test::ChildPath(L"q5child_exit3.exe"));
    g_create = CreateCall();
    {
        ScopedImportHook hook("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&RecordCreateProcess));
        g_pCreateProcess = hook.Original<decltype(&CreateProcessW)>();
        EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), S_OK);
    }
    ASSERT_EQ(g_create.count, 1);
    EXPECT_EQ(g_create.applicationName, nullptr);
    EXPECT_NE(g_create.commandLine, commandLine.c_str());
    EXPECT_EQ(g_create.commandText, commandLine);
    EXPECT_FALSE(g_create.inherit);
    EXPECT_EQ(g_create.flags, 0u);
    EXPECT_EQ(g_create.environment, nullptr);
    EXPECT_EQ(g_create.directory, m_folder.c_str());
    STARTUPINFOW expected = {};
    expected.cb = sizeof(expected);
    EXPECT_EQ(memcmp(&g_create.startup, &expected, sizeof(expected)), 0);
}

TEST_F(Launching, SyncExecOfAMissingProgramFails)
{
    const std::wstring commandLine = L"\"" + m_folder + L"\\nothing-here.exe\" /x";
    TraceCapture capture;
    EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), E_FAIL);
    EXPECT_EQ(capture.Text(), L">> SyncExec(" + commandLine + L", " + m_folder + L")\n<< SyncExec() failed\n");
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

TEST_F(Launching, SyncExecWithoutMemoryForTheCopyStartsNothing)
{
    const std::wstring commandLine = Quoted(q5test::ChildPath(L"q5child_exit3.exe"));
    TraceCapture capture;
    {
        ScopedImportHook hook("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&FailingHeapAlloc));
        EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), E_FAIL);
    }
    EXPECT_EQ(capture.Text(), L">> SyncExec(" + commandLine + L", " + m_folder + L")\n<< SyncExec() failed\n");
    EXPECT_EQ(GetFileAttributesW(Marker().c_str()), INVALID_FILE_ATTRIBUTES);
}

// Ends the first q5child_forever.exe it finds, some time after it appeared.
LONG g_lEndedFromOutside = 0;
DWORD WINAPI EndForeverLater(void*)
{
    for (DWORD waited = 0; waited < kStartLimitMs; waited += 100) {
        std::vector<DWORD> found = q5test::FindProcesses(L"q5child_forever.exe");
        if (!found.empty()) {
            Sleep(1500);
            q5::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, found.front()));
            InterlockedExchange(&g_lEndedFromOutside, 1);
            TerminateProcess(process.Get(), 5);
            return 0;
        }
        Sleep(100);
    }
    return 1;
}

TEST_F(Launching, SyncExecOfAProgramThatNeverEndsReturnsOnlyOnceItIsEnded)
{
    g_lEndedFromOutside = 0;
    q5::UniqueHandle killer(CreateThread(nullptr, 0, EndForeverLater, nullptr, 0, nullptr));
    ASSERT_TRUE(killer);
    const std::wstring commandLine = Quoted(q5test::ChildPath(L"q5child_forever.exe"));
    EXPECT_EQ(m_pService->SyncExec(commandLine.c_str(), m_folder.c_str()), S_OK);
    EXPECT_EQ(InterlockedCompareExchange(&g_lEndedFromOutside, 0, 0), 1);
    WaitForSingleObject(killer.Get(), INFINITE);
    EXPECT_TRUE(q5test::FindProcesses(L"q5child_forever.exe").empty());
}

TEST_F(Launching, CmdLineOpensADocumentWithItsProgram)
{
    const std::wstring document = m_folder + L"\\note.txt";
    {
        q5::UniqueFileHandle file(CreateFileW(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
    }
    TraceCapture capture;
    EXPECT_EQ(m_pService->CmdLine(document.c_str(), L"", m_folder.c_str()), S_OK);
    EXPECT_EQ(capture.Text(), L">> CmdLine (" + document + L", , " + m_folder + L")\n<< CmdLine\n");
    bool started = false;
    for (DWORD waited = 0; !started && waited < kStartLimitMs; waited += 100) {
        started = !q5test::FindProcesses(L"notepad.exe").empty();
        if (!started) Sleep(100);
    }
    EXPECT_TRUE(started);
    q5test::TerminateProcesses(L"notepad.exe");
}

struct ShellCall {
    HWND owner = reinterpret_cast<HWND>(1);
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;
    INT show = -1;
};
ShellCall g_shell;
decltype(&ShellExecuteW) g_pShellExecute;

HINSTANCE WINAPI RecordShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, INT show)
{
    g_shell = ShellCall{owner, verb != nullptr ? verb : L"(null)", file, parameters, directory, show};
    return g_pShellExecute(owner, verb, file, parameters, directory, show);
}

TEST_F(Launching, CmdLineStartsAProgramHiddenInItsFolder)
{
    const std::wstring program = q5test::ChildPath(L"q5child_exit3.exe");
    {
        ScopedImportHook hook("shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(&RecordShellExecute));
        g_pShellExecute = hook.Original<decltype(&ShellExecuteW)>();
        EXPECT_EQ(m_pService->CmdLine(program.c_str(), L"one two", m_folder.c_str()), S_OK);
    }
    EXPECT_EQ(g_shell.owner, nullptr);
    EXPECT_EQ(g_shell.verb, L"open");
    EXPECT_EQ(g_shell.file, program);
    EXPECT_EQ(g_shell.parameters, L"one two");
    EXPECT_EQ(g_shell.directory, m_folder);
    EXPECT_EQ(g_shell.show, SW_HIDE);
    EXPECT_TRUE(WaitForFile(Marker(), kStartLimitMs));
}

TEST_F(Launching, CmdLineOfAMissingFileFails)
{
    const std::wstring missing = m_folder + L"\\missing.txt";
    TraceCapture capture;
    EXPECT_EQ(m_pService->CmdLine(missing.c_str(), L"", m_folder.c_str()), E_FAIL);
    EXPECT_EQ(capture.Text(), L">> CmdLine (" + missing + L", , " + m_folder + L")\n<< CmdLine\n");
}

// The shell's error numbers go up to 32; anything above is success.
HINSTANCE WINAPI ShellResult32(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) { return reinterpret_cast<HINSTANCE>(32); }
HINSTANCE WINAPI ShellResult33(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) { return reinterpret_cast<HINSTANCE>(33); }

TEST_F(Launching, CmdLineCountsOnlyShellResultsAbove32AsSuccess)
{
    {
        ScopedImportHook hook("shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(&ShellResult32));
        EXPECT_EQ(m_pService->CmdLine(L"x.txt", L"", L""), E_FAIL);
    }
    {
        ScopedImportHook hook("shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(&ShellResult33));
        EXPECT_EQ(m_pService->CmdLine(L"x.txt", L"", L""), S_OK);
    }
}

int g_shellCalls = 0;
HINSTANCE WINAPI CountedShellResult42(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)
{
    ++g_shellCalls;
    return reinterpret_cast<HINSTANCE>(42);
}

TEST_F(Launching, CmdLineRefusesAFileOfMaxPathCharactersBeforeTheShell)
{
    struct Case {
        size_t chars;
        HRESULT result;
        int shellCalls;
    };
    for (const Case& c : {Case{MAX_PATH - 1, S_OK, 1}, Case{MAX_PATH, E_FAIL, 0}, Case{100000, E_FAIL, 0}}) {
        const std::wstring file = L"C:\\" + std::wstring(c.chars - 3, L'f');
        ASSERT_EQ(file.size(), c.chars);
        g_shellCalls = 0;
        TraceCapture capture;
        {
            ScopedImportHook hook("shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(&CountedShellResult42));
            EXPECT_EQ(m_pService->CmdLine(file.c_str(), L"p", L"d"), c.result) << c.chars;
        }
        EXPECT_EQ(g_shellCalls, c.shellCalls) << c.chars;
        // The entry line is cut like every trace text longer than 1023 characters.
        EXPECT_EQ(capture.Text(), (L">> CmdLine (" + file + L", p, d)\n").substr(0, 1023) + L"<< CmdLine\n") << c.chars;
    }
}

}  // namespace
