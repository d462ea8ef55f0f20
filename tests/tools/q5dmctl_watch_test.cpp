// The watch's handling of what the debug-output channel brings: pieces of
// text per process, joined into lines, filtered and formatted.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "watch.h"

using namespace q5dmctl;

namespace {

SYSTEMTIME At(WORD second, WORD milliseconds = 0)
{
    SYSTEMTIME time = {};
    time.wHour = 9;
    time.wMinute = 5;
    time.wSecond = second;
    time.wMilliseconds = milliseconds;
    return time;
}

struct Piece {
    DWORD pid;
    const char* text;
};

// pid:text of each line, in the order the joiner gave them.
std::vector<std::string> Join(const std::vector<Piece>& pieces, bool flushAll)
{
    LineJoiner joiner;
    std::vector<WatchLine> lines;
    WORD second = 0;
    for (const Piece& piece : pieces) joiner.Add(piece.pid, "p" + std::to_string(piece.pid), At(second++), piece.text, lines);
    if (flushAll) joiner.FlushAll(lines);
    std::vector<std::string> out;
    for (const WatchLine& line : lines) {
        EXPECT_EQ(line.program, "p" + std::to_string(line.pid));
        out.push_back(std::to_string(line.pid) + ":" + line.text);
    }
    return out;
}

}  // namespace

TEST(LineJoiner, JoinsEachProcessesPiecesIntoLines)
{
    struct Case {
        const char* what;
        std::vector<Piece> pieces;
        bool flushAll;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"one line per piece", {{7, "a\n"}, {7, "b\n"}}, false, {"7:a", "7:b"}},
        {"CRLF and LF both end a line", {{7, "a\r\n"}, {7, "b\r"}, {7, "\nc\n"}}, false, {"7:a", "7:b", "7:c"}},
        {"several lines in one piece", {{7, "a\nb\n\nc"}}, false, {"7:a", "7:b", "7:"}},
        {"a piece without a line end waits", {{7, "Found crashed... Try to kill"}}, false, {}},
        {"and joins the same process's next piece",
         {{7, "Helper found... Try to kill"}, {7, "<< KillProcessByName\n"}},
         false,
         {"7:Helper found... Try to kill<< KillProcessByName"}},
        {"never across processes",
         {{7, "Drievr description : A"}, {9, "x\n"}, {7, "Drievr description : B"}, {9, "y\n"}},
         true,
         {"9:x", "9:y", "7:Drievr description : ADrievr description : B"}},
        {"the shutdown pair comes out at the end",
         {{7, "CQ5DMServiceClass::Release(): 0\n"}, {7, "CoRevokeClassObject(g_dwRegisterClass);"}, {7, "CoUninitialize"}},
         true,
         {"7:CQ5DMServiceClass::Release(): 0", "7:CoRevokeClassObject(g_dwRegisterClass);CoUninitialize"}},
        {"empty pieces change nothing", {{7, ""}, {7, "a"}, {7, ""}, {7, "\n"}}, false, {"7:a"}},
        {"interleaved writers keep their own order",
         {{1, "a1\n"}, {2, "b1\n"}, {1, "a2"}, {2, "b2"}, {1, "\n"}, {2, "\n"}},
         false,
         {"1:a1", "2:b1", "1:a2", "2:b2"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Join(c.pieces, c.flushAll), c.lines) << c.what;
    }
}

TEST(LineJoiner, ALineKeepsTheTimeOfItsFirstPieceAndFlushGoesByProcess)
{
    LineJoiner joiner;
    std::vector<WatchLine> lines;
    joiner.Add(7, "q5dmsrv64.exe", At(1, 250), "CoRevokeClassObject(g_dwRegisterClass);", lines);
    joiner.Add(8, "q5dmsrv32.exe", At(2), "waits", lines);
    joiner.Add(7, "q5dmsrv64.exe", At(3), "CoUninitialize", lines);
    EXPECT_TRUE(lines.empty());
    joiner.Flush(7, lines);
    joiner.Flush(7, lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(FormatWatchLine(lines[0]), "09:05:01.250 [7] q5dmsrv64.exe: CoRevokeClassObject(g_dwRegisterClass);CoUninitialize");
    EXPECT_TRUE(joiner.Pending(8));
    EXPECT_FALSE(joiner.Pending(7));
}

TEST(LineJoiner, AProcessThatNeverEndsItsLinesIsPrintedInBoundedParts)
{
    LineJoiner joiner;
    std::vector<WatchLine> lines;
    const std::string piece(1000, 'x');
    for (size_t written = 0; written < LineJoiner::kMaxPending + 1000; written += piece.size()) {
        joiner.Add(7, "p", At(0), piece, lines);
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GE(lines[0].text.size(), LineJoiner::kMaxPending);
    EXPECT_LT(lines[0].text.size(), LineJoiner::kMaxPending + piece.size());
}

TEST(Watch, ShowsOurServerProgramsByDefault)
{
    for (const char* ours : {"q5dmsrv64.exe", "q5dmsrv32.exe", "Q5DMSRV64.EXE"}) EXPECT_TRUE(IsServerProgram(ours)) << ours;
    for (const char* other : {"q5dmctl64.exe", "q5dmsrv64.exe.bak", "q5floor64.exe", "?", ""}) {
        EXPECT_FALSE(IsServerProgram(other)) << other;
    }
}
