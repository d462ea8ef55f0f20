// The server as clients meet it: registered in the prefix, started by COM
// or by hand, every call crossing processes through the proxy/stub library.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <climits>
#include <memory>
#include <utility>
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

// An activation of a server of the given bitness. Wine starts the server
// that the client's own registry view names whatever bitness is asked for,
// so a server of the other bitness is started here as COM would start it
// (from `program`, default out/bin's) and the activation connects to it.
class Service {
public:
    explicit Service(int serverBits, std::wstring program = L"")
        : m_iServerBits(serverBits), m_program(program.empty() ? q5e2e::OutBin(q5e2e::ServerExe(serverBits)) : program)
    {
    }
    // For a test that started the server by hand already.
    static Service OfRunningServer(int serverBits)
    {
        Service service(serverBits);
        service.m_bRunning = true;
        return service;
    }
    Service(Service&& other) noexcept
        : m_iServerBits(other.m_iServerBits),
          m_program(std::move(other.m_program)),
          m_bRunning(other.m_bRunning),
          m_pStarted(std::move(other.m_pStarted)),
          m_p(std::exchange(other.m_p, nullptr))
    {
    }
    ~Service() { Reset(); }
    HRESULT Activate()
    {
        Reset();
        if (m_iServerBits != q5e2e::kOwnBits && !m_bRunning) {
            m_pStarted = std::make_unique<ServerProcess>(m_program);
            if (!m_pStarted->Started()) return E_UNEXPECTED;
        }
        return q5e2e::ActivateService(m_iServerBits, &m_p);
    }
    void Reset()
    {
        if (m_p != nullptr) m_p->Release();
        m_p = nullptr;
        // The started server ends by itself after the last release.
        if (m_pStarted) m_pStarted->WaitForExit(kExitWaitMs);
        m_pStarted.reset();
    }
    IQ5DMService* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    int m_iServerBits;
    std::wstring m_program;
    bool m_bRunning = false;
    std::unique_ptr<ServerProcess> m_pStarted;
    IQ5DMService* m_p = nullptr;
};

// Each test runs against the server of each bitness, from a test program
// of either bitness: the four client/server pairs across the two builds.
class CrossProcess : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite()
    {
        s_ready = q5e2e::RegisterServerAndProxy(s_why);
    }
    void SetUp() override
    {
        if (!s_ready) GTEST_SKIP() << s_why;
        if (std::string why = q5test::WhyBitsCannotRun(Bits()); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(q5e2e::WaitForNoServers()) << "a server of an earlier test still runs";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        m_comReady = true;
    }
    void TearDown() override
    {
        if (m_comReady) CoUninitialize();
    }

    int Bits() const { return GetParam(); }
    const wchar_t* Exe() const { return q5e2e::ServerExe(GetParam()); }
    std::wstring Program() const { return q5e2e::OutBin(Exe()); }

    static bool s_ready;
    static std::string s_why;
    bool m_comReady = false;
};

bool CrossProcess::s_ready = false;
std::string CrossProcess::s_why;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

INSTANTIATE_TEST_SUITE_P(Server, CrossProcess, ::testing::Values(32, 64),
                         [](const ::testing::TestParamInfo<int>& info) { return "q5dmsrv" + std::to_string(info.param); });

TEST_P(CrossProcess, ServerAnswersAndEndsAfterTheLastRelease)
{
    ServerProcess server(Program());
    ASSERT_TRUE(server.Started());
    Service service = Service::OfRunningServer(Bits());
    ASSERT_EQ(service.Activate(), S_OK);
    EXPECT_EQ(service->DeleteRegKey(L"HKXX", L"Software"), 1) << "S_FALSE must arrive as 1";
    service.Reset();

    ASSERT_TRUE(server.WaitForExit(kExitWaitMs)) << "the server did not end after the last release";
    EXPECT_EQ(server.ExitCode(), 0u);
    std::string trace = server.Trace();
    EXPECT_NE(trace.find(">> KillAnotherMine " + Narrow(Exe()) + "\n"), std::string::npos) << trace;
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

}  // namespace

