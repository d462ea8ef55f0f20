// The server as clients meet it: registered in the prefix, started by COM
// or by hand, every call crossing processes through the proxy/stub library.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <climits>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "q5dm.h"

using q5e2e::ServerProcess;

namespace {

const DWORD kExitWaitMs = 60000;
const wchar_t kClassKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";
const char kShutdownLines[] = "CoRevokeClassObject(g_dwRegisterClass);CoUninitialize";

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Calls that never reached a live server come back from the proxy as RPC
// failures of one kind or another.
bool IsTransportFailure(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) || hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED ||
           hr == RPC_E_SERVER_DIED_DNE;
}

class Service {
public:
    ~Service() { Reset(); }
    HRESULT Activate()
    {
        Reset();
        return CoCreateInstance(CLSID_Q5DMService, nullptr, CLSCTX_LOCAL_SERVER, IID_IQ5DMService,
                                reinterpret_cast<void**>(&m_p));
    }
    void Reset()
    {
        if (m_p != nullptr) m_p->Release();
        m_p = nullptr;
    }
    IQ5DMService* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    IQ5DMService* m_p = nullptr;
};

class CrossProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_ready = q5e2e::RegisterServerAndProxy(s_why);
    }
    void SetUp() override
    {
        if (!s_ready) GTEST_SKIP() << s_why;
        ASSERT_TRUE(q5e2e::WaitForNoServers()) << "a server of an earlier test still runs";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        m_comReady = true;
    }
    void TearDown() override
    {
        if (m_comReady) CoUninitialize();
    }

    static bool s_ready;
    static std::string s_why;
    bool m_comReady = false;
};

bool CrossProcess::s_ready = false;
std::string CrossProcess::s_why;

}  // namespace

