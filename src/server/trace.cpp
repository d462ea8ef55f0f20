#include "trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

namespace {
constexpr size_t kTraceChars = 1024;
// The escaped form of a line is written in pieces of at most this many
// characters, so a line of any content needs no more than this stack room.
constexpr size_t kPieceChars = 256;
// The longest escape, "\U0001F600", and a terminator.
constexpr size_t kEscapeRoom = 11;
// Flags, width, precision and size of one conversion ("-012.345I64"); a
// longer run is no conversion of the server's.
constexpr ptrdiff_t kFieldChars = 12;

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

// The line as it is built: bounded, cut at kTraceChars - 1 characters.
class LineBuilder {
public:
    explicit LineBuilder(wchar_t (&buffer)[kTraceChars]) : m_pBuffer(buffer) { buffer[0] = L'\0'; }

    // A carriage return or line feed that an argument brings in would start
    // what reads as a trace line of its own; it goes out as \u000D or
    // \u000A (the form standard output already gives other characters),
    // unlike "\n" not to be confused with a path such as C:\new.
    void Append(const wchar_t* text, size_t length, bool escapeLineEnds)
    {
        for (size_t i = 0; i < length; ++i) {
            wchar_t c = text[i];
            if (escapeLineEnds && (c == L'\r' || c == L'\n')) {
                wchar_t escape[kEscapeRoom];
                size_t chars = AppendEscape(escape, L'u', c, 4);
                for (size_t j = 0; j < chars; ++j) Put(escape[j]);
            } else {
                Put(c);
            }
        }
        m_pBuffer[m_used] = L'\0';
    }

private:
    void Put(wchar_t c)
    {
        if (m_used < kTraceChars - 1) m_pBuffer[m_used++] = c;
    }

    wchar_t* m_pBuffer;
    size_t m_used = 0;
};

// What a conversion takes from the argument list.
enum class ArgKind { kInt, kInt64, kPointer, kDouble, kUnknown };

ArgKind KindOf(const wchar_t* size, size_t sizeChars, wchar_t type)
{
    bool wide64 = (sizeChars == 2 && wcsncmp(size, L"ll", 2) == 0) || (sizeChars == 3 && wcsncmp(size, L"I64", 3) == 0);
    bool pointerSized = sizeChars == 1 && size[0] == L'I';
    if (wcschr(L"diouxXcC", type) != nullptr) {
        if (wide64) return ArgKind::kInt64;
        if (pointerSized) return sizeof(void*) == 8 ? ArgKind::kInt64 : ArgKind::kInt;
        bool plain = sizeChars == 0 || (sizeChars <= 2 && wcsspn(size, L"hlw") == sizeChars) ||
                     (sizeChars == 3 && wcsncmp(size, L"I32", 3) == 0);
        return plain ? ArgKind::kInt : ArgKind::kUnknown;
    }
    if (wcschr(L"sSp", type) != nullptr) {
        return sizeChars <= 1 && wcsspn(size, L"hlw") == sizeChars ? ArgKind::kPointer : ArgKind::kUnknown;
    }
    if (wcschr(L"eEfgGaA", type) != nullptr) return sizeChars == 0 ? ArgKind::kDouble : ArgKind::kUnknown;
    return ArgKind::kUnknown;
}

// Appends a '*' field's number from the arguments to the pattern.
void AppendStarField(wchar_t* pattern, size_t& used, va_list* args)
{
    int chars = _snwprintf(pattern + used, 12, L"%d", va_arg(*args, int));
    if (chars > 0) used += static_cast<size_t>(chars);
}

// The characters that one conversion makes of its argument, cut as the
// whole line is. _snwprintf keeps the Microsoft meaning of %s in a wide
// format, unlike the C99 family that libstdc++ switches mingw's wprintf to.
size_t FormatArgument(wchar_t (&piece)[kTraceChars], const wchar_t* pattern, ArgKind kind, va_list* args)
{
    int chars = 0;
    switch (kind) {
    case ArgKind::kInt: chars = _snwprintf(piece, kTraceChars - 1, pattern, va_arg(*args, int)); break;
    case ArgKind::kInt64: chars = _snwprintf(piece, kTraceChars - 1, pattern, va_arg(*args, long long)); break;
    case ArgKind::kPointer: chars = _snwprintf(piece, kTraceChars - 1, pattern, va_arg(*args, void*)); break;
    default: chars = _snwprintf(piece, kTraceChars - 1, pattern, va_arg(*args, double)); break;
    }
    return chars < 0 ? kTraceChars - 1 : static_cast<size_t>(chars);
}

// Formats the one conversion at *at (just past its '%') with its argument,
// as the C runtime would, and appends it with its line ends escaped. False,
// with nothing taken from the arguments, for a conversion this does not know.
bool AppendConversion(LineBuilder& line, const wchar_t*& at, va_list* args)
{
    const wchar_t* size = at + wcsspn(at, L"-+ #0123456789.*");
    size_t sizeChars = wcsspn(size, L"hlwI2346");
    wchar_t type = size[sizeChars];
    ArgKind kind = type == L'\0' ? ArgKind::kUnknown : KindOf(size, sizeChars, type);
    if (kind == ArgKind::kUnknown || size + sizeChars - at > kFieldChars) return false;

    // Each '*' becomes at most 11 digits and sign: "%", the fields, the
    // size, the type and the terminator fit.
    wchar_t pattern[2 + kFieldChars * 11 + 2] = L"%";
    size_t used = 1;
    for (const wchar_t* field = at; field < size; ++field) {
        if (*field == L'*') AppendStarField(pattern, used, args);
        else pattern[used++] = *field;
    }
    wmemcpy(pattern + used, size, sizeChars + 1);
    pattern[used + sizeChars + 1] = L'\0';
    at = size + sizeChars + 1;

    wchar_t piece[kTraceChars];
    line.Append(piece, FormatArgument(piece, pattern, kind, args), true);
    return true;
}

// The format's own text goes in as it is; what each conversion makes of its
// argument goes in with its line ends escaped. A conversion this does not
// know (none of the server's formats holds one) leaves the rest of the
// line to the C runtime, all of it escaped.
void FormatLine(LineBuilder& line, const wchar_t* format, va_list* args)
{
    const wchar_t* at = format;
    while (*at != L'\0') {
        const wchar_t* literal = at;
        while (*at != L'\0' && *at != L'%') ++at;
        line.Append(literal, static_cast<size_t>(at - literal), false);
        if (*at == L'\0') return;
        ++at;
        if (*at == L'%') {
            line.Append(at++, 1, false);
        } else if (!AppendConversion(line, at, args)) {
            wchar_t rest[kTraceChars];
            int chars = _vsnwprintf(rest, kTraceChars - 1, at - 1, *args);
            line.Append(rest, chars < 0 ? kTraceChars - 1 : static_cast<size_t>(chars), true);
            return;
        }
    }
}

}  // namespace

void LogTrace(const wchar_t* format, ...)
{
    wchar_t buffer[kTraceChars];
    LineBuilder line(buffer);
    va_list args;
    va_start(args, format);
    FormatLine(line, format, &args);
    va_end(args);

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
