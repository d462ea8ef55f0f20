// What the desktop application expects to find in Chinese.dll, by identifier.
#pragma once

#include <windows.h>

#include <vector>

namespace langpack {

constexpr WORD kLangTaiwan = 1028;
constexpr WORD kLangUsEnglish = 1033;

struct ExpectedString {
    UINT uId;
    const wchar_t* pszText;
};

struct ExpectedControl {
    int nId;                  // -1 stands for "no identifier"
    const wchar_t* pszClass;  // predefined classes are stored as ordinals
    const wchar_t* pszText;
    WORD wTextOrdinal;        // non-zero: the text is a resource ordinal (an icon)
    short x, y, cx, cy;
    DWORD dwStyle;
    DWORD dwExStyle;
};

struct ExpectedDialog {
    WORD wId;
    bool bExtended;
    const wchar_t* pszCaption;  // nullptr: no caption
    short cx, cy;
    DWORD dwStyle;
    DWORD dwExStyle;
    std::vector<ExpectedControl> controls;
};

struct ExpectedMenuItem {
    int nDepth;
    bool bPopup;
    WORD wId;
    const wchar_t* pszText;
    WORD wState;  // MF_GRAYED, MF_CHECKED or 0
};

struct ExpectedMenu {
    WORD wId;
    std::vector<ExpectedMenuItem> items;
};

struct ExpectedBitmap {
    WORD wId;
    LONG lWidth, lHeight;
    WORD wBitCount;
};

struct ExpectedIconImage {
    BYTE bSize;
    WORD wImageId;
};

struct ExpectedIconGroup {
    WORD wId;
    std::vector<ExpectedIconImage> images;
    bool bGrey;
};

struct ExpectedWave {
    WORD wId;
    DWORD dwDataBytes;
};

struct ExpectedVersionString {
    const wchar_t* pszKey;
    const wchar_t* pszValue;  // nullptr: the maker's notice, any non-empty text
};

extern const std::vector<ExpectedString> kStrings;
extern const std::vector<UINT> kStringGaps;
extern const std::vector<ExpectedDialog> kDialogs;
extern const std::vector<ExpectedMenu> kMenus;
extern const std::vector<ExpectedBitmap> kBitmaps;
extern const std::vector<ExpectedIconGroup> kIconGroups;
extern const std::vector<ExpectedWave> kWaves;
extern const DWORD kWaveTotalBytes;
extern const std::vector<const char*> kManifestInOrder;
extern const std::vector<ExpectedVersionString> kVersionStrings;

}  // namespace langpack
