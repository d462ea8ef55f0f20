// An independent reader of IQ5DMService's NDR procedure format string: it
// walks the entries one by one and checks every field against the method
// table and the per-slot figures that the interface contract fixes, so a
// fault in the generator cannot hide behind the generator itself.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace q5test {

enum class Layout { X86, X64 };

constexpr size_t ProcFormatSize(Layout layout) { return layout == Layout::X86 ? 649 : 681; }

// The 7-byte type format string, the same in both builds.
extern const uint8_t kTypeFormatString[7];

// Procedure-string offset of each method's entry, from slot 3.
uint16_t ExpectedProcOffset(Layout layout, int slot);

::testing::AssertionResult CheckProcFormatString(const uint8_t* bytes, size_t size, Layout layout);
// The 16 offsets, one per slot from 3.
::testing::AssertionResult CheckFormatOffsets(const uint16_t* offsets, Layout layout);

}  // namespace q5test
