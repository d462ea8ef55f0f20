// Paths that the driver-file operations build from the Windows and system
// directories, caller arguments, registry data and INF strings. A path is
// made whole or not at all: one that would not fit a MAX_PATH buffer is
// refused, so a cut path can never name a different file.
#pragma once

#include <windows.h>
#include <wchar.h>

#include <initializer_list>

namespace q5 {

// Joins the parts into path. False, with path left empty, when the result
// would need more than MAX_PATH - 1 characters.
inline bool BuildPath(wchar_t (&path)[MAX_PATH], std::initializer_list<const wchar_t*> parts)
{
    size_t length = 0;
    for (const wchar_t* part : parts) {
        size_t partLength = wcsnlen(part, MAX_PATH);
        if (partLength >= MAX_PATH - length) {
            path[0] = L'\0';
            return false;
        }
        wmemcpy(path + length, part, partLength);
        length += partLength;
    }
    path[length] = L'\0';
    return true;
}

// The parts joined for a trace that names a refused path; a trace line holds
// at most 1023 characters, so the text is cut there.
template <size_t N>
void JoinForTrace(wchar_t (&text)[N], std::initializer_list<const wchar_t*> parts)
{
    size_t length = 0;
    for (const wchar_t* part : parts) {
        size_t partLength = wcsnlen(part, N - 1 - length);
        wmemcpy(text + length, part, partLength);
        length += partLength;
    }
    text[length] = L'\0';
}

}  // namespace q5
