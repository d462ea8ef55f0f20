// Start-up, dispatch and shutdown of the server, driven in-process with
// platform failures injected.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>

#include "import_hook.h"
#include "q5dm.h"
#include "registration.h"
#include "serverapp.h"
#include "test_paths.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

TEST(ParseServerCommand, FindsTheFirstSwitchAsACaseSensitiveSubstring)
{
    struct Case {
        const char* commandLine;
        ServerCommand expected;
    };
    const Case cases[] = {
        {"", ServerCommand::Serve},
        {"-Embedding", ServerCommand::Serve},
        {"/Automation -Embedding", ServerCommand::Serve},
        {"/regserver", ServerCommand::Serve},
        {"-REGSERVER", ServerCommand::Serve},
        {"/unregserver", ServerCommand::Serve},
        {"/RegServer", ServerCommand::Register},
        {"-RegServer", ServerCommand::Register},
        {"x-RegServerx", ServerCommand::Register},
        {"/UnRegServer", ServerCommand::Unregister},
        {"-UnRegServer", ServerCommand::Unregister},
        {"/UnRegServer -RegServer", ServerCommand::Register},
        {"-UnRegServer /RegServer", ServerCommand::Register},
        {"/UnRegServer -UnRegServer", ServerCommand::Unregister},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseServerCommand(c.commandLine), c.expected) << "command line \"" << c.commandLine << "\"";
    }
}

namespace {

const wchar_t kClassKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";

bool ClassKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// What the replaced platform calls saw during one RunServer.
struct Observed {
    int coUninitialize = 0;
    int registerCalls = 0;
    CLSID registeredClass = {};
    bool factoryGiven = false;
    DWORD context = 0;
    DWORD flags = 0;
    DWORD cookie = 0;
    int revokeCalls = 0;
    DWORD revokedCookie = 0;
    int getMessageCalls = 0;
    int messageBoxes = 0;
    HWND boxOwner = reinterpret_cast<HWND>(1);
    std::wstring boxText;
    std::wstring boxCaption;
    UINT boxStyle = 0;
};

Observed g_seen;
HRESULT g_registerResult = S_OK;  // S_OK: the real registration runs
HRESULT g_resumeResult = S_OK;
ScopedImportHook* g_registerHook = nullptr;
ScopedImportHook* g_uninitializeHook = nullptr;
ScopedImportHook* g_revokeHook = nullptr;

HRESULT WINAPI FailingCoInitializeEx(void*, DWORD) { return RPC_E_CHANGED_MODE; }

void WINAPI CountingCoUninitialize()
{
    ++g_seen.coUninitialize;
    g_uninitializeHook->Original<decltype(&CoUninitialize)>()();
}

HRESULT WINAPI RecordingRegisterClassObject(REFCLSID clsid, IUnknown* unknown, DWORD context, DWORD flags, DWORD* cookie)
{
    ++g_seen.registerCalls;
    g_seen.registeredClass = clsid;
    g_seen.factoryGiven = unknown != nullptr;
    g_seen.context = context;
    g_seen.flags = flags;
    if (FAILED(g_registerResult)) return g_registerResult;
    HRESULT hr = g_registerHook->Original<decltype(&CoRegisterClassObject)>()(clsid, unknown, context, flags, cookie);
    g_seen.cookie = *cookie;
    return hr;
}

HRESULT WINAPI ChosenResumeClassObjects() { return g_resumeResult; }

HRESULT WINAPI RecordingRevokeClassObject(DWORD cookie)
{
    ++g_seen.revokeCalls;
    g_seen.revokedCookie = cookie;
    return g_revokeHook->Original<decltype(&CoRevokeClassObject)>()(cookie);
}

int WINAPI RecordingMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    ++g_seen.messageBoxes;
    g_seen.boxOwner = owner;
    g_seen.boxText = text;
    g_seen.boxCaption = caption;
    g_seen.boxStyle = style;
    return IDOK;
}