TEST_F(CrossProcess, ServerAnswersAndEndsAfterTheLastRelease)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started());
    Service service;
    ASSERT_EQ(service.Activate(), S_OK);
    EXPECT_EQ(service->DeleteRegKey(L"HKXX", L"Software"), 1) << "S_FALSE must arrive as 1";
    service.Reset();

    ASSERT_TRUE(server.WaitForExit(kExitWaitMs)) << "the server did not end after the last release";
    EXPECT_EQ(server.ExitCode(), 0u);
    std::string trace = server.Trace();
    EXPECT_NE(trace.find(">> KillAnotherMine q5dmsrv64.exe\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(">> DeleteRegKey() wrong root branch\n"), std::string::npos) << trace;
    EXPECT_TRUE(EndsWith(trace, std::string("CQ5DMServiceClass::Release(): 0\n") + kShutdownLines)) << trace;
}

namespace {

struct Arrival {
    const char* method;
    HRESULT hr;
    std::string entryLine;  // as the server's trace must show it
};

std::wstring LongText(size_t chars)
{
    std::wstring text;
    while (text.size() < chars) text += L"Q5-long-argument\\0123456789";
    text.resize(chars);
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

// Every method whose entry line shows its arguments, with long, empty and
// extreme values. The trace is the server's standard output, read once the
// server has ended. A method still answering E_NOTIMPL has no line to show.
TEST_F(CrossProcess, EveryMethodsArgumentsArriveIntact)
{
    const std::wstring longKey = L"Software\\Q5E2E\\" + LongText(600);
    ServerProcess server;
    ASSERT_TRUE(server.Started());
    Service s;
    ASSERT_EQ(s.Activate(), S_OK);

    std::vector<Arrival> calls = {
        {"InstallDriver", s->InstallDriver(L"ROOT\\Q5E2E\\0000", L"C:\\q5e2e\\none.inf", INT_MIN),
         ">> InstallDriver(ROOT\\Q5E2E\\0000, C:\\q5e2e\\none.inf, -2147483648)\n"},
        {"InstallDriver", s->InstallDriver(L"", L"", INT_MAX), ">> InstallDriver(, , 2147483647)\n"},
        {"RemoveDriver", s->RemoveDriver(L"ROOT\\Q5E2E\\0001"), ">> RemoveDriver(ROOT\\Q5E2E\\0001)\n"},
        {"KillProcessByName", s->KillProcessByName(L"q5-no-such-process.exe"),
         ">> KillProcessByName q5-no-such-process.exe\n"},
        {"PatchUninstall", s->PatchUninstall(L"Software\\Q5E2E\\Missing", L"\"C:\\Program Files\\x\\unins.exe\" /S"),
         ">> PatchUninstall Software\\Q5E2E\\Missing \"C:\\Program Files\\x\\unins.exe\" /S\n"},
        {"BackupDriver", s->BackupDriver(L"q5e2e-none.inf", L"sub", L"C:\\q5e2e\\copy.inf", L"C:\\q5e2e\\backup"),
         "backup q5e2e-none.inf\n"},
        {"CleanNotInstalled", s->CleanNotInstalled(L"Q5NoSuchClass", INT_MAX), ">> CleanNotInstalled(Q5NoSuchClass, 2147483647)\n"},
        {"CleanNotInstalled", s->CleanNotInstalled(L"Q5NoSuchClass", INT_MIN), ">> CleanNotInstalled(Q5NoSuchClass, -2147483648)\n"},
        {"CmdLine", s->CmdLine(L"C:\\q5e2e\\missing.exe", L"-a \"b c\"", L"C:\\"), ">> CmdLine (C:\\q5e2e\\missing.exe, -a \"b c\", C:\\)\n"},
        {"SyncExec", s->SyncExec(L"C:\\q5e2e\\missing.exe --flag", L""), ">> SyncExec(C:\\q5e2e\\missing.exe --flag, )\n"},
        {"DeleteRegKey", s->DeleteRegKey(L"HKCU", longKey.c_str()), ">> DeleteRegKey('HKCU\\" + Narrow(longKey) + "')\n"},
        {"isDeviceWORable", s->isDeviceWORable(L"ROOT\\Q5E2E\\0002"), ">> isDeviceWORable(ROOT\\Q5E2E\\0002)\n"},
        {"setWOREnabled", s->setWOREnabled(L"ROOT\\Q5E2E\\0003", 1), ">> setWOREnabled(ROOT\\Q5E2E\\0003)\n"},
        {"setSuspendAllowed", s->setSuspendAllowed(L"ROOT\\Q5E2E\\0004", -1), ">> setSuspendAllowed(ROOT\\Q5E2E\\0004)\n"},
    };
    s.Reset();
    ASSERT_TRUE(server.WaitForExit(kExitWaitMs));
    const std::string trace = server.Trace();

    size_t from = 0;
    for (const Arrival& call : calls) {
        EXPECT_TRUE(call.hr == S_OK || call.hr == S_FALSE || call.hr == E_FAIL || call.hr == E_NOTIMPL)
            << call.method << " returned 0x" << std::hex << call.hr;
        if (call.hr == E_NOTIMPL) continue;
        size_t at = trace.find(call.entryLine, from);
        EXPECT_NE(at, std::string::npos) << call.method << ": no line \"" << call.entryLine << "\" in order in\n" << trace;
        if (at != std::string::npos) from = at + call.entryLine.size();
    }
    EXPECT_TRUE(EndsWith(trace, kShutdownLines)) << trace;
}

namespace {

std::wstring ReadHklmString(const wchar_t* key, const wchar_t* value)
{
    wchar_t data[4096] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS) return L"<none>";
    return data;
}

bool HkcuKeyExists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

// Text beyond Latin-1 cannot be read back from the server's ANSI standard
// output, so its arrival is checked by what the server did with it.
TEST_F(CrossProcess, TextBeyondLatin1ArrivesUnchanged)
{
    const wchar_t uninstallKey[] = L"Software\\Q5E2E\\Ключ-日本-\u00e9";
    std::wstring uninstallString = L"\"C:\\Program Files\\Модем 調製解調器\\unins.exe\" /x \U0001F4DE ";
    uninstallString += LongText(1500);
    const wchar_t doomedKey[] = L"Software\\Q5E2E\\Удалить-削除";

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, uninstallKey, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, doomedKey, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    Service s;
    ASSERT_EQ(s.Activate(), S_OK);
    EXPECT_EQ(s->PatchUninstall(uninstallKey, uninstallString.c_str()), S_OK);
    EXPECT_EQ(ReadHklmString(uninstallKey, L"UninstallString"), uninstallString);
    EXPECT_EQ(s->PatchUninstall(uninstallKey, L""), S_OK);
    EXPECT_EQ(ReadHklmString(uninstallKey, L"UninstallString"), L"");

    EXPECT_EQ(s->DeleteRegKey(L"HKCU", doomedKey), S_OK);
    EXPECT_FALSE(HkcuKeyExists(doomedKey));
    EXPECT_EQ(s->DeleteRegKey(L"HKCU", doomedKey), S_FALSE);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, uninstallKey);
}

// A server ended while it serves (by a newer server, by hand, by a crash)
// leaves on its standard output every line it traced up to then.
TEST_F(CrossProcess, TraceOfAServerEndedWhileServingIsKept)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started());
    Service s;
    ASSERT_EQ(s.Activate(), S_OK);
    EXPECT_EQ(s->DeleteRegKey(L"HKXX", L"Software"), S_FALSE);
    EXPECT_EQ(s->PatchUninstall(L"Software\\Q5E2E\\Missing\u4e2d", L"x"), S_OK);

    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, server.Id());
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(TerminateProcess(process, 9));
    CloseHandle(process);
    ASSERT_TRUE(server.WaitForExit(kExitWaitMs));
    s.Reset();

    const std::string trace = server.Trace();
    size_t at = 0;
    for (const char* line : {">> KillAnotherMine q5dmsrv64.exe\n", ">> DeleteRegKey() wrong root branch\n",
                             ">> PatchUninstall Software\\Q5E2E\\Missing\\u4E2D x\n>> PatchUninstall\n"}) {
        at = trace.find(line, at);
        ASSERT_NE(at, std::string::npos) << "no line \"" << line << "\" in order in\n" << trace;
    }
}

