#include "trace.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

namespace {
constexpr size_t kTraceChars = 1024;
// The escaped form of a line is written in pieces of at most this many
// characters, so a line of any content needs no more than this stack room.
constexpr size_t kPieceChars = 256;
// The longest escape, "\U0001F600", and a terminator.
constexpr size_t kEscapeRoom = 11;
// Arguments that one format may take; the server's take at most three.
constexpr size_t kMaxArguments = 8;

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

// The string arguments of one line, copied side by side with each carriage
// return or line feed as \u000D or \u000A: a line end that an argument
// brings in would start what reads as a trace line of its own, and unlike
// "\n" the escape is not to be confused with a path such as C:\new. The
// line is cut at kTraceChars - 1 characters, so all copies together never
// need more: what a full pool leaves out would lie beyond the cut. One
// terminator per argument at most.
class EscapedCopies {
public:
    // precision < 0 copies the whole text.
    const wchar_t* Add(const wchar_t* text, int precision)
    {
        if (text == nullptr) return nullptr;  // the runtime writes "(null)"
        wchar_t* copy = m_pool + m_used;
        for (int i = 0; text[i] != L'\0' && i != precision && m_chars < kTraceChars - 1; ++i) {
            wchar_t c = text[i];
            wchar_t escape[kEscapeRoom];
            size_t length = 1;
            if (c == L'\r' || c == L'\n') length = AppendEscape(escape, L'u', c, 4);
            else escape[0] = c;
            for (size_t j = 0; j < length && m_chars < kTraceChars - 1; ++j, ++m_chars) m_pool[m_used++] = escape[j];
        }
        m_pool[m_used++] = L'\0';
        return copy;
    }

private:
    wchar_t m_pool[kTraceChars + kMaxArguments];
    size_t m_used = 0;
    size_t m_chars = 0;  // not counting terminators
};

// Every argument of the conversions below, an int or a wide string, fills
// exactly one pointer-sized slot of the argument list under both the x86
// and the x64 calling convention of Windows, so the arguments can be read
// into such slots and passed on whole, string ones as their copies.
using Slot = uintptr_t;
static_assert(sizeof(Slot) == sizeof(const wchar_t*) && sizeof(Slot) >= sizeof(int), "one slot per argument");

class Arguments {
public:
    bool Add(Slot value)
    {
        if (m_count == kMaxArguments) return false;
        m_slots[m_count++] = value;
        return true;
    }
    // On x64 the runtime reads an int from the low half of its slot.
    bool AddInt(int value) { return Add(static_cast<Slot>(static_cast<unsigned>(value))); }
    size_t Room() const { return kMaxArguments - m_count; }
    const Slot* Slots() const { return m_slots; }

private:
    Slot m_slots[kMaxArguments] = {};
    size_t m_count = 0;
};

// %s, or %.*s, whose precision then cuts the text before its line ends are
// escaped: the copy goes on with its own length as the precision.
bool AddString(const wchar_t*& at, va_list* args, Arguments& arguments, EscapedCopies& copies)
{
    bool cut = *at == L'.';
    at += cut ? 3 : 1;
    if (arguments.Room() < (cut ? 2u : 1u)) return false;
    int precision = cut ? va_arg(*args, int) : -1;
    const wchar_t* copy = copies.Add(va_arg(*args, const wchar_t*), precision);
    if (cut) arguments.AddInt(copy == nullptr ? precision : static_cast<int>(wcslen(copy)));
    return arguments.Add(reinterpret_cast<Slot>(copy));
}

// Flags, then a width and a precision in digits, each part at most once, as
// in "%-08.3X"; at the conversion letter after them. The runtime skips a
// spelling beyond that, such as "%5.5.5d", without taking its argument, so
// that every later conversion would read the argument before its own.
const wchar_t* SkipIntegerSpec(const wchar_t* at)
{
    at += wcsspn(at, L"-+ #0");
    at += wcsspn(at, L"0123456789");
    if (*at == L'.') at += 1 + wcsspn(at + 1, L"0123456789");
    return at;
}

// The conversions of the server's formats: %s and %.*s, and d, i, u, x, X
// and o with flags, width and precision in digits. False for any other,
// and then no further argument is read.
bool CollectArguments(const wchar_t* format, va_list* args, Arguments& arguments, EscapedCopies& copies)
{
    for (const wchar_t* at = wcschr(format, L'%'); at != nullptr; at = wcschr(at, L'%')) {
        ++at;
        if (*at == L'%') {
            ++at;
        } else if (*at == L's' || wcsncmp(at, L".*s", 3) == 0) {
            if (!AddString(at, args, arguments, copies)) return false;
        } else {
            at = SkipIntegerSpec(at);
            if (*at == L'\0' || wcschr(L"diuxXo", *at) == nullptr || !arguments.AddInt(va_arg(*args, int))) return false;
            ++at;
        }
    }
    return true;
}

// _snwprintf keeps the Microsoft meaning of %s in a wide format, unlike the
// C99 family that libstdc++ switches mingw's wprintf to. A format with a
// conversion of another kind or a misspelt one (a mistake of ours, none of
// the server's has one) goes out as it stands: its line is still there to be found, and no
// argument is read in a way it was not passed.
void FormatLine(wchar_t (&buffer)[kTraceChars], const wchar_t* format, va_list* args)
{
    EscapedCopies copies;
    Arguments arguments;
    if (!CollectArguments(format, args, arguments, copies)) {
        wcsncpy(buffer, format, kTraceChars - 1);
    } else {
        const Slot* s = arguments.Slots();
        _snwprintf(buffer, kTraceChars - 1, format, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    }
    buffer[kTraceChars - 1] = L'\0';
}

}  // namespace

void LogTrace(const wchar_t* format, ...)
{
    wchar_t buffer[kTraceChars];
    va_list args;
    va_start(args, format);
    FormatLine(buffer, format, &args);
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
