// q5dmctl watch: the system's debug-output channel read the way debug-output
// viewers read it, one printed line per line of text a process wrote.
//
// The channel carries whatever each OutputDebugString call passed, already
// converted to the ANSI code page; a text without a line end belongs to the
// same line as what that process writes next. The joining, filtering and
// formatting below are kept apart from the channel so they can be tested
// without one.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace q5dmctl {

struct WatchOptions {
    bool all = false;        // every process, not only our servers
    DWORD forMs = INFINITE;  // --for SECONDS
    DWORD untilExitPid = 0;  // --until-exit PID (0: none)
};

// Parses the words after "watch". On failure says why.
bool ParseWatchOptions(int count, wchar_t** words, WatchOptions& options, std::string& error);

// The server programs that the watch shows by default (file names compared
// without regard to case, as Windows compares file names).
bool IsServerProgram(const std::string& programName);

// One finished line of one process.
struct WatchLine {
    DWORD pid;
    std::string program;
    SYSTEMTIME arrived;  // when its first piece arrived
    std::string text;    // ANSI text, without its line end
};

// "hh:mm:ss.mmm [pid] program: text"
std::string FormatWatchLine(const WatchLine& line);

// Joins the pieces of each process into lines, never across processes and
// never out of the order in which one process wrote them.
class LineJoiner {
public:
    // A piece of text as one OutputDebugString call passed it. Every line it
    // completes (ended by "\n"; a "\r" before it is dropped) is appended to
    // `out`; the rest waits for the same process's next piece.
    void Add(DWORD pid, const std::string& program, const SYSTEMTIME& arrived, const std::string& text,
             std::vector<WatchLine>& out);
    // The text that still waits for a line end, as a line of its own: when
    // the process has ended or the watch ends.
    void Flush(DWORD pid, std::vector<WatchLine>& out);
    void FlushAll(std::vector<WatchLine>& out);
    bool Pending(DWORD pid) const { return m_pending.count(pid) != 0; }

    // A process that never ends its lines must not grow the watch without
    // bound: past this many characters the waiting text is printed as a line.
    static constexpr size_t kMaxPending = 64 * 1024;

private:
    std::map<DWORD, WatchLine> m_pending;
};

// Runs the watch until its end condition; returns the process exit code.
int RunWatch(const WatchOptions& options);

}  // namespace q5dmctl
