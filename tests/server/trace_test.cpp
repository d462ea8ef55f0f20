#include <gtest/gtest.h>

#include <io.h>
#include <stdio.h>
#include <string>

#include "trace.h"
#include "trace_capture.h"

using q5test::TraceCapture;

namespace {

// Reads what LogTrace sent to standard output while stdout was a file.
class StdoutToFile {
public:
    StdoutToFile()
    {
        GetTempPathW(MAX_PATH, m_path);
        wcscat(m_path, L"q5trace_stdout.txt");
        fflush(stdout);
        m_saved = _dup(_fileno(stdout));
        // Text mode, as a redirected standard output is: wide text is converted
        // to the ANSI code page and "\n" becomes "\r\n".
        FILE* f = _wfopen(m_path, L"w");
        _dup2(_fileno(f), _fileno(stdout));
        fclose(f);
    }
    // Read before standard output is flushed here: every trace text must
    // already be in the file when LogTrace returns.
    std::string Finish()
    {
        std::string text;
        if (FILE* f = _wfopen(m_path, L"rb")) {
            char chunk[4096];
            size_t n;
            while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) text.append(chunk, n);
            fclose(f);
        }
        fflush(stdout);
        _dup2(m_saved, _fileno(stdout));
        _close(m_saved);
        DeleteFileW(m_path);
        return text;
    }

private:
    wchar_t m_path[MAX_PATH];
    int m_saved;
};

}  // namespace

TEST(LogTrace, FormatsWithMicrosoftWideSemantics)
{
    TraceCapture capture;
    LogTrace(L"[%s|%d|%i|%08X|%X|%x]", L"wide", -5, 42, 0xABCu, 0x80004005u, 0xbeefu);
    EXPECT_EQ(capture.Text(), L"[wide|-5|42|00000ABC|80004005|beef]");
}

TEST(LogTrace, AddsNothingAndLeavesLineEndsToTheCaller)
{
    TraceCapture capture;
    LogTrace(L"Found crashed... Try to kill");
    LogTrace(L"<< KillAnotherMine\n");
    EXPECT_EQ(capture.Text(), L"Found crashed... Try to kill<< KillAnotherMine\n");
    EXPECT_EQ(capture.Writes(), 2u);
}

TEST(LogTrace, PrintsPercentInArgumentsLiterally)
{
    TraceCapture capture;
    StdoutToFile out;
    LogTrace(L"key %s\n", L"100%s %d %n done");
    EXPECT_EQ(out.Finish(), "key 100%s %d %n done\r\n");
    EXPECT_EQ(capture.Text(), L"key 100%s %d %n done\n");
}

TEST(LogTrace, WritesWideArgumentsWholeOnStandardOutput)
{
    StdoutToFile out;
    LogTrace(L">> InstallDriver(%s, %s, %d)\n", L"ROOT\\MODEM\\0000", L"C:\\x.inf", 1);
    EXPECT_EQ(out.Finish(), ">> InstallDriver(ROOT\\MODEM\\0000, C:\\x.inf, 1)\r\n");
}

TEST(LogTrace, KeepsExactly1023CharactersAndCutsLongerText)
{
    TraceCapture capture;
    std::wstring exact(1023, L'a');
    LogTrace(L"%s", exact.c_str());
    EXPECT_EQ(capture.Text(), exact);

    capture.Clear();
    std::wstring longer(1022, L'b');
    LogTrace(L"%s%s", longer.c_str(), L"XYZ");
    EXPECT_EQ(capture.Text(), longer + L"X");

    capture.Clear();
    std::wstring huge(5000, L'c');
    LogTrace(L"%s", huge.c_str());
    EXPECT_EQ(capture.Text(), std::wstring(1023, L'c'));
}

TEST(LogTrace, WritesEmptyText)
{
    TraceCapture capture;
    LogTrace(L"");
    EXPECT_EQ(capture.Text(), L"");
    EXPECT_EQ(capture.Writes(), 1u);
}

