// The server's only report channel: standard output and the debugger output.
#pragma once

#include <windows.h>

// Formats like the Windows C runtime's wide printf (%s takes a wide string),
// cuts the text at 1023 characters and writes it to both outputs: unchanged
// to the debugger output, and to standard output, flushed at once, with each
// character beyond U+00FF written as \uXXXX (\UXXXXXXXX for a surrogate
// pair). Nothing is added: a line ends only where the format says "\n". A
// carriage return or line feed that a string argument brings in is written
// as \u000D or \u000A to both outputs, so no argument can start a line.
// Conversions: %s, %.*s, and d, i, u, x, X, o with flags, width and
// precision in digits; a format with any other goes out as it stands.
void LogTrace(const wchar_t* format, ...);