// Used where the loop must not run: answers WM_QUIT at once so that a
// wrong path ends instead of hanging the test.
BOOL WINAPI CountingGetMessage(LPMSG message, HWND, UINT, UINT)
{
    ++g_seen.getMessageCalls;
    message->message = WM_QUIT;
    return FALSE;
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

// Replaces the COM start-up and shutdown calls for one test; the real ones
// run underneath unless a result is chosen.
class ServerRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen = Observed();
        g_registerResult = S_OK;
        g_resumeResult = S_OK;
        g_registerHook = &m_register;
        g_uninitializeHook = &m_uninitialize;
        g_revokeHook = &m_revoke;
        UnregisterServer();
    }
    void TearDown() override
    {
        UnregisterServer();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    void ExpectBoxAndNoLoop()
    {
        EXPECT_EQ(g_seen.messageBoxes, 1);
        EXPECT_EQ(g_seen.boxOwner, nullptr);
        EXPECT_EQ(g_seen.boxText, L"Failed to register the class object with the SCM");
        EXPECT_EQ(g_seen.boxCaption, L"ERROR");
        EXPECT_EQ(g_seen.boxStyle, static_cast<UINT>(MB_OK | MB_SETFOREGROUND));
        EXPECT_EQ(g_seen.getMessageCalls, 0);
        EXPECT_EQ(g_seen.revokeCalls, 0);
        EXPECT_EQ(g_seen.coUninitialize, 1);
    }

    ScopedImportHook m_uninitialize{"ole32.dll", "CoUninitialize", reinterpret_cast<void*>(&CountingCoUninitialize)};
    ScopedImportHook m_register{"ole32.dll", "CoRegisterClassObject", reinterpret_cast<void*>(&RecordingRegisterClassObject)};
    ScopedImportHook m_revoke{"ole32.dll", "CoRevokeClassObject", reinterpret_cast<void*>(&RecordingRevokeClassObject)};
    ScopedImportHook m_box{"user32.dll", "MessageBoxW", reinterpret_cast<void*>(&RecordingMessageBox)};
    TraceCapture m_trace;
};

}  // namespace

TEST_F(ServerRun, FailedComInitialisationEndsAtOnceWithItsResult)
{
    ScopedImportHook init("ole32.dll", "CoInitializeEx", reinterpret_cast<void*>(&FailingCoInitializeEx));
    for (const char* commandLine : {"/RegServer", "-UnRegServer", "-Embedding"}) {
        EXPECT_EQ(RunServer(commandLine), static_cast<int>(RPC_E_CHANGED_MODE)) << commandLine;
    }
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(g_seen.registerCalls, 0);
    EXPECT_EQ(g_seen.coUninitialize, 0);
    EXPECT_EQ(g_seen.messageBoxes, 0);
    EXPECT_EQ(m_trace.Text(), L"");
}

TEST_F(ServerRun, RegistrationSwitchesRegisterAndUnregisterSilently)
{
    EXPECT_EQ(RunServer("/UnRegServer -RegServer"), 0);
    EXPECT_TRUE(ClassKeyExists());
    EXPECT_EQ(RunServer("-UnRegServer"), 0);
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(RunServer("/RegServer"), 0);
    EXPECT_EQ(RunServer("/UnRegServer"), 0);
    EXPECT_FALSE(ClassKeyExists());

    EXPECT_EQ(g_seen.registerCalls, 0);
    EXPECT_EQ(g_seen.coUninitialize, 4);
    EXPECT_EQ(m_trace.Text(), L"");
}

namespace {
LONG WINAPI FailingCreateKeyA(HKEY, LPCSTR, PHKEY) { return ERROR_ACCESS_DENIED; }
}  // namespace

TEST_F(ServerRun, FailedRegistrationStillExitsWithZero)
{
    ScopedImportHook create("advapi32.dll", "RegCreateKeyA", reinterpret_cast<void*>(&FailingCreateKeyA));
    EXPECT_EQ(RunServer("-RegServer"), 0);
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(g_seen.coUninitialize, 1);
}

TEST_F(ServerRun, ServesUntilQuitThenRevokesAndTracesShutdown)
{
    // The WM_QUIT that the last Release would post, already waiting.
    PostQuitMessage(0);
    EXPECT_EQ(RunServer("-Embedding"), 0);

    EXPECT_EQ(g_seen.registerCalls, 1);
    EXPECT_TRUE(IsEqualCLSID(g_seen.registeredClass, CLSID_Q5DMService));
    EXPECT_TRUE(g_seen.factoryGiven);
    EXPECT_EQ(g_seen.context, static_cast<DWORD>(CLSCTX_LOCAL_SERVER));
    EXPECT_EQ(g_seen.flags, static_cast<DWORD>(REGCLS_SINGLEUSE | REGCLS_SUSPENDED));
    EXPECT_EQ(g_seen.revokeCalls, 1);
    EXPECT_EQ(g_seen.revokedCookie, g_seen.cookie);
    EXPECT_EQ(g_dwRegisterClass, g_seen.cookie);
    EXPECT_EQ(g_seen.messageBoxes, 0);
    EXPECT_EQ(g_seen.coUninitialize, 1);
    EXPECT_EQ(m_trace.Text(), L"CoRevokeClassObject(g_dwRegisterClass);CoUninitialize");
}

