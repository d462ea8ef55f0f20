// The robustness run's own logic: that its hostile calls stay in their
// scratch places, and that its trace check tells a whole trace from one
// with cut or lost lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "calls.h"
#include "expect.h"

namespace {

q5fuzz::Scratch TestScratch()
{
    q5fuzz::Scratch scratch;
    scratch.root = L"C:\\q5fuzz\\scratch";
    scratch.backupBase = scratch.root + L"\\b\\1\\2\\3\\4\\5\\6\\7";
    scratch.copyBase = scratch.root + L"\\c\\1\\2\\3\\4\\5\\6\\7";
    scratch.modemInf = scratch.root + L"\\modem.inf";
    scratch.comPorts = true;
    return scratch;
}

bool StartsWith(const std::wstring& text, const std::wstring& head) { return text.compare(0, head.size(), head) == 0; }

std::wstring LastElement(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

TEST(FuzzCalls, EveryCallStaysInItsPlaces)
{
    const q5fuzz::Scratch scratch = TestScratch();
    q5fuzz::Generator generator(7, scratch, q5fuzz::Guards());
    std::vector<q5fuzz::Call> calls = generator.Revealing();
    for (int i = 0; i < 20000; ++i) calls.push_back(generator.Next());
    for (const q5fuzz::Call& call : calls) {
        const std::wstring name = call.method->name;
        const std::wstring* t = call.text;
        SCOPED_TRACE(q5fuzz::Shown(name + L" " + t[0] + L" | " + t[1] + L" | " + t[2] + L" | " + t[3], 200));
        if (name == L"BackupDriver") {
            EXPECT_TRUE(StartsWith(t[3], scratch.backupBase));
            EXPECT_TRUE(StartsWith(t[2], scratch.copyBase));
            EXPECT_LE(q5fuzz::ParentSteps(t[1]) + q5fuzz::ParentSteps(t[3].substr(scratch.backupBase.size())),
                      q5fuzz::kMaxParentSteps);
            EXPECT_LE(q5fuzz::ParentSteps(t[2].substr(scratch.copyBase.size())), q5fuzz::kMaxParentSteps);
        } else if (name == L"CmdLine") {
            EXPECT_TRUE(StartsWith(LastElement(t[0]), q5fuzz::kMissing));
            EXPECT_EQ(t[0].find(L':'), std::wstring::npos);
        } else if (name == L"SyncExec") {
            std::wstring program = t[0].substr(0, t[0].find(L' '));
            EXPECT_TRUE(program.empty() || StartsWith(program, q5fuzz::kMissing) || program.size() <= 8) << "program token";
        } else if (name == L"RemoveDriver") {
            EXPECT_NE(t[0], q5fuzz::kScratchDevice);
        } else if (name == L"CleanNotInstalled") {
            EXPECT_NE(t[0], L"Modem");
            EXPECT_NE(t[0], L"modem");
        } else if (name == L"DeleteRegKey") {
            bool known = t[0] == L"HKCR" || t[0] == L"HKCU" || t[0] == L"HKLM" || t[0] == L"HKU" || t[0] == L"HKCC";
            bool wholeBranch = t[1].find_first_not_of(L'\\') == std::wstring::npos;
            std::wstring scratchKey = t[0] == L"HKCR" ? L"Q5FuzzScratch\\" : std::wstring(q5fuzz::kScratchKey) + L"\\";
            if (known) {
                EXPECT_TRUE(wholeBranch || StartsWith(t[1], scratchKey));
            }
        } else if (name == L"PatchUninstall") {
            EXPECT_EQ(t[0].find(L"Software\\Microsoft"), std::wstring::npos);
        }
    }
}

TEST(FuzzCalls, RevealingCallsCoverTheKnownFaultKinds)
{
    q5fuzz::Generator generator(1, TestScratch(), q5fuzz::Guards());
    std::vector<std::wstring> seen;
    for (const q5fuzz::Call& call : generator.Revealing()) seen.push_back(call.method->name);
    for (const wchar_t* method : {L"PatchUninstall", L"BackupDriver", L"CmdLine", L"KillProcessByName"}) {
        EXPECT_NE(std::find(seen.begin(), seen.end(), method), seen.end()) << q5fuzz::Shown(method);
    }
}

q5fuzz::Call KillCall(const std::wstring& name)
{
    q5fuzz::Call call;
    call.method = q5dmctl::FindMethod(L"KillProcessByName");
    call.text[0] = name;
    return call;
}

struct TraceCase {
    const char* what;
    std::string trace;
    bool endedByItself;
    std::vector<std::string> faults;  // "missing"/"cut" per faulty call, in order
    bool closingMissing;
};

TEST(FuzzTrace, TellsWholeTracesFromCutAndLostLines)
{
    const std::wstring longName(1100, L'x');
    const std::vector<std::wstring> entries = {
        q5fuzz::EntryLine(KillCall(L"a.exe")),
        q5fuzz::EntryLine(KillCall(L"\x4E2D\x6587.exe")),
        q5fuzz::EntryLine(KillCall(longName)),
        q5fuzz::EntryLine(KillCall(L"Caf\xE9.exe")),
    };
    const std::string closing = "CoRevokeClassObject(g_dwRegisterClass);CoUninitialize";
    const std::string cut1023 = ">> KillProcessByName " + std::string(1023 - 21, 'x');
    const std::string a = ">> KillProcessByName a.exe\r\n<< KillProcessByName\r\n";
    const std::string escaped = ">> KillProcessByName \\u4E2D\\u6587.exe\r\n<< KillProcessByName\r\n";
    const std::string cutAtHigh = ">> KillProcessByName << KillProcessByName\r\n";
    const std::string longLine = cut1023 + "<< KillProcessByName\r\n";
    const std::string latin1 = ">> KillProcessByName Caf\xE9.exe\r\n<< KillProcessByName\r\n";
    const TraceCase cases[] = {
        {"whole, escaped", a + escaped + longLine + latin1 + closing, true, {}, false},
        {"cut at a character above U+00FF", a + cutAtHigh + longLine + latin1 + closing, true, {"cut"}, false},
        {"buffered lines lost at a kill", a + escaped, false, {"missing", "missing"}, false},
        {"closing lines lost at a normal end", a + escaped + longLine + latin1, true, {}, true},
        {"Latin-1 changed", a + escaped + longLine + ">> KillProcessByName Caf?.exe\r\n" + closing, true, {"missing"}, false},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.what);
        q5fuzz::TraceCheck check = q5fuzz::CheckTrace(c.trace, entries, c.endedByItself);
        std::vector<std::string> faults;
        for (const q5fuzz::TraceFault& fault : check.faults) faults.push_back(fault.what);
        EXPECT_EQ(faults, c.faults);
        EXPECT_EQ(check.closingMissing, c.closingMissing);
    }
}

TEST(FuzzTrace, EntryLinesFollowTheServerFormats)
{
    q5fuzz::Call del;
    del.method = q5dmctl::FindMethod(L"DeleteRegKey");
    del.text[0] = L"HKCU";
    del.text[1] = L"Software\\X";
    EXPECT_EQ(q5fuzz::EntryLine(del), L">> DeleteRegKey('HKCU\\Software\\X')\n");
    del.text[0] = L"hkcu";
    EXPECT_EQ(q5fuzz::EntryLine(del), L">> DeleteRegKey() wrong root branch\n");
    q5fuzz::Call claim;
    claim.method = q5dmctl::FindMethod(L"ClaimComPort");
    EXPECT_EQ(q5fuzz::EntryLine(claim), L"");
    EXPECT_EQ(q5fuzz::EntryLine(KillCall(std::wstring(2000, L'y'))).size(), 1023u);
    EXPECT_EQ(q5fuzz::EntryLine(KillCall(L"a\r\nb")), L">> KillProcessByName a\\u000D\\u000Ab\n");
}

}  // namespace
