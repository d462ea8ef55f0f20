#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "options.h"
#include "watch.h"

namespace q5dmctl {
namespace {

constexpr LONG kMaxSeconds = 7 * 24 * 3600;

const char* const kServerPrograms[] = {"q5dmsrv64.exe", "q5dmsrv32.exe"};

bool NeedsValue(int i, int count, const char* option, std::string& error)
{
    if (i + 1 < count) return true;
    error = std::string(option) + " needs a value";
    return false;
}

}  // namespace

bool ParseWatchOptions(int count, wchar_t** words, WatchOptions& options, std::string& error)
{
    options = WatchOptions();
    for (int i = 0; i < count; ++i) {
        LONG value = 0;
        if (wcscmp(words[i], L"--all") == 0) {
            options.all = true;
        } else if (wcscmp(words[i], L"--for") == 0) {
            if (!NeedsValue(i, count, "--for", error)) return false;
            if (!ParseLong(words[++i], value) || value < 1 || value > kMaxSeconds) {
                error = "--for needs a number of seconds from 1 to " + std::to_string(kMaxSeconds);
                return false;
            }
            options.forMs = static_cast<DWORD>(value) * 1000;
        } else if (wcscmp(words[i], L"--until-exit") == 0) {
            if (!NeedsValue(i, count, "--until-exit", error)) return false;
            if (!ParseLong(words[++i], value) || value <= 0) {
                error = "--until-exit needs a process id";
                return false;
            }
            options.untilExitPid = static_cast<DWORD>(value);
        } else {
            std::string word;
            for (const wchar_t* c = words[i]; *c != L'\0'; ++c) word += (*c < 0x80) ? static_cast<char>(*c) : '?';
            error = "unknown watch option " + word;
            return false;
        }
    }
    return true;
}

bool IsServerProgram(const std::string& programName)
{
    for (const char* name : kServerPrograms) {
        if (_stricmp(programName.c_str(), name) == 0) return true;
    }
    return false;
}

std::string FormatWatchLine(const WatchLine& line)
{
    char head[64];
    snprintf(head, sizeof(head), "%02u:%02u:%02u.%03u [%lu] ", line.arrived.wHour, line.arrived.wMinute,
             line.arrived.wSecond, line.arrived.wMilliseconds, static_cast<unsigned long>(line.pid));
    return head + line.program + ": " + line.text;
}

void LineJoiner::Add(DWORD pid, const std::string& program, const SYSTEMTIME& arrived, const std::string& text,
                     std::vector<WatchLine>& out)
{
    size_t start = 0;
    while (start < text.size()) {
        auto found = m_pending.find(pid);
        if (found == m_pending.end()) found = m_pending.emplace(pid, WatchLine{pid, program, arrived, std::string()}).first;
        WatchLine& line = found->second;
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            line.text.append(text, start, std::string::npos);
            if (line.text.size() >= kMaxPending) Flush(pid, out);
            return;
        }
        line.text.append(text, start, end - start);
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        out.push_back(std::move(line));
        m_pending.erase(found);
        start = end + 1;
    }
}

void LineJoiner::Flush(DWORD pid, std::vector<WatchLine>& out)
{
    auto found = m_pending.find(pid);
    if (found == m_pending.end()) return;
    out.push_back(std::move(found->second));
    m_pending.erase(found);
}

void LineJoiner::FlushAll(std::vector<WatchLine>& out)
{
    for (auto& pending : m_pending) out.push_back(std::move(pending.second));
    m_pending.clear();
}

}  // namespace q5dmctl
