// Chinese.dll loaded as a data file, held against the catalogue of texts,
// layouts, menus, pictures, prompts, manifest and version block that the
// desktop application loads from it by identifier.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <set>
#include <string>

#include "langpack_tables.h"
#include "resource_reader.h"
#include "test_paths.h"

using namespace langpack;

namespace {

HMODULE Library()
{
    static UniqueModule s_library = LoadAsDataFile(Q5_OUT_BIN_W L"\\Chinese.dll");
    return s_library.get();
}

class LangPack : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Library(), nullptr) << "cannot load Chinese.dll, error " << GetLastError(); }
};

std::wstring Key(LPCWSTR pszName)
{
    return IS_INTRESOURCE(pszName) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(pszName)) : pszName;
}

// ---- catalogue -------------------------------------------------------------------

using Catalogue = std::map<std::wstring, std::set<std::pair<std::wstring, WORD>>>;

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR pszType, LPCWSTR pszName, WORD wLanguage, LONG_PTR lParam)
{
    (*reinterpret_cast<Catalogue*>(lParam))[Key(pszType)].insert({Key(pszName), wLanguage});
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE hModule, LPCWSTR pszType, LPWSTR pszName, LONG_PTR lParam)
{
    EnumResourceLanguagesW(hModule, pszType, pszName, AddLanguage, lParam);
    return TRUE;
}

BOOL CALLBACK AddType(HMODULE hModule, LPWSTR pszType, LONG_PTR lParam)
{
    EnumResourceNamesW(hModule, pszType, AddName, lParam);
    return TRUE;
}

Catalogue ExpectedCatalogue()
{
    Catalogue c;
    auto add = [&c](LPCWSTR pszType, UINT uName, WORD wLanguage) {
        c[Key(pszType)].insert({L"#" + std::to_wstring(uName), wLanguage});
    };
    for (const ExpectedString& s : kStrings) {
        add(RT_STRING, s.uId / 16 + 1, kLangTaiwan);
    }
    for (const ExpectedDialog& d : kDialogs) {
        add(RT_DIALOG, d.wId, kLangTaiwan);
    }
    for (const ExpectedMenu& m : kMenus) {
        add(RT_MENU, m.wId, kLangTaiwan);
    }
    for (const ExpectedBitmap& b : kBitmaps) {
        add(RT_BITMAP, b.wId, kLangTaiwan);
    }
    for (const ExpectedIconGroup& g : kIconGroups) {
        add(RT_GROUP_ICON, g.wId, kLangTaiwan);
        for (const ExpectedIconImage& i : g.images) {
            add(RT_ICON, i.wImageId, kLangTaiwan);
        }
    }
    for (const ExpectedWave& w : kWaves) {
        add(L"WAVE", w.wId, kLangUsEnglish);
    }
    add(RT_MANIFEST, 1, kLangTaiwan);
    add(RT_VERSION, 1, kLangTaiwan);
    return c;
}

TEST_F(LangPack, HoldsExactlyTheCatalogueInItsLanguages)
{
    Catalogue found;
    EnumResourceTypesW(Library(), AddType, reinterpret_cast<LONG_PTR>(&found));
    Catalogue expected = ExpectedCatalogue();
    EXPECT_EQ(expected[Key(RT_STRING)].size(), 16u);
    EXPECT_EQ(found, expected);
}

// ---- strings ---------------------------------------------------------------------

std::map<UINT, std::wstring> ReadStringBlock(UINT uBlock)
{
    std::map<UINT, std::wstring> texts;
    Bytes block = FindResourceBytes(Library(), RT_STRING, MAKEINTRESOURCEW(uBlock), kLangTaiwan);
    const BYTE* p = block.pData;
    const BYTE* pEnd = block.pData + block.cbData;
    for (UINT i = 0; i < 16 && p != nullptr && pEnd - p >= 2; ++i) {
        WORD cch = static_cast<WORD>(p[0] | (p[1] << 8));
        p += 2;
        if (static_cast<size_t>(pEnd - p) < cch * 2u) {
            break;
        }
        std::wstring s(cch, L'\0');
        memcpy(s.data(), p, cch * 2u);
        p += cch * 2u;
        texts[(uBlock - 1) * 16 + i] = s;
    }
    return texts;
}

