#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <string>
#include <vector>

#include "methods.h"
#include "options.h"
#include "results.h"

using namespace q5dmctl;

namespace {

// The parsed options point into these, as they point into argv.
std::vector<std::wstring> g_words;
std::vector<wchar_t*> g_argv;

// Parses a command line given as the words after the program name.
bool Parse(const std::vector<std::wstring>& words, Options& options, std::string& error)
{
    g_words = words;
    g_words.insert(g_words.begin(), L"q5dmctl.exe");
    g_argv.clear();
    for (std::wstring& word : g_words) g_argv.push_back(&word[0]);
    return ParseOptions(static_cast<int>(g_argv.size()), g_argv.data(), options, error);
}

}  // namespace

TEST(ParseLong, TakesTheWhole32BitRangeInDecimalAndHex)
{
    struct Case {
        const wchar_t* text;
        bool ok;
        LONG value;
    };
    const Case cases[] = {
        {L"0", true, 0},
        {L"-1", true, -1},
        {L"+7", true, 7},
        {L"2147483647", true, INT_MAX},
        {L"-2147483648", true, INT_MIN},
        {L"0x7fffffff", true, INT_MAX},
        {L"0x80000000", true, INT_MIN},
        {L"0XFFFFFFFF", true, -1},
        {L"2147483648", false, 0},
        {L"-2147483649", false, 0},
        {L"0x100000000", false, 0},
        {L"0x", false, 0},
        {L"0x-1", false, 0},
        {L"", false, 0},
        {L"12abc", false, 0},
        {L" 1", false, 0},
        {L"1 ", false, 0},
        {L"COM3", false, 0},
    };
    for (const Case& c : cases) {
        LONG value = 12345;
        EXPECT_EQ(ParseLong(c.text, value), c.ok) << "\"" << std::string(c.text, c.text + wcslen(c.text)) << "\"";
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(ParseOptions, TypesEachArgumentByTheMethodTable)
{
    Options options;
    std::string error;
    ASSERT_TRUE(Parse({L"--repeat", L"25", L"--elevate", L"InstallDriver", L"ROOT\\MODEM\\0000", L"", L"-2147483648"},
                      options, error))
        << error;
    EXPECT_TRUE(options.elevate);
    EXPECT_EQ(options.repeat, 25);
    ASSERT_NE(options.method, nullptr);
    EXPECT_STREQ(options.method->name, L"InstallDriver");
    EXPECT_STREQ(options.args[0].text, L"ROOT\\MODEM\\0000");
    EXPECT_STREQ(options.args[1].text, L"");
    EXPECT_EQ(options.args[2].number, INT_MIN);

    ASSERT_TRUE(Parse({L"DeleteRegKey", L"--null", L"Software"}, options, error)) << error;
    EXPECT_EQ(options.args[0].text, nullptr);
    EXPECT_EQ(options.repeat, 1);
    EXPECT_FALSE(options.elevate);

    ASSERT_TRUE(Parse({L"--trace", L"C:\\t.txt", L"RestoreComPorts"}, options, error)) << error;
    EXPECT_STREQ(options.traceFile, L"C:\\t.txt");
    ASSERT_TRUE(Parse({L"RestoreComPorts"}, options, error)) << error;
    EXPECT_EQ(options.traceFile, nullptr);
    ASSERT_TRUE(Parse({L"--help"}, options, error));
    EXPECT_TRUE(options.help);
}

TEST(ParseOptions, ServerBitnessAsksCOMForThatServer)
{
    struct Case {
        std::vector<std::wstring> words;
        ServerBitness bitness;
        DWORD context;
    };
    const Case cases[] = {
        {{L"RestoreComPorts"}, ServerBitness::Default, CLSCTX_LOCAL_SERVER},
        {{L"--server32", L"RestoreComPorts"}, ServerBitness::Bits32, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER},
        {{L"--server64", L"RestoreComPorts"}, ServerBitness::Bits64, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER},
        {{L"--server64", L"--server64", L"--trace", L"t.txt", L"RestoreComPorts"}, ServerBitness::Bits64,
         CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER},
        {{L"--elevate", L"--server32", L"RestoreComPorts"}, ServerBitness::Bits32,
         CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER},
    };
    for (const Case& c : cases) {
        Options options;
        std::string error;
        ASSERT_TRUE(Parse(c.words, options, error)) << error;
        EXPECT_EQ(options.bitness, c.bitness) << c.words.size() << " words";
        EXPECT_EQ(q5dm::ClassContext(options.bitness), c.context);
        EXPECT_FALSE(options.watch);
    }
    const std::string help = HelpText();
    EXPECT_NE(help.find("usage: q5dmctl [--server32 | --server64] [--elevate] [--repeat N] [--trace FILE] METHOD"),
              std::string::npos);
    EXPECT_NE(help.find("  --server32   ask COM for the 32-bit server"), std::string::npos);
}

TEST(ParseOptions, WatchTakesItsOwnOptions)
{
    Options options;
    std::string error;
    ASSERT_TRUE(Parse({L"watch"}, options, error)) << error;
    EXPECT_TRUE(options.watch);
    EXPECT_FALSE(options.watchOptions.all);
    EXPECT_EQ(options.watchOptions.forMs, INFINITE);
    EXPECT_EQ(options.watchOptions.untilExitPid, 0u);
    EXPECT_EQ(options.method, nullptr);

    ASSERT_TRUE(Parse({L"watch", L"--all", L"--for", L"30", L"--until-exit", L"0x1c4"}, options, error)) << error;
    EXPECT_TRUE(options.watchOptions.all);
    EXPECT_EQ(options.watchOptions.forMs, 30000u);
    EXPECT_EQ(options.watchOptions.untilExitPid, 0x1c4u);
    ASSERT_TRUE(Parse({L"watch", L"--help"}, options, error)) << error;
    EXPECT_TRUE(options.help);
}

TEST(ParseOptions, RefusesBadCommandLinesWithAReason)
{
    const std::vector<std::vector<std::wstring>> bad = {
        {},
        {L"--repeat"},
        {L"--repeat", L"0", L"RestoreComPorts"},
        {L"--repeat", L"many", L"RestoreComPorts"},
        {L"--verbose", L"RestoreComPorts"},
        {L"NoSuchMethod"},
        {L"deleteregkey", L"HKCU", L"x"},
        {L"DeleteRegKey", L"HKCU"},
        {L"DeleteRegKey", L"HKCU", L"x", L"y"},
        {L"ClaimComPort", L"COM3"},
        {L"setWOREnabled", L"ROOT\\X\\0", L"4294967296"},
        {L"RestoreComPorts", L"1"},
        {L"--trace", L"RestoreComPorts"},
        {L"--trace", L""},
        {L"--elevate", L"--trace", L"t.txt", L"RestoreComPorts"},
        {L"--server32", L"--server64", L"RestoreComPorts"},
        {L"--server64", L"--server32", L"RestoreComPorts"},
        {L"--server", L"RestoreComPorts"},
        {L"watch", L"--for"},
        {L"watch", L"--for", L"0"},
        {L"watch", L"--until-exit", L"0"},
        {L"watch", L"--until-exit", L"notepad.exe"},
        {L"watch", L"--server64"},
        {L"--all", L"watch"},
    };
    for (const auto& words : bad) {
        Options options;
        std::string error;
        EXPECT_FALSE(Parse(words, options, error)) << "accepted " << words.size() << " words";
        EXPECT_FALSE(error.empty());
    }
}

TEST(HelpText, ListsEveryMethodWithItsParameters)
{
    const std::string help = HelpText();
    ASSERT_EQ(MethodCount(), 16);
    const char* const lines[] = {
        "  InstallDriver deviceInstanceId:string infPath:string noFileCopy:long\n",
        "  RemoveDriver deviceInstanceId:string\n",
        "  KillProcessByName processName:string\n",
        "  PatchUninstall uninstallKey:string uninstallString:string\n",
        "  BackupDriver infName:string subFolder:string infCopyPath:string backupRoot:string\n",
        "  CleanNotInstalled className:string usbVariant:long\n",
        "  CmdLine file:string parameters:string directory:string\n",
        "  SyncExec commandLine:string currentDirectory:string\n",
        "  DeleteRegKey rootName:string subKey:string\n",
        "  ReserveComPortsBelow portNumber:long\n",
        "  RestoreComPorts\n",
        "  ClaimComPort portNumber:long\n",
        "  ReleaseComPort portNumber:long\n",
        "  isDeviceWORable deviceInstanceId:string\n",
        "  setWOREnabled deviceInstanceId:string enable:long\n",
        "  setSuspendAllowed deviceInstanceId:string allow:long\n",
    };
    size_t from = 0;
    for (const char* line : lines) {
        size_t at = help.find(line, from);
        EXPECT_NE(at, std::string::npos) << line;
        if (at != std::string::npos) from = at;
    }
}

TEST(Results, NamesAndClassifiesWhatACallCanBring)
{
    EXPECT_STREQ(ResultName(S_OK), "S_OK");
    EXPECT_STREQ(ResultName(S_FALSE), "S_FALSE");
    EXPECT_STREQ(ResultName(E_FAIL), "E_FAIL");
    EXPECT_STREQ(ResultName(E_NOTIMPL), "E_NOTIMPL");
    EXPECT_STREQ(ResultName(E_NOINTERFACE), "E_NOINTERFACE");
    EXPECT_STREQ(ResultName(static_cast<HRESULT>(0x800706BA)), "RPC_S_SERVER_UNAVAILABLE");
    EXPECT_STREQ(ResultName(static_cast<HRESULT>(0x800706F4)), "RPC_X_NULL_REF_POINTER");
    EXPECT_STREQ(ResultName(static_cast<HRESULT>(0x800401EA)), "MK_E_CANTOPENFILE");
    EXPECT_STREQ(ResultName(static_cast<HRESULT>(0x12345678)), "unknown");

    for (HRESULT answered : {S_OK, S_FALSE, E_FAIL, E_NOTIMPL, E_NOINTERFACE, E_ACCESSDENIED}) {
        EXPECT_FALSE(IsTransportFailure(answered)) << std::hex << answered;
    }
    for (HRESULT lost : {static_cast<HRESULT>(0x800706BA), static_cast<HRESULT>(0x800706BE), static_cast<HRESULT>(0x800706F4),
                         RPC_E_DISCONNECTED, RPC_E_SERVER_DIED_DNE}) {
        EXPECT_TRUE(IsTransportFailure(lost)) << std::hex << lost;
    }
}
