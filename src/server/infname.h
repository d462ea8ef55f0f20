// Registry data naming an INF file in the Windows INF folder is trusted only
// when it is a terminated plain file name: the operations that use it delete
// files with administrator rights, and a value such as ..\system32\x.dll
// would lead them out of that folder.
#pragma once

#include <windows.h>
#include <wchar.h>

namespace q5 {

// value/bytes as RegQueryValueExW left them in the caller's buffer.
inline bool IsPlainInfFileName(const wchar_t* value, DWORD bytes)
{
    DWORD chars = bytes / sizeof(wchar_t);
    DWORD length = 0;
    while (length < chars && value[length] != L'\0') ++length;
    if (length == 0 || length == chars) return false;  // empty, or not terminated
    if (wcspbrk(value, L"\\/:") != nullptr) return false;
    if (wcsstr(value, L"..") != nullptr) return false;
    for (DWORD i = 0; i < length; ++i) {
        if (value[i] < L' ') return false;
    }
    // Windows drops trailing dots and spaces from a name, so "." or " "
    // would name the INF folder itself.
    wchar_t last = value[length - 1];
    return last != L'.' && last != L' ';
}

}  // namespace q5