TEST_F(LangPack, EveryStringIsStoredExactlyAndEverythingElseIsEmpty)
{
    std::set<UINT> blocks;
    for (const ExpectedString& s : kStrings) {
        blocks.insert(s.uId / 16 + 1);
    }
    std::map<UINT, std::wstring> stored;
    for (UINT uBlock : blocks) {
        std::map<UINT, std::wstring> texts = ReadStringBlock(uBlock);
        EXPECT_EQ(texts.size(), 16u) << "block " << uBlock;
        stored.insert(texts.begin(), texts.end());
    }
    std::map<UINT, std::wstring> expected;
    for (UINT uId : kStringGaps) {
        expected[uId] = L"";
    }
    for (const ExpectedString& s : kStrings) {
        expected[s.uId] = s.pszText;
    }
    size_t cNonEmpty = 0;
    for (const auto& [uId, text] : stored) {
        cNonEmpty += text.empty() ? 0 : 1;
        if (expected.count(uId) == 0) {
            EXPECT_EQ(text, L"") << "id " << uId;
        }
    }
    EXPECT_EQ(cNonEmpty, 102u);
    for (const auto& [uId, text] : expected) {
        ASSERT_EQ(stored.count(uId), 1u) << "id " << uId;
        EXPECT_EQ(stored[uId], text) << "id " << uId;
    }
}

TEST_F(LangPack, LoadStringAnswersEachIdentifierOnItsOwn)
{
    wchar_t buf[512];
    for (const ExpectedString& s : kStrings) {
        int cch = LoadStringW(Library(), s.uId, buf, ARRAYSIZE(buf));
        EXPECT_EQ(std::wstring(buf, cch > 0 ? cch : 0), s.pszText) << "id " << s.uId;
    }
    EXPECT_EQ(LoadStringW(Library(), 3012, buf, ARRAYSIZE(buf)), 0);
    EXPECT_EQ(LoadStringW(Library(), 4009, buf, ARRAYSIZE(buf)), 0);
}

// ---- dialogs -------------------------------------------------------------------

void ExpectClass(const NameOrOrdinal& stored, const std::wstring& name)
{
    static const std::map<std::wstring, WORD> kPredefined = {
        {L"BUTTON", 0x80}, {L"EDIT", 0x81}, {L"STATIC", 0x82}, {L"LISTBOX", 0x83},
        {L"SCROLLBAR", 0x84}, {L"COMBOBOX", 0x85}};
    auto it = kPredefined.find(name);
    if (it != kPredefined.end()) {
        EXPECT_TRUE(stored.bOrdinal) << "class " << std::string(name.begin(), name.end());
        EXPECT_EQ(stored.wOrdinal, it->second);
    } else {
        EXPECT_FALSE(stored.bOrdinal);
        EXPECT_EQ(stored.text, name);
    }
}

std::wstring MakersNotice();

void ExpectControl(const ParsedControl& c, const ExpectedControl& e, bool bExtended)
{
    SCOPED_TRACE("control " + std::to_string(e.nId));
    DWORD dwNone = bExtended ? 0xFFFFFFFFu : 0xFFFFu;
    EXPECT_EQ(c.dwId, e.nId == -1 ? dwNone : static_cast<DWORD>(e.nId));
    ExpectClass(c.windowClass, e.pszClass);
    if (e.wTextOrdinal != 0) {
        EXPECT_TRUE(c.text.bOrdinal);
        EXPECT_EQ(c.text.wOrdinal, e.wTextOrdinal);
    } else {
        EXPECT_FALSE(c.text.bOrdinal);
        EXPECT_EQ(c.text.text, e.pszText != nullptr ? std::wstring(e.pszText) : MakersNotice());
    }
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.cx, e.cx);
    EXPECT_EQ(c.cy, e.cy);
    EXPECT_EQ(c.dwStyle, e.dwStyle);
    EXPECT_EQ(c.dwExStyle, e.dwExStyle);
    EXPECT_EQ(c.dwHelpId, 0u);
    EXPECT_EQ(c.cbExtra, 0u);
}

TEST_F(LangPack, EveryDialogTemplateMatchesFieldByField)
{
    for (const ExpectedDialog& e : kDialogs) {
        SCOPED_TRACE("dialog " + std::to_string(e.wId));
        std::optional<ParsedDialog> d =
            ParseDialog(FindResourceBytes(Library(), RT_DIALOG, MAKEINTRESOURCEW(e.wId), kLangTaiwan));
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(d->bExtended, e.bExtended);
        EXPECT_EQ(d->dwStyle, e.dwStyle);
        EXPECT_EQ(d->dwExStyle, e.dwExStyle);
        EXPECT_EQ(d->cx, e.cx);
        EXPECT_EQ(d->cy, e.cy);
        EXPECT_FALSE(d->menu.bOrdinal || !d->menu.text.empty()) << "has a menu";
        EXPECT_FALSE(d->windowClass.bOrdinal || !d->windowClass.text.empty()) << "has a class";
        EXPECT_EQ(d->caption, e.pszCaption != nullptr ? e.pszCaption : L"");
        EXPECT_EQ(d->typeface, L"Tahoma");
        EXPECT_EQ(d->wPointSize, 8);
        EXPECT_EQ(d->wWeight, 0);
        EXPECT_EQ(d->bItalic, 0);
        EXPECT_EQ(d->bCharSet, 0);
        ASSERT_EQ(d->controls.size(), e.controls.size());
        for (size_t i = 0; i < e.controls.size(); ++i) {
            ExpectControl(d->controls[i], e.controls[i], e.bExtended);
        }
    }
}

