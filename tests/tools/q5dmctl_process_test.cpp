// q5dmctl64.exe as installers and support staff run it, against the server
// and proxy registered in this test's prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "children_testing.h"
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
        EXPECT_FALSE(Has(run.output, "(0x")) << run.output;
    }
}

TEST_F(Q5dmctl, PrintsTheHresultOfTheCall)
{
    CtlRun run = Ctl(L"DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey: not deleted (0x00000001 S_FALSE)\n");

    run = Ctl(L"CleanNotInstalled Q5NoSuchClass -2147483648");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Has(run.output, "CleanNotInstalled: done (0x00000000 S_OK)\n")) << run.output;
}

TEST_F(Q5dmctl, PassesTextBeyondLatin1)
{
    const wchar_t key[] = L"Software\\Q5Ctl\\Ключ 日本";
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, key, &created), ERROR_SUCCESS);
    RegCloseKey(created);
    CtlRun run = Ctl(std::wstring(L"DeleteRegKey HKCU \"") + key + L"\"");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey: deleted (0x00000000 S_OK)\n");
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &created), ERROR_SUCCESS);
}

TEST_F(Q5dmctl, NullStringIsATransportFailure)
{
    CtlRun run = Ctl(L"DeleteRegKey --null Software");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Has(run.output, "DeleteRegKey: transport failure, misuse (0x800706F4 RPC_X_NULL_REF_POINTER)\n")) << run.output;
}

TEST_F(Q5dmctl, ElevationFallsBackWhereThePlatformRefusesIt)
{
    CtlRun run = Ctl(L"--elevate DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    // The refusal, where there is one, is told once and before the call that
    // the plain activation then served; where the moniker works there is
    // nothing to fall back from.
    const std::string result = "DeleteRegKey: not deleted (0x00000001 S_FALSE)\n";
    const std::string refused = "elevation moniker refused: 0x800401EA MK_E_CANTOPENFILE; falling back to plain activation\n";
    EXPECT_TRUE(run.output == result || run.output == refused + result) << run.output;
}

TEST_F(Q5dmctl, RepeatPrintsTimingFigures)
{
    CtlRun run = Ctl(L"--repeat 5 DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Has(run.output, "DeleteRegKey: not deleted (0x00000001 S_FALSE)\nactivation: ")) << run.output;
    EXPECT_TRUE(Has(run.output, "\ncalls: 5, round trip median ")) << run.output;
}

// Eight at once take turns on the clients' lease: none ends another's
// server, so every one of them gets all its answers.
TEST_F(Q5dmctl, EightStartedTogetherAllSucceed)
{
    std::vector<CtlRun> runs(8);
    std::vector<std::thread> threads;
    for (CtlRun& run : runs) {
        threads.emplace_back([&run] {
            run.exitCode = q5e2e::RunToEnd(L"\"" + q5e2e::OutBin(L"q5dmctl64.exe") + L"\" --repeat 20 DeleteRegKey HKXX Software",
                                           8 * kRunMs, &run.output);
        });
    }
    for (std::thread& thread : threads) thread.join();
    q5e2e::WaitForNoServers();
    for (const CtlRun& run : runs) {
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(Has(run.output, "DeleteRegKey: not deleted (0x00000001 S_FALSE)\n")) << run.output;
    }
}

TEST_F(Q5dmctl, ActivationFailureIsReported)
{
    // Wine looks in the other registry view when the client's own lacks the
    // class, so neither server may stay registered.
    // Where 32-bit programs cannot run, the 32-bit server was never registered.
    for (int bits : {64, 32}) {
        if (!q5test::WhyBitsCannotRun(bits).empty()) continue;
        ASSERT_EQ(q5e2e::RunToEnd(L"\"" + q5e2e::OutBin(q5e2e::ServerExe(bits)) + L"\" /UnRegServer", kRunMs), 0);
    }
    CtlRun run = Ctl(L"DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Has(run.output, "q5dmctl: activation of the DM COM Server failed: 0x80040154 REGDB_E_CLASSNOTREG")) << run.output;
    std::string why;
    EXPECT_TRUE(q5e2e::RegisterServerAndProxy(why)) << why;
}

TEST_F(Q5dmctl, TraceOptionShowsWhatTheServerDid)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring trace = std::wstring(folder) + L"q5dmctl trace.txt";
    CtlRun run = Ctl(L"--trace \"" + trace + L"\" DeleteRegKey HKXX Software");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "DeleteRegKey: not deleted (0x00000001 S_FALSE)\nserver ended with exit code 0\n");
    std::string text = q5e2e::ReadWholeFile(trace);
    EXPECT_TRUE(Has(text, ">> DeleteRegKey() wrong root branch\r\n")) << text;
    const std::string tail = "CQ5DMServiceClass::Release(): 0\r\nCoRevokeClassObject(g_dwRegisterClass);CoUninitialize";
    EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) << text;
    DeleteFileW(trace.c_str());
}

