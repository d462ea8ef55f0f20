// Text that names a file inside a known folder (an INF in the Windows INF
// folder, a file that an INF lists) is trusted only when it is a plain file
// name: the operations that use it copy or delete files with administrator
// rights, and a name such as ..\system32\x.dll would lead them out of that
// folder, while a wildcard would let the shell pick the files itself.
#pragma once

#include <windows.h>
#include <wchar.h>

#include <initializer_list>

namespace q5 {

// Windows opens a device, not a file, for these names in any letter case,
// also with an extension ("nul.inf") and with spaces before it ("COM1 .sys"):
// a copy would write to the device and a read would hang on it. COM and LPT
// count with 0-9 and with the superscripts 1-3, as Windows documents them.
inline bool IsDeviceName(const wchar_t* name, size_t length)
{
    size_t base = 0;
    while (base < length && name[base] != L'.') ++base;
    while (base > 0 && name[base - 1] == L' ') --base;
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (wcslen(device) == base && _wcsnicmp(name, device, base) == 0) return true;
    }
    if (base != 4 || (_wcsnicmp(name, L"COM", 3) != 0 && _wcsnicmp(name, L"LPT", 3) != 0)) return false;
    wchar_t digit = name[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

// The first length characters of name, which hold no terminator.
inline bool IsPlainFileName(const wchar_t* name, size_t length)
{
    if (length == 0 || IsDeviceName(name, length)) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = name[i];
        // Separators, a drive, wildcards (the DOS ones too) and the rest of
        // what Windows never allows in a name.
        if (c < L' ' || wcschr(L"\\/:*?\"<>|", c) != nullptr) return false;
        if (c == L'.' && i + 1 < length && name[i + 1] == L'.') return false;
    }
    // Windows drops trailing dots and spaces from a name, so "." or " "
    // would name the folder itself.
    wchar_t last = name[length - 1];
    return last != L'.' && last != L' ';
}

// A terminated string, such as a caller's argument or an INF string. No
// plain file name reaches MAX_PATH characters.
inline bool IsPlainFileName(const wchar_t* name)
{
    size_t length = wcsnlen(name, MAX_PATH);
    return length < MAX_PATH && IsPlainFileName(name, length);
}

// value/bytes as RegQueryValueExW left them in the caller's buffer: the
// data must hold its own terminator.
inline bool IsPlainInfFileName(const wchar_t* value, DWORD bytes)
{
    DWORD chars = bytes / sizeof(wchar_t);
    DWORD length = 0;
    while (length < chars && value[length] != L'\0') ++length;
    if (length == chars) return false;  // not terminated
    return IsPlainFileName(value, length);
}

}  // namespace q5