TEST_F(LangPack, NoEditFieldHidesItsInput)
{
    for (const ExpectedDialog& e : kDialogs) {
        std::optional<ParsedDialog> d =
            ParseDialog(FindResourceBytes(Library(), RT_DIALOG, MAKEINTRESOURCEW(e.wId), kLangTaiwan));
        ASSERT_TRUE(d.has_value());
        for (const ParsedControl& c : d->controls) {
            if (c.windowClass.bOrdinal && c.windowClass.wOrdinal == 0x81) {
                EXPECT_EQ(c.dwStyle & ES_PASSWORD, 0u) << "dialog " << e.wId << " control " << c.dwId;
            }
        }
    }
}

// ---- menus ---------------------------------------------------------------------

bool IsLastOfItsLevel(const std::vector<ExpectedMenuItem>& items, size_t i)
{
    for (size_t k = i + 1; k < items.size(); ++k) {
        if (items[k].nDepth <= items[i].nDepth) {
            return items[k].nDepth < items[i].nDepth;
        }
    }
    return true;
}

TEST_F(LangPack, BothMenusHoldTheirItemsStatesAndSeparators)
{
    for (const ExpectedMenu& e : kMenus) {
        SCOPED_TRACE("menu " + std::to_string(e.wId));
        auto items = ParseMenu(FindResourceBytes(Library(), RT_MENU, MAKEINTRESOURCEW(e.wId), kLangTaiwan));
        ASSERT_TRUE(items.has_value());
        ASSERT_EQ(items->size(), e.items.size());
        for (size_t i = 0; i < e.items.size(); ++i) {
            const ParsedMenuItem& got = (*items)[i];
            const ExpectedMenuItem& want = e.items[i];
            SCOPED_TRACE("item " + std::to_string(i));
            WORD wFlags = static_cast<WORD>((want.bPopup ? MF_POPUP : 0) | want.wState |
                                            (IsLastOfItsLevel(e.items, i) ? MF_END : 0));
            EXPECT_EQ(got.nDepth, want.nDepth);
            EXPECT_EQ(got.wFlags, wFlags);
            EXPECT_EQ(got.wId, want.wId);
            EXPECT_EQ(got.text, want.pszText);
        }
    }
}

// ---- pictures ------------------------------------------------------------------

const BITMAPINFOHEADER* Header(Bytes bytes)
{
    return bytes.cbData >= sizeof(BITMAPINFOHEADER) ? reinterpret_cast<const BITMAPINFOHEADER*>(bytes.pData)
                                                    : nullptr;
}

DWORD Stride(LONG lWidth, WORD wBitCount)
{
    return ((static_cast<DWORD>(lWidth) * wBitCount + 31) / 32) * 4;
}

TEST_F(LangPack, EveryBitmapIsAnUncompressedBottomUpDibOfItsSizeAndDepth)
{
    for (const ExpectedBitmap& e : kBitmaps) {
        SCOPED_TRACE("bitmap " + std::to_string(e.wId));
        Bytes bytes = FindResourceBytes(Library(), RT_BITMAP, MAKEINTRESOURCEW(e.wId), kLangTaiwan);
        const BITMAPINFOHEADER* h = Header(bytes);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->biSize, sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(h->biWidth, e.lWidth);
        EXPECT_EQ(h->biHeight, e.lHeight) << "negative means top-down";
        EXPECT_EQ(h->biPlanes, 1);
        EXPECT_EQ(h->biBitCount, e.wBitCount);
        EXPECT_EQ(h->biCompression, static_cast<DWORD>(BI_RGB));
        EXPECT_EQ(h->biClrUsed, 0u);
        DWORD cbPixels = Stride(e.lWidth, e.wBitCount) * e.lHeight;
        ASSERT_EQ(bytes.cbData, sizeof(BITMAPINFOHEADER) + cbPixels);
        if (e.wBitCount == 32) {
            const BYTE* pPixels = bytes.pData + sizeof(BITMAPINFOHEADER);
            for (DWORD i = 3; i < cbPixels; i += 4) {
                ASSERT_EQ(pPixels[i], 0) << "pixel " << i / 4;
            }
        }
    }
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE bWidth, bHeight, bColorCount, bReserved;
    WORD wPlanes, wBitCount;
    DWORD dwBytesInRes;
    WORD nId;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "group icon directory entries are 14 bytes");