TEST_F(CrossProcess, NullStringIsRefusedBeforeItReachesTheServer)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started());
    Service s;
    ASSERT_EQ(s.Activate(), S_OK);
    EXPECT_EQ(s->DeleteRegKey(nullptr, L"Software"), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(s->DeleteRegKey(L"HKXX", nullptr), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(s->PatchUninstall(L"Software\\Q5E2E", nullptr), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(s->DeleteRegKey(L"HKXX", L"after"), S_FALSE) << "the object must still serve";
    s.Reset();

    ASSERT_TRUE(server.WaitForExit(kExitWaitMs));
    std::string trace = server.Trace();
    EXPECT_EQ(trace.find("PatchUninstall"), std::string::npos) << trace;
    size_t first = trace.find("DeleteRegKey");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(trace.find("DeleteRegKey", first + 1), std::string::npos) << "only the last call may arrive:\n" << trace;
}

// Single use: an activation while the first server still serves starts a
// second process, whose creation ends the first one as a leftover.
TEST_F(CrossProcess, SecondActivationStartsAnotherServerThatEndsTheFirst)
{
    ServerProcess first;
    ASSERT_TRUE(first.Started());
    Service one;
    ASSERT_EQ(one.Activate(), S_OK);
    ASSERT_EQ(one->DeleteRegKey(L"HKXX", L"one"), S_FALSE);

    Service two;
    ASSERT_EQ(two.Activate(), S_OK);
    EXPECT_TRUE(first.WaitForExit(kExitWaitMs)) << "the second server did not end the first";
    EXPECT_EQ(two->DeleteRegKey(L"HKXX", L"two"), S_FALSE);
    EXPECT_EQ(q5e2e::CountProcesses(L"q5dmsrv64.exe"), 1);

    HRESULT hr = one->DeleteRegKey(L"HKXX", L"one again");
    EXPECT_TRUE(IsTransportFailure(hr)) << "0x" << std::hex << hr;
    one.Reset();
    two.Reset();
}

TEST_F(CrossProcess, ActivatesAServerRegisteredFromAPathWithASpace)
{
    const wchar_t folder[] = L"C:\\Program Files\\Q5 E2E";
    const std::wstring program = std::wstring(folder) + L"\\q5dmsrv64.exe";
    CreateDirectoryW(folder, nullptr);
    ASSERT_TRUE(CopyFileW(q5e2e::OutBin(L"q5dmsrv64.exe").c_str(), program.c_str(), FALSE));
    ASSERT_EQ(q5e2e::RunToEnd(L"\"" + program + L"\" /RegServer", kExitWaitMs), 0);

    wchar_t value[MAX_PATH + 8] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    std::wstring localServer = std::wstring(kClassKey) + L"\\LocalServer32";
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, localServer.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), L"\"" + program + L"\"");

    {
        Service s;
        ASSERT_EQ(s.Activate(), S_OK);
        EXPECT_EQ(s->DeleteRegKey(L"HKXX", L"x"), S_FALSE);
    }
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}

// ---- the program's switches, run as processes ----

namespace {

bool ClassKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

int RunServerProgram(const wchar_t* arguments)
{
    return q5e2e::RunToEnd(L"\"" + q5e2e::OutBin(L"q5dmsrv64.exe") + L"\" " + arguments, kExitWaitMs);
}

}  // namespace

TEST_F(CrossProcess, SwitchesRegisterAndUnregisterWithExitCodeZero)
{
    EXPECT_EQ(RunServerProgram(L"-UnRegServer"), 0);
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(RunServerProgram(L"-UnRegServer"), 0) << "removing what is not there";
    EXPECT_EQ(RunServerProgram(L"/UnRegServer -RegServer"), 0);
    EXPECT_TRUE(ClassKeyExists()) << "registration wins over removal";
    EXPECT_EQ(RunServerProgram(L"/UnRegServer"), 0);
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(RunServerProgram(L"x-RegServerx"), 0);
    EXPECT_TRUE(ClassKeyExists());
}

TEST_F(CrossProcess, LowerCaseSwitchServesInstead)
{
    EXPECT_EQ(RunServerProgram(L"/UnRegServer"), 0);
    {
        ServerProcess server(q5e2e::OutBin(L"q5dmsrv64.exe"), L"/regserver");
        ASSERT_TRUE(server.Started());
        EXPECT_FALSE(server.WaitForExit(3000)) << "a lower-case switch must not register and end";
        EXPECT_FALSE(ClassKeyExists());
    }
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}
