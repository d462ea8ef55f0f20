// Paths that the driver-file operations build from the Windows and system
// directories, caller arguments, registry data and INF strings. A path is
// made whole or not at all: one that would not fit a MAX_PATH buffer is
// refused, so a cut path can never name a different file.
#pragma once

#include <windows.h>
#include <wchar.h>

#include <initializer_list>
#include <string>

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

// The parts joined without a bound, for a trace that names a refused path.
inline std::wstring JoinForTrace(std::initializer_list<const wchar_t*> parts)
{
    std::wstring text;
    for (const wchar_t* part : parts) text += part;
    return text;
}

}  // namespace q5