namespace {

// The texts of the watch lines ("hh:mm:ss.mmm [pid] program: text") of the
// first process seen, in order; `programs` gets each one's program name.
std::vector<std::string> TextsOfFirstProcess(const std::string& output, std::vector<std::string>& programs)
{
    std::vector<std::string> texts;
    std::string firstPid;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        size_t open = line.find(" ["), close = line.find("] "), colon = line.find(": ", close);
        if (open != 12 || close == std::string::npos || colon == std::string::npos) continue;  // the watch's own notes
        std::string pid = line.substr(open + 2, close - open - 2);
        if (firstPid.empty()) firstPid = pid;
        if (pid != firstPid) continue;
        programs.push_back(line.substr(close + 2, colon - close - 2));
        texts.push_back(line.substr(colon + 2));
    }
    return texts;
}

}  // namespace

// The watch and the server of this test's own bitness; the watch runs until
// a placeholder process ends.
TEST_F(Q5dmctl, WatchShowsACOMStartedServersTraceInOrder)
{
    const std::wstring serverW = q5e2e::ServerExe(q5e2e::kOwnBits);
    const std::string server(serverW.begin(), serverW.end());
    auto placeholder = std::make_unique<q5test::ChildProcess>(L"q5child_forever.exe");
    ASSERT_TRUE(placeholder->Started());
    q5e2e::ServerProcess watch(q5e2e::OutBin(q5e2e::kOwnBits == 32 ? L"q5dmctl32.exe" : L"q5dmctl64.exe"),
                               L"watch --until-exit " + std::to_wstring(placeholder->Id()));
    ASSERT_TRUE(watch.Started());
    for (int waited = 0; waited < 400 && !Has(watch.Trace(), "reading the debug output"); ++waited) Sleep(50);
    ASSERT_TRUE(Has(watch.Trace(), "q5dmctl watch: reading the debug output of q5dmsrv64.exe and q5dmsrv32.exe"))
        << watch.Trace();

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
    placeholder.reset();  // ends it
    ASSERT_TRUE(watch.WaitForExit(20000));
    EXPECT_EQ(watch.ExitCode(), 0u) << watch.Trace();

    // COM's own reference traffic in between is its business; the server's
    // lines must all be there, in order, each under the server's name.
    std::vector<std::string> programs;
    const std::vector<std::string> texts = TextsOfFirstProcess(watch.Trace(), programs);
    const std::vector<std::string> expected = {">> KillAnotherMine " + server,
                                               "<< KillAnotherMine",
                                               "CQ5DMServiceClass::AddRef(): 2",
                                               "CQ5DMServiceClass::Release(): 1",
                                               ">> DeleteRegKey() wrong root branch",
                                               ">> KillProcessByName q5-no-such-program.exe",
                                               "<< KillProcessByName",
                                               "CQ5DMServiceClass::Release(): 0",
                                               "CoRevokeClassObject(g_dwRegisterClass);CoUninitialize"};
    size_t at = 0;
    for (const std::string& line : expected) {
        while (at < texts.size() && texts[at] != line) ++at;
        ASSERT_LT(at, texts.size()) << "no line \"" << line << "\" in order in\n" << watch.Trace();
    }
    for (const std::string& program : programs) EXPECT_EQ(program, server);
}
