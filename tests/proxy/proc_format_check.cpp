#include "proc_format_check.h"

#include <cstring>
#include <sstream>
#include <string>

namespace q5test {

const uint8_t kTypeFormatString[7] = {0x00, 0x00, 0x11, 0x08, 0x25, 0x5c, 0x00};

namespace {

// The method table as the interface contract lists it, with the per-slot
// figures of its offset table; S is a wide string, L a long.
struct SlotFigures {
    int slot;
    const char* params;
    uint8_t entries;
    uint16_t clientBuffer;
    uint8_t optFlags;
    uint16_t x86Offset, x86Stack, x64Offset, x64Stack;
};

const SlotFigures kSlots[] = {
    {3, "SSL", 4, 8, 0x46, 0, 20, 0, 40},      {4, "S", 2, 0, 0x46, 48, 12, 50, 24},
    {5, "S", 2, 0, 0x46, 84, 12, 88, 24},      {6, "SS", 3, 0, 0x46, 120, 16, 126, 32},
    {7, "SSSS", 5, 0, 0x46, 162, 24, 170, 48}, {8, "SL", 3, 8, 0x46, 216, 16, 226, 32},
    {9, "SSS", 4, 0, 0x46, 258, 20, 270, 40},  {10, "SS", 3, 0, 0x46, 306, 16, 320, 32},
    {11, "SS", 3, 0, 0x46, 348, 16, 364, 32},  {12, "L", 2, 8, 0x44, 390, 12, 408, 24},
    {13, "", 1, 0, 0x44, 426, 8, 446, 16},     {14, "L", 2, 8, 0x44, 456, 12, 478, 24},
    {15, "L", 2, 8, 0x44, 492, 12, 516, 24},   {16, "S", 2, 0, 0x46, 528, 12, 554, 24},
    {17, "SL", 3, 8, 0x46, 564, 16, 592, 32},  {18, "SL", 3, 8, 0x46, 606, 16, 636, 32},
};

// Reads little-endian fields and records the first field that differs.
class EntryReader {
public:
    EntryReader(const uint8_t* bytes, size_t size, size_t at, int slot)
        : m_bytes(bytes), m_size(size), m_at(at), m_slot(slot) {}

    void Byte(const char* field, unsigned expected) { Field(field, 1, expected); }
    void Word(const char* field, unsigned expected) { Field(field, 2, expected); }
    void Dword(const char* field, unsigned expected) { Field(field, 4, expected); }
    size_t Position() const { return m_at; }
    const std::string& Fault() const { return m_fault; }

private:
    void Field(const char* field, size_t width, unsigned expected)
    {
        if (!m_fault.empty()) return;
        if (m_at + width > m_size) {
            m_fault = Describe(field) + " lies past the end of the string";
            return;
        }
        unsigned actual = 0;
        for (size_t i = 0; i < width; ++i) actual |= static_cast<unsigned>(m_bytes[m_at + i]) << (8 * i);
        if (actual != expected) {
            std::ostringstream s;
            s << Describe(field) << " at byte " << m_at << " is 0x" << std::hex << actual << ", expected 0x"
              << expected;
            m_fault = s.str();
        }
        m_at += width;
    }
    std::string Describe(const char* field) const { return "slot " + std::to_string(m_slot) + " " + field; }

    const uint8_t* m_bytes;
    size_t m_size;
    size_t m_at;
    int m_slot;
    std::string m_fault;
};

void ReadHeader(EntryReader& r, const SlotFigures& f, Layout layout)
{
    const bool x64 = layout == Layout::X64;
    r.Byte("handle type", 0x33);
    r.Byte("interpreter flags", 0x6c);
    r.Dword("RPC flags", 0);
    r.Word("procedure number", static_cast<unsigned>(f.slot));
    r.Word("stack size", x64 ? f.x64Stack : f.x86Stack);
    r.Word("client buffer", f.clientBuffer);
    r.Word("server buffer", 8);
    r.Byte("optimisation flags", f.optFlags);
    r.Byte("entry count", f.entries);
    r.Byte("extension size", x64 ? 10 : 8);
    r.Byte("extension flags", 0x01);
    r.Word("client correlation hint", 0);
    r.Word("server correlation hint", 0);
    r.Word("notify index", 0);
    if (x64) r.Word("floating-point mask", 0);
}

void ReadParameters(EntryReader& r, const SlotFigures& f, Layout layout)
{
    const unsigned stackSlot = layout == Layout::X64 ? 8 : 4;
    unsigned offset = stackSlot;
    for (const char* p = f.params; *p; ++p, offset += stackSlot) {
        if (*p == 'S') {
            r.Word("wide string attributes", 0x010b);
            r.Word("wide string stack offset", offset);
            r.Word("wide string type offset", 4);
        } else {
            r.Word("long attributes", 0x0048);
            r.Word("long stack offset", offset);
            r.Word("long type", 0x0008);
        }
    }
    r.Word("result attributes", 0x0070);
    r.Word("result stack offset", offset);
    r.Word("result type", 0x0008);
}

}  // namespace

uint16_t ExpectedProcOffset(Layout layout, int slot)
{
    const SlotFigures& f = kSlots[slot - 3];
    return layout == Layout::X64 ? f.x64Offset : f.x86Offset;
}

::testing::AssertionResult CheckProcFormatString(const uint8_t* bytes, size_t size, Layout layout)
{
    if (bytes == nullptr) return ::testing::AssertionFailure() << "no procedure format string";
    size_t at = 0;
    for (const SlotFigures& f : kSlots) {
        if (at != ExpectedProcOffset(layout, f.slot))
            return ::testing::AssertionFailure() << "slot " << f.slot << " entry starts at " << at;
        EntryReader r(bytes, size, at, f.slot);
        ReadHeader(r, f, layout);
        ReadParameters(r, f, layout);
        if (!r.Fault().empty()) return ::testing::AssertionFailure() << r.Fault();
        at = r.Position();
    }
    if (at >= size || bytes[at] != 0x00) return ::testing::AssertionFailure() << "no terminating 0x00 at " << at;
    if (at + 1 != ProcFormatSize(layout))
        return ::testing::AssertionFailure() << "string is " << at + 1 << " bytes long";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CheckFormatOffsets(const uint16_t* offsets, Layout layout)
{
    if (offsets == nullptr) return ::testing::AssertionFailure() << "no offset table";
    for (int slot = 3; slot <= 18; ++slot) {
        uint16_t actual = offsets[slot - 3];
        if (actual != ExpectedProcOffset(layout, slot))
            return ::testing::AssertionFailure() << "slot " << slot << " offset is " << actual;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace q5test
