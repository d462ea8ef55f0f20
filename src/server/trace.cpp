#include "trace.h"

#include <stdarg.h>
#include <stdio.h>

namespace {
constexpr size_t kTraceChars = 1024;
// The escaped form of a line is written in pieces of at most this many
// characters, so a line of any content needs no more than this stack room.
constexpr size_t kPieceChars = 256;
// The longest escape, "\U0001F600", and a terminator.
constexpr size_t kEscapeRoom = 11;

bool IsLatin1(const wchar_t* text)
{
    for (; *text != L'\0'; ++text) {
        if (*text > 0xFF) return false;
    }
    return true;
}

size_t AppendEscape(wchar_t* out, wchar_t marker, unsigned value, int digits)
{
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    out[0] = L'\\';
    out[1] = marker;
    for (int i = 0; i < digits; ++i) out[2 + i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    return 2 + static_cast<size_t>(digits);
}

// The C runtime writes standard output in its default locale, which holds
// only the first 256 characters: at the first other one it stops and the
// rest of the text is lost. Such characters go out as \uXXXX, and a
// character beyond the first plane as \UXXXXXXXX of its code point; a half
// of a pair without its other half stays \uXXXX, so nothing of the text is
// lost and the line still ends.
void WriteEscaped(const wchar_t* text)
{
    wchar_t piece[kPieceChars];
    size_t used = 0;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        if (used + kEscapeRoom > kPieceChars) {
            piece[used] = L'\0';
            __ms_wprintf(L"%s", piece);
            used = 0;
        }
        wchar_t c = *at;
        if (c <= 0xFF) {
            piece[used++] = c;
        } else if (IS_HIGH_SURROGATE(c) && IS_LOW_SURROGATE(at[1])) {
            unsigned codePoint = 0x10000 + ((static_cast<unsigned>(c) - 0xD800) << 10) + (at[1] - 0xDC00);
            used += AppendEscape(piece + used, L'U', codePoint, 8);
            ++at;
        } else {
            used += AppendEscape(piece + used, L'u', c, 4);
        }
    }
    piece[used] = L'\0';
    __ms_wprintf(L"%s", piece);
}

}  // namespace

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
    if (IsLatin1(buffer)) {
        __ms_wprintf(L"%s", buffer);
    } else {
        WriteEscaped(buffer);
    }
    // A server that is ended, or crashes, takes what is still buffered with
    // it: exactly the lines that tell what it was doing.
    fflush(stdout);
    OutputDebugStringW(buffer);
}
