// Appends one line to a log file that several child processes share; the
// file is opened for each line so that every line is on disk before the
// child answers the message that caused it.
#pragma once

#include <windows.h>
#include <string.h>
#include <wchar.h>

inline void AppendLogLine(const wchar_t* logPath, const char* line)
{
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    CloseHandle(file);
}

// The first argument after the program name, or null.
inline const wchar_t* FirstArgument(int argc, wchar_t** argv) { return argc > 1 ? argv[1] : nullptr; }
