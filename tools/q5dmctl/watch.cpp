#include "watch.h"

#include <stdio.h>
#include <string.h>

#include <tlhelp32.h>

#include <algorithm>

namespace q5dmctl {
namespace {

enum WatchExit { kWatchDone = 0, kWatchUsage = 1, kWatchChannelHeld = 4 };

// The shared buffer: the writer's process id, then its text. A writer waits
// at most 10 s for the buffer and then drops its text, so the reader hands
// the buffer back as soon as it has copied it (DebugChannel::Take).
constexpr DWORD kBufferBytes = 4096;
// How often ended writers and the end conditions are looked at.
constexpr DWORD kIdleCheckMs = 200;
// After the end condition, what is already on its way still comes in.
constexpr DWORD kDrainMs = 100;
constexpr ULONGLONG kMaxDrainMs = 2000;

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

class MappedView {
public:
    explicit MappedView(HANDLE mapping)
        : m_view(mapping == nullptr ? nullptr : MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kBufferBytes))
    {
    }
    ~MappedView()
    {
        if (m_view != nullptr) UnmapViewOfFile(m_view);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    const char* Get() const { return static_cast<const char*>(m_view); }

private:
    void* m_view;
};

// The viewer's side of the channel. Writers only open these objects, so
// any of them that exists already belongs to another viewer, and two
// viewers would take each other's texts.
class DebugChannel {
public:
    DebugChannel()
        : m_mapping(Create(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferBytes,
                                              L"DBWIN_BUFFER"),
                           "the shared buffer DBWIN_BUFFER")),
          m_bufferReady(Create(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"), "the event DBWIN_BUFFER_READY")),
          m_dataReady(Create(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"), "the event DBWIN_DATA_READY")),
          m_view(m_mapping.Get())
    {
    }
    bool Open() const { return m_problem.empty() && m_view.Get() != nullptr; }
    bool HeldByAnother() const { return m_held; }
    const std::string& Problem() const { return m_problem; }
    HANDLE DataReady() const { return m_dataReady.Get(); }
    void HandBack() const { SetEvent(m_bufferReady.Get()); }
    // The writer's process id and text, then the buffer goes back to the writers.
    void Take(DWORD& pid, std::string& text) const
    {
        const char* view = m_view.Get();
        memcpy(&pid, view, sizeof(pid));
        text.assign(view + sizeof(DWORD), strnlen(view + sizeof(DWORD), kBufferBytes - sizeof(DWORD)));
        HandBack();
    }

private:
    HANDLE Create(HANDLE handle, const char* what)
    {
        DWORD error = GetLastError();
        if (handle == nullptr) {
            if (m_problem.empty()) m_problem = std::string("cannot create ") + what + " (error " + std::to_string(error) + ")";
        } else if (error == ERROR_ALREADY_EXISTS && m_problem.empty()) {
            m_held = true;
            m_problem = std::string("another debug-output viewer already holds the channel: ") + what + " exists";
        }
        return handle;
    }

    std::string m_problem;
    bool m_held = false;
    Handle m_mapping;
    Handle m_bufferReady;
    Handle m_dataReady;
    MappedView m_view;
};

std::string BaseName(const wchar_t* path)
{
    const wchar_t* base = path;
    for (const wchar_t* c = path; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/') base = c + 1;
    }
    char name[MAX_PATH * 3];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, base, -1, name, sizeof(name), nullptr, nullptr);
    return bytes > 0 ? std::string(name) : std::string("?");
}

// The name a process list gives, for a process that cannot be opened.
std::string SnapshotName(DWORD pid)
{
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.Get() == INVALID_HANDLE_VALUE) return "?";
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == pid) return BaseName(entry.szExeFile);
        entry.dwSize = sizeof(entry);
    }
    return "?";
}

// Each writer's program name, read when its first text arrives (the process
// may be gone by the time it is printed), and a handle that tells when it
// has ended; holding it also keeps its id from being reused meanwhile.
class Writers {
public:
    struct Writer {
        std::string program;
        bool shown;
        Handle process;
    };

    Writer& Find(DWORD pid, bool all)
    {
        auto found = m_writers.find(pid);
        if (found != m_writers.end()) return found->second;
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
        std::string program;
        wchar_t path[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (process.Get() != nullptr && QueryFullProcessImageNameW(process.Get(), 0, path, &size)) {
            program = BaseName(path);
        } else {
            program = SnapshotName(pid);
        }
        bool shown = all || IsServerProgram(program);
        return m_writers.emplace(pid, Writer{program, shown, std::move(process)}).first->second;
    }

    // Ids of the writers that have ended.
    std::vector<DWORD> Ended() const
    {
        std::vector<DWORD> ended;
        for (const auto& writer : m_writers) {
            HANDLE process = writer.second.process.Get();
            if (process == nullptr || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) ended.push_back(writer.first);
        }
        return ended;
    }
    void Forget(DWORD pid) { m_writers.erase(pid); }

private:
    std::map<DWORD, Writer> m_writers;
};

// Lines go out as soon as they are complete, one write each, so that a file
// that the demo reads is always current and an abrupt end loses nothing
// already printed. A console gets wide text; a file or pipe gets UTF-8.
class LineWriter {
public:
    LineWriter() : m_out(GetStdHandle(STD_OUTPUT_HANDLE))
    {
        DWORD mode = 0;
        m_console = GetConsoleMode(m_out, &mode) != FALSE;
    }
    void Write(const WatchLine& line)
    {
        std::wstring wide = Widen(FormatWatchLine(line), line.text.size());
        wide += m_console ? L"\n" : L"\r\n";
        DWORD done = 0;
        if (m_console) {
            WriteConsoleW(m_out, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
            return;
        }
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], bytes, nullptr, nullptr);
        WriteFile(m_out, utf8.data(), static_cast<DWORD>(utf8.size()), &done, nullptr);
    }

private:
    // The head is ours (UTF-8: the program name); the text is the writer's,
    // in the ANSI code page as the channel carries it.
    static std::wstring Widen(const std::string& formatted, size_t textBytes)
    {
        std::string head = formatted.substr(0, formatted.size() - textBytes);
        std::string text = formatted.substr(formatted.size() - textBytes);
        return Convert(CP_UTF8, head) + Convert(CP_ACP, text);
    }
    static std::wstring Convert(UINT codePage, const std::string& text)
    {
        if (text.empty()) return std::wstring();
        int chars = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(chars), L'\0');
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], chars);
        return wide;
    }

    HANDLE m_out;
    bool m_console;
};