// Every method whose entry line shows its arguments, with long, empty and
// extreme values. The trace is the server's standard output, read once the
// server has ended. A method still answering E_NOTIMPL has no line to show.
TEST_P(CrossProcess, EveryMethodsArgumentsArriveIntact)
{
    const std::wstring longKey = L"Software\\Q5E2E\\" + LongText(600);
    ServerProcess server(Program());
    ASSERT_TRUE(server.Started());
    Service s = Service::OfRunningServer(Bits());
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

// Registry access in one view; a server works in the view of its bitness.
std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* value, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return L"<no key>";
    wchar_t data[4096] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    LONG status = RegGetValueW(key, nullptr, value, RRF_RT_REG_SZ, nullptr, data, &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? data : L"<none>";
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool CreateKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}

REGSAM OtherView(REGSAM view) { return view == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

}  // namespace

// Text beyond Latin-1 reaches the server's standard output only as escapes,
// so its arrival is checked by what the server did with it.
TEST_P(CrossProcess, TextBeyondLatin1ArrivesUnchanged)
{
    const REGSAM view = q5e2e::RegistryView(Bits());
    const std::wstring uninstallKey = L"Software\\Q5E2E\\Ключ-日本-\u00e9";
    std::wstring uninstallString = L"\"C:\\Program Files\\Модем 調製解調器\\unins.exe\" /x \U0001F4DE ";
    uninstallString += LongText(1500);
    const std::wstring doomedKey = L"Software\\Q5E2E\\Удалить-削除";
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, uninstallKey, view));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, doomedKey, view));

    Service s(Bits());
    ASSERT_EQ(s.Activate(), S_OK);
    EXPECT_EQ(s->PatchUninstall(uninstallKey.c_str(), uninstallString.c_str()), S_OK);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, uninstallKey, L"UninstallString", view), uninstallString);
    EXPECT_EQ(s->PatchUninstall(uninstallKey.c_str(), L""), S_OK);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, uninstallKey, L"UninstallString", view), L"");

    EXPECT_EQ(s->DeleteRegKey(L"HKCU", doomedKey.c_str()), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, doomedKey, view));
    EXPECT_EQ(s->DeleteRegKey(L"HKCU", doomedKey.c_str()), S_FALSE);
    DeleteTree(HKEY_LOCAL_MACHINE, uninstallKey, view);
}

// A server ended while it serves (by a newer server, by hand, by a crash)
// leaves on its standard output every line it traced up to then.
TEST_P(CrossProcess, TraceOfAServerEndedWhileServingIsKept)
{
    ServerProcess server(Program());
    ASSERT_TRUE(server.Started());
    Service s = Service::OfRunningServer(Bits());
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
    for (const std::string& line : {">> KillAnotherMine " + Narrow(Exe()) + "\n", std::string(">> DeleteRegKey() wrong root branch\n"),
                                    std::string(">> PatchUninstall Software\\Q5E2E\\Missing\\u4E2D x\n>> PatchUninstall\n")}) {
        at = trace.find(line, at);
        ASSERT_NE(at, std::string::npos) << "no line \"" << line << "\" in order in\n" << trace;
    }
}

// HKLM\Software differs between the two views: each server deletes and
// writes there only in the view of its own bitness.
TEST_P(CrossProcess, RegistryOperationsActInTheServersOwnView)
{
    const REGSAM own = q5e2e::RegistryView(Bits());
    const REGSAM other = OtherView(own);
    const std::wstring base = L"Software\\Q5E2EView";
    for (REGSAM view : {own, other}) {
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, base + L"\\Doomed\\Child", view));
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, base + L"\\Uninstall", view));
    }

    Service s(Bits());
    ASSERT_EQ(s.Activate(), S_OK);
    EXPECT_EQ(s->DeleteRegKey(L"HKLM", (base + L"\\Doomed").c_str()), S_OK);
    EXPECT_EQ(s->PatchUninstall((base + L"\\Uninstall").c_str(), L"unins.exe /q5"), S_OK);
    s.Reset();

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, base + L"\\Doomed", own));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, base + L"\\Doomed\\Child", other)) << "the other view was touched";
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, base + L"\\Uninstall", L"UninstallString", own), L"unins.exe /q5");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, base + L"\\Uninstall", L"UninstallString", other), L"<none>");
    for (REGSAM view : {own, other}) DeleteTree(HKEY_LOCAL_MACHINE, base, view);
}