bool IsGrey(Bytes image, BYTE bSize)
{
    const BYTE* pPixels = image.pData + sizeof(BITMAPINFOHEADER);
    DWORD dwStride = Stride(bSize, 24);
    for (DWORD y = 0; y < bSize; ++y) {
        for (DWORD x = 0; x < bSize; ++x) {
            const BYTE* p = pPixels + y * dwStride + x * 3;
            if (p[0] != p[1] || p[1] != p[2]) {
                return false;
            }
        }
    }
    return true;
}

void ExpectIconImage(const ExpectedIconImage& e, const GroupIconEntry& entry, bool bGrey)
{
    SCOPED_TRACE("image " + std::to_string(e.wImageId));
    EXPECT_EQ(entry.bWidth, e.bSize);
    EXPECT_EQ(entry.bHeight, e.bSize);
    EXPECT_EQ(entry.wPlanes, 1);
    EXPECT_EQ(entry.wBitCount, 24);
    EXPECT_EQ(entry.nId, e.wImageId);
    Bytes image = FindResourceBytes(Library(), RT_ICON, MAKEINTRESOURCEW(e.wImageId), kLangTaiwan);
    const BITMAPINFOHEADER* h = Header(image);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(entry.dwBytesInRes, image.cbData);
    EXPECT_EQ(h->biWidth, e.bSize);
    EXPECT_EQ(h->biHeight, 2 * e.bSize) << "colour image and mask";
    EXPECT_EQ(h->biBitCount, 24);
    EXPECT_EQ(h->biCompression, static_cast<DWORD>(BI_RGB));
    ASSERT_EQ(image.cbData, sizeof(BITMAPINFOHEADER) + (Stride(e.bSize, 24) + Stride(e.bSize, 1)) * e.bSize);
    EXPECT_EQ(IsGrey(image, e.bSize), bGrey);
}

TEST_F(LangPack, IconGroupsListTheirImagesWhichAre24BitWithAMask)
{
    for (const ExpectedIconGroup& g : kIconGroups) {
        SCOPED_TRACE("icon group " + std::to_string(g.wId));
        Bytes dir = FindResourceBytes(Library(), RT_GROUP_ICON, MAKEINTRESOURCEW(g.wId), kLangTaiwan);
        ASSERT_EQ(dir.cbData, 6 + sizeof(GroupIconEntry) * g.images.size());
        const WORD* pHeader = reinterpret_cast<const WORD*>(dir.pData);
        EXPECT_EQ(pHeader[0], 0);
        EXPECT_EQ(pHeader[1], 1) << "icon, not cursor";
        ASSERT_EQ(pHeader[2], g.images.size());
        for (size_t i = 0; i < g.images.size(); ++i) {
            GroupIconEntry entry;
            memcpy(&entry, dir.pData + 6 + i * sizeof(entry), sizeof(entry));
            ExpectIconImage(g.images[i], entry, g.bGrey);
        }
    }
}

// ---- voice prompts -------------------------------------------------------------

DWORD Le32(const BYTE* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

WORD Le16(const BYTE* p)
{
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

void ExpectWaveFile(Bytes bytes, DWORD dwDataBytes)
{
    ASSERT_EQ(bytes.cbData, 44 + dwDataBytes) << "RIFF header, fmt chunk, data chunk and nothing else";
    const BYTE* p = bytes.pData;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 4), "RIFF");
    EXPECT_EQ(Le32(p + 4), bytes.cbData - 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 8), 8), "WAVEfmt ");
    EXPECT_EQ(Le32(p + 16), 16u);
    EXPECT_EQ(Le16(p + 20), 1) << "PCM";
    EXPECT_EQ(Le16(p + 22), 1) << "channels";
    EXPECT_EQ(Le32(p + 24), 8000u);
    EXPECT_EQ(Le32(p + 28), 16000u);
    EXPECT_EQ(Le16(p + 32), 2) << "block alignment";
    EXPECT_EQ(Le16(p + 34), 16) << "bits per sample";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 36), 4), "data");
    EXPECT_EQ(Le32(p + 40), dwDataBytes);
}