HANDLE g_stopWatch = nullptr;

BOOL WINAPI StopOnControl(DWORD /*event*/)
{
    SetEvent(g_stopWatch);
    return TRUE;
}

class Watch {
public:
    Watch(const WatchOptions& options, const DebugChannel& channel) : m_options(options), m_channel(channel) {}

    // Takes one text from the channel and prints what it completes.
    void TakeOne()
    {
        DWORD pid = 0;
        std::string text;
        m_channel.Take(pid, text);
        SYSTEMTIME now;
        GetLocalTime(&now);
        Writers::Writer& writer = m_writers.Find(pid, m_options.all);
        if (!writer.shown) return;
        m_joiner.Add(pid, writer.program, now, text, m_lines);
        Print();
    }

    // Ended writers' unfinished lines. Whatever an ended writer sent was
    // signalled before it ended, so a text that waits in the channel is taken
    // first and the ended writers wait for the next check.
    void FlushEnded()
    {
        std::vector<DWORD> ended = m_writers.Ended();
        if (ended.empty()) return;
        if (WaitForSingleObject(m_channel.DataReady(), 0) == WAIT_OBJECT_0) {
            TakeOne();
            return;
        }
        for (DWORD pid : ended) {
            m_joiner.Flush(pid, m_lines);
            m_writers.Forget(pid);
        }
        Print();
    }

    // What is already on its way still comes in, within a bound: writers
    // that never pause must not keep the watch from ending.
    void Finish()
    {
        ULONGLONG until = GetTickCount64() + kMaxDrainMs;
        while (GetTickCount64() < until && WaitForSingleObject(m_channel.DataReady(), kDrainMs) == WAIT_OBJECT_0) TakeOne();
        m_joiner.FlushAll(m_lines);
        Print();
    }

    unsigned long Count() const { return m_count; }

private:
    void Print()
    {
        for (const WatchLine& line : m_lines) m_out.Write(line);
        m_count += static_cast<unsigned long>(m_lines.size());
        m_lines.clear();
    }

    const WatchOptions& m_options;
    const DebugChannel& m_channel;
    Writers m_writers;
    LineJoiner m_joiner;
    LineWriter m_out;
    std::vector<WatchLine> m_lines;
    unsigned long m_count = 0;
};

}  // namespace

int RunWatch(const WatchOptions& options)
{
    Handle untilExit(options.untilExitPid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, options.untilExitPid) : nullptr);
    if (options.untilExitPid != 0) {
        if (untilExit.Get() == nullptr) {
            fprintf(stderr, "q5dmctl watch: no running process with id %lu\n", static_cast<unsigned long>(options.untilExitPid));
            return kWatchUsage;
        }
    }
    Handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopWatch = stop.Get();
    SetConsoleCtrlHandler(StopOnControl, TRUE);

    DebugChannel channel;
    if (!channel.Open()) {
        fprintf(stderr, "q5dmctl watch: %s\n", channel.Problem().c_str());
        return channel.HeldByAnother() ? kWatchChannelHeld : kWatchUsage;
    }
    channel.HandBack();
    fprintf(stderr, "q5dmctl watch: reading the debug output of %s; %s\n",
            options.all ? "every process" : "q5dmsrv64.exe and q5dmsrv32.exe",
            options.untilExitPid != 0 ? "until that process ends" : options.forMs != INFINITE ? "for the given time" : "Ctrl+C ends");
    fflush(stderr);

    Watch watch(options, channel);
    HANDLE waits[3] = {channel.DataReady(), stop.Get(), untilExit.Get()};
    DWORD waitCount = untilExit.Get() != nullptr ? 3 : 2;
    ULONGLONG deadline = options.forMs == INFINITE ? 0 : GetTickCount64() + options.forMs;
    ULONGLONG lastCheck = GetTickCount64();
    for (;;) {
        DWORD timeout = kIdleCheckMs;
        if (deadline != 0) {
            ULONGLONG now = GetTickCount64();
            timeout = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kIdleCheckMs));
        }
        // The channel comes first: an ended process's last text is in it
        // before the process's end is.
        DWORD woke = WaitForMultipleObjects(waitCount, waits, FALSE, timeout);
        if (woke == WAIT_FAILED) break;
        if (woke == WAIT_OBJECT_0) {
            watch.TakeOne();
            // A busy channel still lets ended writers and the end through.
            if (GetTickCount64() - lastCheck < kIdleCheckMs) continue;
        }
        lastCheck = GetTickCount64();
        bool ended = WaitForMultipleObjects(waitCount - 1, waits + 1, FALSE, 0) != WAIT_TIMEOUT;
        if (ended || (deadline != 0 && lastCheck >= deadline)) break;
        watch.FlushEnded();
    }
    watch.Finish();
    fprintf(stderr, "q5dmctl watch: %lu lines\n", watch.Count());
    return kWatchDone;
}

}  // namespace q5dmctl
