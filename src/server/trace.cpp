#include "trace.h"

#include <stdarg.h>
#include <stdio.h>

namespace {
constexpr size_t kTraceChars = 1024;
}

void LogTrace(const wchar_t* format, ...)
{
    wchar_t buffer[kTraceChars];
    va_list args;
    va_start(args, format);
    // _vsnwprintf keeps the Microsoft meaning of %s in a wide format, unlike
    // the C99 family that libstdc++ switches mingw's wprintf to.
    _vsnwprintf(buffer, kTraceChars - 1, format, args);
    va_end(args);
    buffer[kTraceChars - 1] = L'\0';

    // Written through "%s" so that a '%' inside an argument is not read as a
    // conversion a second time.
    __ms_wprintf(L"%s", buffer);
    OutputDebugStringW(buffer);
}
