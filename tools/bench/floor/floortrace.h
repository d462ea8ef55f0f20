// The floor's stand-in for the server's trace routine: a bounded wide
// buffer, written through "%s" to standard output, flushed, and handed to
// the debugger output, as the server's own does. (Its escaping of
// characters beyond U+00FF never applies to the floor's lines.)
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

namespace q5floor {

inline bool g_bTrace = false;

inline void Trace(const wchar_t* format, ...)
{
    if (!g_bTrace) return;
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 1023, format, args);
    va_end(args);
    buffer[1023] = L'\0';
    __ms_wprintf(L"%s", buffer);
    fflush(stdout);
    OutputDebugStringW(buffer);
}

}  // namespace q5floor