namespace {
// CoUninitialize as Wine's can be: waiting for a call that is never
// dispatched, here until the server ends itself.
HANDLE g_ended = nullptr;
int g_selfEnds = 0;
ScopedImportHook* g_waitHook = nullptr;
ScopedImportHook* g_stuckHook = nullptr;

void WINAPI UninitializeUntilTheEnd()
{
    WaitForSingleObject(g_ended, 60000);
    g_stuckHook->Original<decltype(&CoUninitialize)>()();
}

BOOL WINAPI RecordingTerminateProcess(HANDLE process, UINT)
{
    g_selfEnds += process == GetCurrentProcess();
    SetEvent(g_ended);
    return TRUE;
}

// The server's limit on CoUninitialize runs out at once; other waits are real.
DWORD WINAPI ImpatientWait(HANDLE handle, DWORD milliseconds)
{
    if (milliseconds == 10000) return WAIT_TIMEOUT;
    return g_waitHook->Original<decltype(&WaitForSingleObject)>()(handle, milliseconds);
}
}  // namespace

TEST_F(ServerRun, EndsItselfWhenCoUninitializeNeverReturns)
{
    g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_selfEnds = 0;
    ScopedImportHook stuck("ole32.dll", "CoUninitialize", reinterpret_cast<void*>(&UninitializeUntilTheEnd));
    ScopedImportHook wait("kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&ImpatientWait));
    ScopedImportHook end("kernel32.dll", "TerminateProcess", reinterpret_cast<void*>(&RecordingTerminateProcess));
    g_stuckHook = &stuck;
    g_waitHook = &wait;
    PostQuitMessage(0);
    EXPECT_EQ(RunServer("-Embedding"), 0);
    CloseHandle(g_ended);

    EXPECT_EQ(g_selfEnds, 1);
    EXPECT_EQ(g_seen.coUninitialize, 1);
    EXPECT_EQ(m_trace.Text(), L"CoRevokeClassObject(g_dwRegisterClass);CoUninitialize"
                              L"CoUninitialize did not return within 10000 ms: the server ends\n");
}

TEST_F(ServerRun, FailedResumeShowsTheMessageAndSkipsTheLoop)
{
    g_resumeResult = E_UNEXPECTED;
    ScopedImportHook resume("ole32.dll", "CoResumeClassObjects", reinterpret_cast<void*>(&ChosenResumeClassObjects));
    ScopedImportHook loop("user32.dll", "GetMessageW", reinterpret_cast<void*>(&CountingGetMessage));
    EXPECT_EQ(RunServer(""), 0);
    EXPECT_EQ(g_seen.registerCalls, 1);
    ExpectBoxAndNoLoop();
    EXPECT_EQ(m_trace.Text(), L"CoUninitialize");
}

TEST_F(ServerRun, FailedClassRegistrationEndsAsAFailedResume)
{
    g_registerResult = CO_E_OBJISREG;
    ScopedImportHook loop("user32.dll", "GetMessageW", reinterpret_cast<void*>(&CountingGetMessage));
    EXPECT_EQ(RunServer("-Embedding"), 0);
    ExpectBoxAndNoLoop();
    EXPECT_EQ(m_trace.Text(), L"CoUninitialize");
}

TEST_F(ServerRun, FactoryThatCannotBeMadeEndsAsAFailedResume)
{
    ScopedImportHook loop("user32.dll", "GetMessageW", reinterpret_cast<void*>(&CountingGetMessage));
    {
        ScopedImportHook heap("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&FailingHeapAlloc));
        EXPECT_EQ(RunServer("-Embedding"), 0);
    }
    EXPECT_EQ(g_seen.registerCalls, 0);
    ExpectBoxAndNoLoop();
    EXPECT_EQ(m_trace.Text(), L"CoUninitialize");
}

namespace {
// How the replaced SetProcessMitigationPolicy answers, and what it was asked.
struct PolicyCall {
    bool exists;
    BOOL result;
    DWORD error;
    int calls = 0;
    int policy = -1;
    DWORD flags = 0;
    SIZE_T size = 0;
    int registeredBefore = -1;
} g_policy{true, TRUE, 0};
ScopedImportHook* g_resolveHook = nullptr;

BOOL WINAPI RecordingSetPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T size)
{
    ++g_policy.calls;
    g_policy.policy = policy;
    g_policy.flags = *static_cast<DWORD*>(buffer);
    g_policy.size = size;
    g_policy.registeredBefore = g_seen.registerCalls;
    SetLastError(g_policy.error);
    return g_policy.result;
}

FARPROC WINAPI ResolvingGetProcAddress(HMODULE module, LPCSTR name)
{
    if ((reinterpret_cast<ULONG_PTR>(name) >> 16) == 0 || strcmp(name, "SetProcessMitigationPolicy") != 0 ||
        module != GetModuleHandleW(L"kernel32.dll"))
        return g_resolveHook->Original<decltype(&GetProcAddress)>()(module, name);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return g_policy.exists ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&RecordingSetPolicy)) : nullptr;
}
}  // namespace