TEST_F(LangPack, EveryVoicePromptIsAPcmWaveOfItsLength)
{
    DWORD dwTotal = 0;
    for (const ExpectedWave& e : kWaves) {
        SCOPED_TRACE("prompt " + std::to_string(e.wId));
        Bytes bytes = FindResourceBytes(Library(), L"WAVE", MAKEINTRESOURCEW(e.wId), kLangUsEnglish);
        ASSERT_TRUE(bytes);
        ExpectWaveFile(bytes, e.dwDataBytes);
        dwTotal += bytes.cbData - 44;
    }
    EXPECT_EQ(dwTotal, kWaveTotalBytes);
}

TEST_F(LangPack, VoicePromptsAreFoundWithoutALanguageButNotInChinese)
{
    for (const ExpectedWave& e : kWaves) {
        LPCWSTR pszName = MAKEINTRESOURCEW(e.wId);
        EXPECT_EQ(FindResourceExW(Library(), L"WAVE", pszName, kLangTaiwan), nullptr) << e.wId;
        EXPECT_NE(FindResourceW(Library(), pszName, L"WAVE"), nullptr) << e.wId;
        EXPECT_NE(FindResourceExW(Library(), L"WAVE", pszName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)), nullptr)
            << e.wId;
    }
}

// ---- manifest and version ------------------------------------------------------

TEST_F(LangPack, ManifestDeclaresTheAssemblyAndRunsAsInvoker)
{
    Bytes bytes = FindResourceBytes(Library(), RT_MANIFEST, MAKEINTRESOURCEW(1), kLangTaiwan);
    ASSERT_TRUE(bytes);
    std::string text(reinterpret_cast<const char*>(bytes.pData), bytes.cbData);
    EXPECT_EQ(text.rfind(kManifestInOrder.front(), 0), 0u) << "the declaration comes first";
    size_t pos = 0;
    for (const char* pszPart : kManifestInOrder) {
        size_t at = text.find(pszPart, pos);
        ASSERT_NE(at, std::string::npos) << pszPart << " missing or out of order";
        pos = at + strlen(pszPart);
    }
}

std::optional<VersionNode> Version()
{
    return ParseVersion(FindResourceBytes(Library(), RT_VERSION, MAKEINTRESOURCEW(1), kLangTaiwan));
}

const VersionNode* StringTable(const VersionNode& root)
{
    const VersionNode* pInfo = root.Child(L"StringFileInfo");
    return pInfo != nullptr ? pInfo->Child(L"040404b0") : nullptr;
}

std::wstring MakersNotice()
{
    std::optional<VersionNode> root = Version();
    const VersionNode* pTable = root ? StringTable(*root) : nullptr;
    const VersionNode* pNotice = pTable != nullptr ? pTable->Child(L"LegalCopyright") : nullptr;
    return pNotice != nullptr ? pNotice->Text() : L"<no LegalCopyright>";
}

TEST_F(LangPack, VersionBlockCarriesFixedPartStringsInOrderAndTranslation)
{
    std::optional<VersionNode> root = Version();
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->key, L"VS_VERSION_INFO");
    ASSERT_EQ(root->value.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, root->value.data(), sizeof(fixed));
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010009u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00020001u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010009u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00020001u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, 0x4u);
    EXPECT_EQ(fixed.dwFileType, 0x1u);
    EXPECT_EQ(fixed.dwFileSubtype, 0u);

    const VersionNode* pInfo = root->Child(L"StringFileInfo");
    ASSERT_NE(pInfo, nullptr);
    ASSERT_EQ(pInfo->children.size(), 1u) << "one string table";
    const VersionNode* pTable = StringTable(*root);
    ASSERT_NE(pTable, nullptr);
    ASSERT_EQ(pTable->children.size(), kVersionStrings.size());
    for (size_t i = 0; i < kVersionStrings.size(); ++i) {
        const VersionNode& entry = pTable->children[i];
        EXPECT_EQ(entry.key, kVersionStrings[i].pszKey);
        EXPECT_EQ(entry.wType, 1) << "text";
        if (kVersionStrings[i].pszValue != nullptr) {
            EXPECT_EQ(entry.Text(), kVersionStrings[i].pszValue);
        } else {
            EXPECT_FALSE(entry.Text().empty());
        }
    }

    const VersionNode* pVar = root->Child(L"VarFileInfo");
    ASSERT_NE(pVar, nullptr);
    const VersionNode* pTranslation = pVar->Child(L"Translation");
    ASSERT_NE(pTranslation, nullptr);
    EXPECT_EQ(pTranslation->value, (std::vector<BYTE>{0x04, 0x04, 0xB0, 0x04}));
}

}  // namespace
