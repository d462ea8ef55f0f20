// q5dmctl64.exe as installers and support staff run it, against the server
// and proxy registered in this test's prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "e2e_support.h"

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
    EXPECT_TRUE(Has(help.output, "usage: q5dmctl [--elevate] [--repeat N] [--trace FILE] METHOD [ARGS...]")) << help.output;
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