TEST(LogTrace, WritesCharactersBeyondLatin1AsEscapesOnStandardOutputOnly)
{
    struct Case {
        const wchar_t* text;
        const char* standardOutput;
    };
    const Case cases[] = {
        // Latin-1 goes out byte for byte as the C runtime writes it.
        {L"A\u00e9\u00ff\x0080 Z", "A\xE9\xFF\x80 Z"},
        {L"\u4e2d\u6587 device \u00e9\u0100", "\\u4E2D\\u6587 device \xE9\\u0100"},
        {L"[\U0001F600]", "[\\U0001F600]"},
        {L"[\U0010FFFF\U00010000]", "[\\U0010FFFF\\U00010000]"},
        // Halves of a pair without their other half.
        {L"a\xD83D" L"b", "a\\uD83Db"},
        {L"a\xDE00\xD83D", "a\\uDE00\\uD83D"},
        {L"\xD83D", "\\uD83D"},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        StdoutToFile out;
        LogTrace(L"%s", c.text);
        LogTrace(L"next\n");
        EXPECT_EQ(out.Finish(), std::string(c.standardOutput) + "next\r\n");
        EXPECT_EQ(capture.Text(), std::wstring(c.text) + L"next\n");
    }
}

TEST(LogTrace, EscapesAWholeCutTextOfAnyContent)
{
    // 1023 characters that each take six on standard output.
    TraceCapture capture;
    StdoutToFile out;
    LogTrace(L"%s\n", std::wstring(1100, L'\u4e2d').c_str());
    std::string escaped;
    for (int i = 0; i < 1023; ++i) escaped += "\\u4E2D";
    EXPECT_EQ(out.Finish(), escaped);
    EXPECT_EQ(capture.Text(), std::wstring(1023, L'\u4e2d'));

    // The cut falls between the halves of a pair; escapes of every length
    // meet the ends of the pieces the text is written in.
    capture.Clear();
    StdoutToFile mixed;
    std::wstring text;
    std::string expected;
    for (int i = 0; text.size() < 1022; ++i) {
        switch (i % 3) {
        case 0: text += L"x"; expected += "x"; break;
        case 1: text += L"\u0416"; expected += "\\u0416"; break;
        default: text += L"\U0001F4DE"; expected += "\\U0001F4DE"; break;
        }
    }
    ASSERT_EQ(text.size(), 1022u);
    LogTrace(L"%s%s", text.c_str(), L"\U0001F600");
    EXPECT_EQ(mixed.Finish(), expected + "\\uD83D");
    EXPECT_EQ(capture.Text(), text + L"\xD83D");
}

TEST(LogTrace, WritesLineEndsFromArgumentsEscapedOnBothOutputs)
{
    struct Case {
        const wchar_t* argument;
        const wchar_t* written;  // the argument as both outputs carry it
    };
    const Case cases[] = {
        {L"x.inf\r\n>> DeleteRegKey(HKLM, Software)", L"x.inf\\u000D\\u000A>> DeleteRegKey(HKLM, Software)"},
        {L"\n", L"\\u000A"},
        {L"a\rb", L"a\\u000Db"},
        {L"C:\\new\\x.inf", L"C:\\new\\x.inf"},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        StdoutToFile out;
        LogTrace(L"backup %s\n", c.argument);
        std::wstring line = std::wstring(L"backup ") + c.written + L"\n";
        EXPECT_EQ(capture.Text(), line);
        EXPECT_EQ(out.Finish(), std::string(line.begin(), line.end() - 1) + "\r\n");
    }

    // The format's own line ends stay; a precision cuts the argument before
    // its line ends are escaped.
    TraceCapture capture;
    LogTrace(L"failed: %s \n while removing %s \n[%.*s|%d]\n", L"m\n", L"ROOT\\X", 2, L"\nb\n", 7);
    EXPECT_EQ(capture.Text(), L"failed: m\\u000A \n while removing ROOT\\X \n[\\u000Ab|7]\n");
}

TEST(LogTrace, FormatsEachConversionAsTheCRuntimeDoes)
{
    TraceCapture capture;
    LogTrace(L"%d\n%i\n%08X\n%X\n%x\n%.*s\n%%\n%s\n", -42, 9, 0xABCu, 0x80004005u, 0xbeefu, 3, L"cut off", L"end");
    EXPECT_EQ(capture.Text(), L"-42\n9\n00000ABC\n80004005\nbeef\ncut\n%\nend\n");

    // A conversion that none of the server's formats holds: the format goes
    // out as it stands, arguments unread, its own line end kept.
    capture.Clear();
    LogTrace(L"%s %zu\n", L"a\n", static_cast<size_t>(5));
    EXPECT_EQ(capture.Text(), L"%s %zu\n");
    // So does one spelt wrong, which the runtime would skip without taking
    // its argument, handing that to the %s after it.
    for (const wchar_t* format : {L"%5.5.5d then %s\n", L"%-5-d then %s\n", L"%.5.d then %s\n", L"%5 0d then %s\n"}) {
        capture.Clear();
        LogTrace(format, 7, L"text");
        EXPECT_EQ(capture.Text(), format);
    }
}
