// Every binary built from the interface definition carries its three
// identifiers once each, side by side, in the order they are declared:
// interface, library, class.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "pe_image.h"
#include "test_paths.h"

namespace {

const GUID kIdentifiers[3] = {
    {0xcc603a56, 0xd9ad, 0x11d2, {0x86, 0xa3, 0x00, 0xc0, 0x4f, 0x8e, 0xf9, 0x40}},  // IQ5DMService
    {0x74c4b0f0, 0xd9ae, 0x11d2, {0x86, 0xa3, 0x00, 0xc0, 0x4f, 0x8e, 0xf9, 0x40}},  // library
    {0x84f2059a, 0xd9ae, 0x11d2, {0x86, 0xa3, 0x00, 0xc0, 0x4f, 0x8e, 0xf9, 0x40}},  // class
};

size_t Occurrences(const q5test::PeImage& image, const void* bytes, size_t size)
{
    size_t count = 0;
    for (const q5test::PeSection& section : image.Sections()) count += image.FindInSection(section.name, bytes, size).size();
    return count;
}

class Identifiers : public ::testing::TestWithParam<const wchar_t*> {};

}  // namespace

TEST_P(Identifiers, StandInDeclarationOrder)
{
    q5test::PeImage image;
    ASSERT_TRUE(image.Load((std::wstring(Q5_OUT_BIN_W) + L"\\" + GetParam()).c_str()));
    EXPECT_EQ(Occurrences(image, kIdentifiers, sizeof(kIdentifiers)), 1u);
    for (const GUID& id : kIdentifiers) EXPECT_EQ(Occurrences(image, &id, sizeof(id)), 1u);
}

INSTANTIATE_TEST_SUITE_P(Binaries, Identifiers,
                         ::testing::Values(L"q5dmsrv64.exe", L"q5dmsrv32.exe", L"dmstub64.dll", L"dmstub32.dll"));
