// The check that keeps registry data naming an INF inside the INF folder.
#include <gtest/gtest.h>

#include <string>

#include "infname.h"

namespace {

// As RegQueryValueExW leaves a REG_SZ: the text, its terminator, the count.
bool Accepts(const std::wstring& text)
{
    return q5::IsPlainInfFileName(text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

TEST(InfFileName, AcceptsPlainNames)
{
    for (const wchar_t* name : {L"oem12.inf", L"x", L"modem.inf.bak", L"a b.inf", L".hidden.inf"})
        EXPECT_TRUE(Accepts(name)) << name;
}

TEST(InfFileName, RefusesWhatCouldLeaveTheFolder)
{
    for (const wchar_t* name : {L"", L"..\\system32\\x.dll", L"..", L"a..b", L"sub\\x.inf", L"sub/x.inf",
                                L"C:\\x.inf", L"C:x.inf", L"\\\\server\\share\\x.inf", L".", L" ", L". ",
                                L"oem1.inf.", L"oem1.inf ", L"\x01", L"oem\t1.inf", L"*.inf", L"oem?.inf",
                                L"oem<.inf", L"oem>.inf", L"o\"m.inf", L"oem|1.inf"})
        EXPECT_FALSE(Accepts(name)) << "[" << name << "]";
}

TEST(InfFileName, HoldsStringsToNamesShorterThanMaxPath)
{
    EXPECT_TRUE(q5::IsPlainFileName(std::wstring(MAX_PATH - 1, L'n').c_str()));
    EXPECT_FALSE(q5::IsPlainFileName(std::wstring(MAX_PATH, L'n').c_str()));
    EXPECT_FALSE(q5::IsPlainFileName(std::wstring(100000, L'n').c_str()));
    for (const wchar_t* name : {L"", L"..\\x.sys", L"x*.sys", L"x?.sys", L"a\\b", L".."})
        EXPECT_FALSE(q5::IsPlainFileName(name)) << "[" << name << "]";
    EXPECT_TRUE(q5::IsPlainFileName(L"modem.sys"));
}

TEST(InfFileName, RefusesDataWithoutTerminator)
{
    const wchar_t data[] = {L'o', L'e', L'm', L'1', L'.', L'i', L'n', L'f'};
    EXPECT_FALSE(q5::IsPlainInfFileName(data, sizeof(data)));
    // The same text is accepted once the count takes in a terminator.
    const wchar_t terminated[] = L"oem1.inf";
    EXPECT_TRUE(q5::IsPlainInfFileName(terminated, sizeof(terminated)));
    // An odd byte count cannot hide a terminator in half a character.
    EXPECT_FALSE(q5::IsPlainInfFileName(terminated, 17));
}

TEST(InfFileName, RefusesDeviceNamesWithAnyExtensionAndCase)
{
    for (const wchar_t* name : {L"CON", L"con", L"Prn.inf", L"aux.sys", L"NUL.txt.inf", L"nul .inf", L"COM1",
                                L"com9.sys", L"LPT1.inf", L"lpt0", L"COM\u00B9", L"LPT\u00B3.cat", L"CONIN$",
                                L"conout$.inf", L"NUL  .cat"})
        EXPECT_FALSE(Accepts(name)) << "[" << name << "]";
    // Names that only begin or end like a device are files.
    for (const wchar_t* name : {L"CONSOLE.inf", L"NULL", L"COM10.sys", L"LPT.inf", L"com1x.inf", L"AUXILIARY",
                                L"x.con", L"nul_1.inf", L"COM\u00B4.inf"})
        EXPECT_TRUE(Accepts(name)) << "[" << name << "]";
}
