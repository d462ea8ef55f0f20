// q5dmctl64.exe as installers and support staff run it, against the server
// and proxy registered in this test's prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "q5dm.h"

namespace {

const DWORD kRunMs = 60000;

struct CtlRun {
    int exitCode;
    std::string output;
};

CtlRun Ctl(const std::wstring& arguments)
{
    CtlRun run;
    run.exitCode = q5e2e::RunToEnd(L"\"" + q5e2e::OutBin(L"q5dmctl64.exe") + L"\" " + arguments, kRunMs, &run.output);
    q5e2e::WaitForNoServers();  // the next activation must not meet this server shutting down
    return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Q5dmctl : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_ready = q5e2e::RegisterServerAndProxy(s_why); }
    void SetUp() override
    {
        if (!s_ready) GTEST_SKIP() << s_why;
    }
    static bool s_ready;
    static std::string s_why;
};

bool Q5dmctl::s_ready = false;
std::string Q5dmctl::s_why;

}  // namespace

TEST_F(Q5dmctl, HelpListsTheMethodsAndBadArgumentsFailBeforeActivation)
{
    CtlRun help = Ctl(L"--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Has(help.output, "usage: q5dmctl [--server32 | --server64] [--elevate] [--repeat N] [--trace FILE] METHOD [ARGS...]"))
        << help.output;
    EXPECT_TRUE(Has(help.output, "  BackupDriver infName:string subFolder:string infCopyPath:string backupRoot:string\n"));

    for (const wchar_t* bad : {L"", L"NoSuchMethod", L"DeleteRegKey HKCU", L"ClaimComPort COM3", L"--repeat 0 RestoreComPorts",
                               L"CleanNotInstalled Modem 2147483648"}) {
        CtlRun run = Ctl(bad);
        EXPECT_EQ(run.exitCode, 1) << std::string(bad, bad + wcslen(bad));
        EXPECT_TRUE(Has(run.output, "q5dmctl: ")) << run.output;
        EXPECT_FALSE(Has(run.output, "returned")) << run.output;
    }
}

TEST_F(Q5dmctl, PrintsTheHresultOfTheCall)
{
    CtlRun run = Ctl(L"DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey returned 0x00000001 S_FALSE\n");

    run = Ctl(L"CleanNotInstalled Q5NoSuchClass -2147483648");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Has(run.output, "CleanNotInstalled returned 0x")) << run.output;
}

TEST_F(Q5dmctl, PassesTextBeyondLatin1)
{
    const wchar_t key[] = L"Software\\Q5Ctl\\Ключ 日本";
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, key, &created), ERROR_SUCCESS);
    RegCloseKey(created);
    CtlRun run = Ctl(std::wstring(L"DeleteRegKey HKCU \"") + key + L"\"");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey returned 0x00000000 S_OK\n");
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &created), ERROR_SUCCESS);
}

TEST_F(Q5dmctl, NullStringIsATransportFailure)
{
    CtlRun run = Ctl(L"DeleteRegKey --null Software");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Has(run.output, "DeleteRegKey returned 0x800706F4 RPC_X_NULL_REF_POINTER\n")) << run.output;
}

TEST_F(Q5dmctl, ElevationFallsBackWhereThePlatformRefusesIt)
{
    CtlRun run = Ctl(L"--elevate DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Has(run.output, "DeleteRegKey returned 0x00000001 S_FALSE\n")) << run.output;
    // Where the moniker works there is nothing to fall back from.
    if (Has(run.output, "elevation moniker refused")) {
        EXPECT_TRUE(Has(run.output, "falling back to plain activation")) << run.output;
    }
}

TEST_F(Q5dmctl, RepeatPrintsTimingFigures)
{
    CtlRun run = Ctl(L"--repeat 5 DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Has(run.output, "DeleteRegKey returned 0x00000001 S_FALSE\nactivation: ")) << run.output;
    EXPECT_TRUE(Has(run.output, "\ncalls: 5, round trip median ")) << run.output;
}

TEST_F(Q5dmctl, ActivationFailureIsReported)
{
    // Wine looks in the other registry view when the client's own lacks the
    // class, so neither server may stay registered.
    for (const wchar_t* server : {L"q5dmsrv64.exe", L"q5dmsrv32.exe"})
        ASSERT_EQ(q5e2e::RunToEnd(L"\"" + q5e2e::OutBin(server) + L"\" /UnRegServer", kRunMs), 0);
    CtlRun run = Ctl(L"DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Has(run.output, "q5dmctl: activation of the DM COM Server failed: 0x80040154 REGDB_E_CLASSNOTREG")) << run.output;
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}

namespace {

std::string ReadTextFile(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) text.append(chunk, read);
    CloseHandle(file);
    return text;
}

}  // namespace

TEST_F(Q5dmctl, TraceOptionShowsWhatTheServerDid)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring trace = std::wstring(folder) + L"q5dmctl trace.txt";
    CtlRun run = Ctl(L"--trace \"" + trace + L"\" DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey returned 0x00000001 S_FALSE\nserver ended with exit code 0\n");
    std::string text = ReadTextFile(trace);
    EXPECT_TRUE(Has(text, ">> DeleteRegKey() wrong root branch\r\n")) << text;
    const std::string tail = "CQ5DMServiceClass::Release(): 0\r\nCoRevokeClassObject(g_dwRegisterClass);CoUninitialize";
    EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) << text;
    DeleteFileW(trace.c_str());
}

namespace {

// A process that stays until the test ends it: this program, suspended.
class Placeholder {
public:
    Placeholder()
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
        if (CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &m_info)) {
            CloseHandle(m_info.hThread);
        }
    }
    ~Placeholder() { End(); }
    DWORD Id() const { return m_info.dwProcessId; }
    void End()
    {
        if (m_info.hProcess == nullptr) return;
        TerminateProcess(m_info.hProcess, 0);
        WaitForSingleObject(m_info.hProcess, 10000);
        CloseHandle(m_info.hProcess);
        m_info.hProcess = nullptr;
    }