TEST_P(CrossProcess, NullStringIsRefusedBeforeItReachesTheServer)
{
    ServerProcess server(Program());
    ASSERT_TRUE(server.Started());
    Service s = Service::OfRunningServer(Bits());
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
TEST_P(CrossProcess, SecondActivationStartsAnotherServerThatEndsTheFirst)
{
    ServerProcess first(Program());
    ASSERT_TRUE(first.Started());
    Service one = Service::OfRunningServer(Bits());
    ASSERT_EQ(one.Activate(), S_OK);
    ASSERT_EQ(one->DeleteRegKey(L"HKXX", L"one"), S_FALSE);

    Service two(Bits());
    ASSERT_EQ(two.Activate(), S_OK);
    EXPECT_TRUE(first.WaitForExit(kExitWaitMs)) << "the second server did not end the first";
    EXPECT_EQ(two->DeleteRegKey(L"HKXX", L"two"), S_FALSE);
    EXPECT_EQ(q5e2e::CountProcesses(Exe()), 1);

    HRESULT hr = one->DeleteRegKey(L"HKXX", L"one again");
    EXPECT_TRUE(IsTransportFailure(hr)) << "0x" << std::hex << hr;
    one.Reset();
    two.Reset();
}

TEST_P(CrossProcess, ActivatesAServerRegisteredFromAPathWithASpace)
{
    const wchar_t folder[] = L"C:\\Program Files\\Q5 E2E";
    const std::wstring program = std::wstring(folder) + L"\\" + Exe();
    CreateDirectoryW(folder, nullptr);
    ASSERT_TRUE(CopyFileW(Program().c_str(), program.c_str(), FALSE));
    ASSERT_EQ(q5e2e::RunToEnd(L"\"" + program + L"\" /RegServer", kExitWaitMs), 0);

    std::wstring localServer = std::wstring(kClassKey) + L"\\LocalServer32";
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, localServer, nullptr, q5e2e::RegistryView(Bits())), L"\"" + program + L"\"");

    {
        Service s(Bits(), program);
        ASSERT_EQ(s.Activate(), S_OK);
        EXPECT_EQ(s->DeleteRegKey(L"HKXX", L"x"), S_FALSE);
    }
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}

// ---- the program's switches, run as processes ----

TEST_P(CrossProcess, SwitchesRegisterAndUnregisterWithExitCodeZero)
{
    auto run = [this](const wchar_t* arguments) {
        return q5e2e::RunToEnd(L"\"" + Program() + L"\" " + arguments, kExitWaitMs);
    };
    const REGSAM view = q5e2e::RegistryView(Bits());
    EXPECT_EQ(run(L"-UnRegServer"), 0);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, view));
    EXPECT_EQ(run(L"-UnRegServer"), 0) << "removing what is not there";
    EXPECT_EQ(run(L"/UnRegServer -RegServer"), 0);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, view)) << "registration wins over removal";
    EXPECT_EQ(run(L"/UnRegServer"), 0);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, view));
    EXPECT_EQ(run(L"x-RegServerx"), 0);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, view));
}

TEST_P(CrossProcess, LowerCaseSwitchServesInstead)
{
    EXPECT_EQ(q5e2e::RunToEnd(L"\"" + Program() + L"\" /UnRegServer", kExitWaitMs), 0);
    {
        ServerProcess server(Program(), L"/regserver");
        ASSERT_TRUE(server.Started());
        EXPECT_FALSE(server.WaitForExit(3000)) << "a lower-case switch must not register and end";
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, q5e2e::RegistryView(Bits())));
    }
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}

// ---- both bitnesses side by side ----

namespace {

class BothBitnesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string why = q5test::WhyBitsCannotRun(32); !why.empty()) GTEST_SKIP() << why;
        std::string why;
        ASSERT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
        ASSERT_TRUE(q5e2e::WaitForNoServers());
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override
    {
        if (IsSkipped()) return;
        CoUninitialize();
        std::string why;
        EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
    }
};

}  // namespace

// The two programs have different names, so neither one's creation takes
// the other for a crashed instance of itself.
TEST_F(BothBitnesses, ServersOfBothBitnessesServeAtOnce)
{
    Service server32(32);
    ASSERT_EQ(server32.Activate(), S_OK);
    Service server64(64);
    ASSERT_EQ(server64.Activate(), S_OK);
    EXPECT_EQ(q5e2e::CountProcesses(q5e2e::ServerExe(32)), 1);
    EXPECT_EQ(q5e2e::CountProcesses(q5e2e::ServerExe(64)), 1);
    EXPECT_EQ(server32->DeleteRegKey(L"HKXX", L"32"), S_FALSE);
    EXPECT_EQ(server64->DeleteRegKey(L"HKXX", L"64"), S_FALSE);
}

// Removing the other bitness's server and proxy/stub library leaves this
// bitness's own pair working; a server of the removed bitness is no longer
// found.
TEST_F(BothBitnesses, UnregisteringTheOtherBitnessLeavesThisOneWorking)
{
    const int other = q5e2e::kOwnBits == 64 ? 32 : 64;
    std::string why;
    ASSERT_TRUE(q5e2e::RegisterBitness(other, true, why)) << why;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, q5e2e::RegistryView(other)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey, q5e2e::RegistryView(q5e2e::kOwnBits)));

    Service own(q5e2e::kOwnBits);
    ASSERT_EQ(own.Activate(), S_OK);
    EXPECT_EQ(own->DeleteRegKey(L"HKXX", L"own"), S_FALSE);
}
