// Chinese.dll as the desktop application uses it, in a 32-bit process:
// loaded as a library (its entry routine runs) and as a resource module.
// Through the platform's own resource calls every string loads, every
// dialog is created from its template and destroyed, both menus load,
// every bitmap and icon loads, every voice prompt is found.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <clocale>
#include <string>

#include "langpack_tables.h"
#include "test_paths.h"

using namespace langpack;

namespace {

enum class LoadMode { Library, ResourceModule };

HMODULE Load(LoadMode mode)
{
    std::wstring path = std::wstring(Q5_OUT_BIN_W) + L"\\Chinese.dll";
    if (mode == LoadMode::Library) return LoadLibraryW(path.c_str());
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

std::string CurrentLocale()
{
    const char* name = setlocale(LC_ALL, nullptr);
    return name != nullptr ? name : "<null>";
}

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

class LangPackModule : public ::testing::TestWithParam<LoadMode> {
protected:
    static void SetUpTestSuite()
    {
        // The application registers the common controls before it shows a
        // page with a list view.
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
    }
    void SetUp() override
    {
        setlocale(LC_ALL, "C");
        m_module = Load(GetParam());
        ASSERT_NE(m_module, nullptr) << "Chinese.dll: " << GetLastError();
    }
    void TearDown() override
    {
        if (m_module != nullptr) FreeLibrary(m_module);
        setlocale(LC_ALL, "C");
    }

    HMODULE m_module = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Loaded, LangPackModule, ::testing::Values(LoadMode::Library, LoadMode::ResourceModule),
                         [](const ::testing::TestParamInfo<LoadMode>& info) {
                             return info.param == LoadMode::Library ? "AsLibrary" : "AsResourceModule";
                         });

// Only a load as a library runs the entry routine; its unloading hands the
// environment's default locale back.
TEST_P(LangPackModule, EntryRoutineRunsOnlyWhenLoadedAsALibrary)
{
    std::string chinese = setlocale(LC_ALL, "Chinese") != nullptr ? CurrentLocale() : "<refused>";
    std::string fallback = setlocale(LC_ALL, "") != nullptr ? CurrentLocale() : "<refused>";
    setlocale(LC_ALL, "C");
    FreeLibrary(m_module);
    m_module = Load(GetParam());
    ASSERT_NE(m_module, nullptr);

    EXPECT_EQ(CurrentLocale(), GetParam() == LoadMode::Library ? chinese : "C");
    FreeLibrary(m_module);
    m_module = nullptr;
    EXPECT_EQ(CurrentLocale(), GetParam() == LoadMode::Library ? fallback : "C");
}

TEST_P(LangPackModule, EveryStringLoadsAndTheGapsAreEmpty)
{
    wchar_t text[512];
    for (const ExpectedString& s : kStrings) {
        int chars = LoadStringW(m_module, s.uId, text, ARRAYSIZE(text));
        EXPECT_EQ(std::wstring(text, chars > 0 ? chars : 0), s.pszText) << "string " << s.uId;
    }
    for (UINT gap : kStringGaps) EXPECT_EQ(LoadStringW(m_module, gap, text, ARRAYSIZE(text)), 0) << "gap " << gap;
}

// Pages are child dialogs: all are created inside a host window, as the
// application's property sheets and main window do.
TEST_P(LangPackModule, EveryDialogIsCreatedFromItsTemplateWithItsControls)
{
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(host, nullptr) << GetLastError();
    for (const ExpectedDialog& d : kDialogs) {
        SCOPED_TRACE("dialog " + std::to_string(d.wId));
        HWND dialog = CreateDialogParamW(m_module, MAKEINTRESOURCEW(d.wId), host, QuietDialogProc, 0);
        ASSERT_NE(dialog, nullptr) << GetLastError();
        wchar_t caption[256] = {};
        GetWindowTextW(dialog, caption, ARRAYSIZE(caption));
        EXPECT_EQ(std::wstring(caption), d.pszCaption != nullptr ? d.pszCaption : L"");
        for (const ExpectedControl& c : d.controls) {
            if (c.nId == -1) continue;
            EXPECT_NE(GetDlgItem(dialog, c.nId), nullptr) << "control " << c.nId;
        }
        EXPECT_TRUE(DestroyWindow(dialog));
    }
    DestroyWindow(host);
}

TEST_P(LangPackModule, BothMenusLoadWithTheirTopLevelItems)
{
    for (const ExpectedMenu& m : kMenus) {
        HMENU menu = LoadMenuW(m_module, MAKEINTRESOURCEW(m.wId));
        ASSERT_NE(menu, nullptr) << "menu " << m.wId;
        int topLevel = 0;
        for (const ExpectedMenuItem& item : m.items) {
            if (item.nDepth != 0) continue;
            wchar_t text[128] = {};
            GetMenuStringW(menu, topLevel, text, ARRAYSIZE(text), MF_BYPOSITION);
            EXPECT_EQ(std::wstring(text), item.pszText) << "menu " << m.wId << " item " << topLevel;
            ++topLevel;
        }
        EXPECT_EQ(GetMenuItemCount(menu), topLevel) << "menu " << m.wId;
        DestroyMenu(menu);
    }
}

TEST_P(LangPackModule, EveryBitmapAndIconLoadsThroughLoadImage)
{
    for (const ExpectedBitmap& b : kBitmaps) {
        HANDLE image = LoadImageW(m_module, MAKEINTRESOURCEW(b.wId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
        ASSERT_NE(image, nullptr) << "bitmap " << b.wId;
        BITMAP info = {};
        GetObjectW(image, sizeof(info), &info);
        EXPECT_EQ(info.bmWidth, b.lWidth) << "bitmap " << b.wId;
        EXPECT_EQ(info.bmHeight, b.lHeight) << "bitmap " << b.wId;
        DeleteObject(image);
    }
    for (const ExpectedIconGroup& g : kIconGroups) {
        for (const ExpectedIconImage& i : g.images) {
            HANDLE icon = LoadImageW(m_module, MAKEINTRESOURCEW(g.wId), IMAGE_ICON, i.bSize, i.bSize, 0);
            ASSERT_NE(icon, nullptr) << "icon " << g.wId << " at " << int(i.bSize);
            ICONINFO info = {};
            ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &info));
            BITMAP colour = {};
            GetObjectW(info.hbmColor, sizeof(colour), &colour);
            EXPECT_EQ(colour.bmWidth, i.bSize) << "icon " << g.wId;
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
            DestroyIcon(static_cast<HICON>(icon));
        }
    }
}

TEST_P(LangPackModule, EveryVoicePromptIsFoundWithItsSound)
{
    for (const ExpectedWave& w : kWaves) {
        HRSRC found = FindResourceW(m_module, MAKEINTRESOURCEW(w.wId), L"WAVE");
        ASSERT_NE(found, nullptr) << "prompt " << w.wId;
        // A RIFF file: the 44 bytes of its headers, then the sound.
        EXPECT_EQ(SizeofResource(m_module, found), w.dwDataBytes + 44) << "prompt " << w.wId;
        const void* data = LockResource(LoadResource(m_module, found));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(memcmp(data, "RIFF", 4), 0);
    }
}

}  // namespace