private:
    PROCESS_INFORMATION m_info = {};
};

HANDLE OutputFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr);
}

// The texts of one process's watch lines ("hh:mm:ss.mmm [pid] program: text"),
// in order; `programs` gets each line's program name.
std::vector<std::string> TextsOf(const std::string& output, std::string& firstPid, std::vector<std::string>& programs)
{
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find("\r\n", start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 2;
        size_t open = line.find(" ["), close = line.find("] "), colon = line.find(": ");
        if (open != 12 || close == std::string::npos || colon == std::string::npos) {
            ADD_FAILURE() << "not a watch line: " << line;
            continue;
        }
        std::string pid = line.substr(open + 2, close - open - 2);
        if (firstPid.empty()) firstPid = pid;
        if (pid != firstPid) continue;
        programs.push_back(line.substr(close + 2, colon - close - 2));
        texts.push_back(line.substr(colon + 2));
    }
    return texts;
}

}  // namespace

// The watch and the server of this test's own bitness.
TEST_F(Q5dmctl, WatchShowsACOMStartedServersTraceInOrder)
{
    const std::wstring serverW = q5e2e::ServerExe(q5e2e::kOwnBits);
    const std::string server(serverW.begin(), serverW.end());
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring linesPath = std::wstring(folder) + L"q5watch lines.txt";
    const std::wstring statusPath = std::wstring(folder) + L"q5watch status.txt";
    Placeholder placeholder;
    ASSERT_NE(placeholder.Id(), 0u);

    PROCESS_INFORMATION watch = {};
    {
        HANDLE lines = OutputFile(linesPath), status = OutputFile(statusPath);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = lines;
        startup.hStdError = status;
        std::wstring commandLine = L"\"" + q5e2e::OutBin(q5e2e::kOwnBits == 32 ? L"q5dmctl32.exe" : L"q5dmctl64.exe") +
                                   L"\" watch --until-exit " + std::to_wstring(placeholder.Id());
        BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &watch);
        CloseHandle(lines);
        CloseHandle(status);
        ASSERT_TRUE(started);
        CloseHandle(watch.hThread);
    }
    for (int waited = 0; waited < 400 && !Has(ReadTextFile(statusPath), "reading the debug output"); ++waited) Sleep(50);
    ASSERT_TRUE(Has(ReadTextFile(statusPath), "q5dmctl watch: reading the debug output of q5dmsrv64.exe and q5dmsrv32.exe"))
        << ReadTextFile(statusPath);

    // A second viewer would take the first one's texts: it is refused.
    CtlRun second = Ctl(L"watch --for 1");
    EXPECT_EQ(second.exitCode, 4);
    EXPECT_TRUE(Has(second.output, "another debug-output viewer already holds the channel")) << second.output;

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IQ5DMService* service = nullptr;
    ASSERT_EQ(q5e2e::ActivateService(q5e2e::kOwnBits, &service), S_OK);
    EXPECT_EQ(service->DeleteRegKey(L"HKXX", L"Software"), S_FALSE);
    EXPECT_EQ(service->KillProcessByName(L"q5-no-such-program.exe"), E_FAIL);
    service->Release();
    CoUninitialize();
    EXPECT_TRUE(q5e2e::WaitForNoServers());
    placeholder.End();
    ASSERT_EQ(WaitForSingleObject(watch.hProcess, 20000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(watch.hProcess, &exitCode);
    CloseHandle(watch.hProcess);
    EXPECT_EQ(exitCode, 0u) << ReadTextFile(statusPath);

    const std::string output = ReadTextFile(linesPath);
    std::string pid;
    std::vector<std::string> programs;
    std::vector<std::string> texts = TextsOf(output, pid, programs);
    // COM's own reference traffic in between is its business: the check
    // keeps the creation's pair and the last release.
    size_t made = 0;
    while (made < texts.size() && texts[made] != "<< KillAnotherMine") ++made;
    ASSERT_LT(made + 2, texts.size()) << output;
    EXPECT_EQ(texts[made + 1], "CQ5DMServiceClass::AddRef(): 2");
    EXPECT_EQ(texts[made + 2], "CQ5DMServiceClass::Release(): 1");
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "CQ5DMServiceClass::Release(): 0");
    std::vector<std::string> calls;
    for (const std::string& text : texts) {
        if (text.rfind("CQ5DMServiceClass::", 0) != 0) calls.push_back(text);
    }
    std::vector<std::string> expected = {">> KillAnotherMine " + server};
    size_t i = 1;
    while (i < calls.size() && calls[i].rfind("Process ID : ", 0) == 0) expected.push_back(calls[i++]);
    EXPECT_GT(expected.size(), 3u) << output;  // the prefix's processes
    expected.push_back("<< KillAnotherMine");
    expected.push_back(">> DeleteRegKey() wrong root branch");
    expected.push_back(">> KillProcessByName q5-no-such-program.exe");
    // The kill walk lists every process by id and name ("Process ID : %08X %s").
    for (const std::string& text : calls) {
        if (text.rfind("Process ID : ", 0) == 0 && text.size() > 22) expected.push_back(text);
    }
    expected.push_back("<< KillProcessByName");
    expected.push_back("CoRevokeClassObject(g_dwRegisterClass);CoUninitialize");
    EXPECT_EQ(calls, expected) << output;
    for (const std::string& program : programs) EXPECT_EQ(program, server);
    DeleteFileW(linesPath.c_str());
    DeleteFileW(statusPath.c_str());
}
