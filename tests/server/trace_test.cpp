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
    std::string Finish()
    {
        fflush(stdout);
        _dup2(m_saved, _fileno(stdout));
        _close(m_saved);
        std::string text;
        if (FILE* f = _wfopen(m_path, L"rb")) {
            char chunk[4096];
            size_t n;
            while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) text.append(chunk, n);
            fclose(f);
        }
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