TEST_F(ServerRun, EnforcesRedirectionTrustBeforeServingAndServesAlsoWithoutIt)
{
    ScopedImportHook resolve("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&ResolvingGetProcAddress));
    g_resolveHook = &resolve;
    const std::pair<PolicyCall, const wchar_t*> cases[] = {
        {{true, TRUE, 0}, L""},
        {{true, FALSE, ERROR_INVALID_PARAMETER}, L"Redirection trust not enforced: error 87\n"},
        {{false, FALSE, 0}, L"Redirection trust not enforced: error 127\n"}};
    for (const auto& [answer, trace] : cases) {
        g_seen = Observed();
        g_policy = answer;
        m_trace.Clear();
        PostQuitMessage(0);
        EXPECT_EQ(RunServer("-Embedding"), 0);
        // ProcessRedirectionTrustPolicy (16) with EnforceRedirectionTrust (bit 0) alone, before registration.
        if (answer.exists) {
            EXPECT_EQ(g_policy.calls, 1);
            EXPECT_EQ(g_policy.policy, 16);
            EXPECT_EQ(g_policy.flags, 1u);
            EXPECT_EQ(g_policy.size, sizeof(DWORD));
            EXPECT_EQ(g_policy.registeredBefore, 0);
        }
        EXPECT_EQ(g_seen.registerCalls, 1);
        EXPECT_EQ(m_trace.Text(), std::wstring(trace) + L"CoRevokeClassObject(g_dwRegisterClass);CoUninitialize");
    }
}

// The elevated server asks for nothing by name from a folder that a user
// could write to: a library of a name that a class installer or a shell
// helper might ask for, planted in the current folder or along PATH, stays
// unloaded; the system folder's own libraries are still found by name. Wine
// searches both folders until the server limits the search.
TEST_F(ServerRun, LoadsNoLibraryByNameFromTheCurrentFolderOrPath)
{
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring here = std::wstring(temp) + L"q5plant_here", along = std::wstring(temp) + L"q5plant_path";
    const std::wstring proxy = std::wstring(Q5_OUT_BIN_W) + L"\\" + Q5_OWN_PROXY_DLL_W;
    CreateDirectoryW(here.c_str(), nullptr);
    CreateDirectoryW(along.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(proxy.c_str(), (here + L"\\q5planthere.dll").c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(CopyFileW(proxy.c_str(), (along + L"\\q5plantpath.dll").c_str(), FALSE)) << GetLastError();
    wchar_t previousFolder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previousFolder);
    std::wstring previousPath(32767, L'\0');
    previousPath.resize(GetEnvironmentVariableW(L"PATH", &previousPath[0], 32767));
    SetCurrentDirectoryW(here.c_str());
    SetEnvironmentVariableW(L"PATH", (along + L";" + previousPath).c_str());

    PostQuitMessage(0);
    EXPECT_EQ(RunServer("-Embedding"), 0);
    for (const wchar_t* planted : {L"q5planthere.dll", L"q5plantpath.dll"}) {
        HMODULE module = LoadLibraryW(planted);
        EXPECT_EQ(module, nullptr) << "loaded by name: " << std::string(planted, planted + wcslen(planted));
        if (module != nullptr) FreeLibrary(module);
    }
    HMODULE system = LoadLibraryW(L"msports.dll");
    EXPECT_NE(system, nullptr) << GetLastError();
    if (system != nullptr) FreeLibrary(system);

    SetCurrentDirectoryW(previousFolder);
    SetEnvironmentVariableW(L"PATH", previousPath.c_str());
}
