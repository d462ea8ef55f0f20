// Draws every dialog, bitmap and icon of a language library into BMP files,
// so translators and testers can look at them instead of reading resource
// scripts. The library is loaded as a data file: its code never runs.
//
// usage: langpack_gallery.exe LIBRARY OUTPUT-FOLDER
// Writes dialog<ID>.bmp, menu<ID>[-<pop-up>].bmp, bitmap<ID>.bmp and
// icon<ID>-<SIZE>.bmp, and lists
// what it wrote on standard output.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- owners of the handles this program makes ---------------------------------

struct LibraryDeleter {
    void operator()(HMODULE h) const { FreeLibrary(h); }
};
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

struct WindowDeleter {
    void operator()(HWND h) const { DestroyWindow(h); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDeleter>;

struct DcDeleter {
    void operator()(HDC h) const { DeleteDC(h); }
};
using UniqueMemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

struct GdiDeleter {
    void operator()(HGDIOBJ h) const { DeleteObject(h); }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDeleter>;

struct IconDeleter {
    void operator()(HICON h) const { DestroyIcon(h); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

struct MenuDeleter {
    void operator()(HMENU h) const { DestroyMenu(h); }
};
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

struct FileDeleter {
    void operator()(FILE* p) const { fclose(p); }
};
using UniqueFile = std::unique_ptr<FILE, FileDeleter>;

class WindowDc {
public:
    explicit WindowDc(HWND hWnd) : m_hWnd(hWnd), m_hDc(GetWindowDC(hWnd)) {}
    ~WindowDc()
    {
        if (m_hDc != nullptr) {
            ReleaseDC(m_hWnd, m_hDc);
        }
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC Get() const { return m_hDc; }

private:
    HWND m_hWnd;
    HDC m_hDc;
};

class Selection {
public:
    Selection(HDC hDc, HGDIOBJ hObject) : m_hDc(hDc), m_hOld(SelectObject(hDc, hObject)) {}
    ~Selection() { SelectObject(m_hDc, m_hOld); }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

private:
    HDC m_hDc;
    HGDIOBJ m_hOld;
};

// ---- a 24-bit picture that can be drawn into and saved -------------------------

class Picture {
public:
    Picture(int cx, int cy) : m_cx(cx), m_cy(cy), m_dc(CreateCompatibleDC(nullptr))
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = cx;
        info.bmiHeader.biHeight = cy;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        m_bitmap.reset(CreateDIBSection(m_dc.get(), &info, DIB_RGB_COLORS, &m_pBits, nullptr, 0));
    }

    bool Ok() const { return m_dc && m_bitmap && m_pBits != nullptr; }
    HDC Dc() const { return m_dc.get(); }
    HBITMAP Bitmap() const { return m_bitmap.get(); }

    bool Save(const std::wstring& path) const
    {
        GdiFlush();
        DWORD cbStride = ((m_cx * 3 + 3) / 4) * 4;
        DWORD cbPixels = cbStride * m_cy;
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof(header);
        header.biWidth = m_cx;
        header.biHeight = m_cy;
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biCompression = BI_RGB;
        header.biSizeImage = cbPixels;
        return WriteBitmapFile(path, header, m_pBits, cbPixels);
    }

    static bool WriteBitmapFile(const std::wstring& path, const BITMAPINFOHEADER& header, const void* pPixels,
                                DWORD cbPixels)
    {
        UniqueFile file(_wfopen(path.c_str(), L"wb"));
        if (!file) {
            return false;
        }
        BITMAPFILEHEADER fileHeader = {};
        fileHeader.bfType = 0x4D42;  // "BM"
        fileHeader.bfOffBits = sizeof(fileHeader) + sizeof(header);
        fileHeader.bfSize = fileHeader.bfOffBits + cbPixels;
        return fwrite(&fileHeader, sizeof(fileHeader), 1, file.get()) == 1 &&
               fwrite(&header, sizeof(header), 1, file.get()) == 1 &&
               fwrite(pPixels, 1, cbPixels, file.get()) == cbPixels;
    }

private:
    int m_cx;
    int m_cy;
    UniqueMemoryDc m_dc;
    UniqueBitmap m_bitmap;
    void* m_pBits = nullptr;
};

// ---- resources ------------------------------------------------------------------

struct Bytes {
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
};

Bytes FindBytes(HMODULE hLib, LPCWSTR pszType, WORD wId)
{
    HRSRC hInfo = FindResourceW(hLib, MAKEINTRESOURCEW(wId), pszType);
    HGLOBAL hData = hInfo != nullptr ? LoadResource(hLib, hInfo) : nullptr;
    if (hData == nullptr) {
        return {};
    }
    return {static_cast<const BYTE*>(LockResource(hData)), SizeofResource(hLib, hInfo)};
}

BOOL CALLBACK AddId(HMODULE, LPCWSTR, LPWSTR pszName, LONG_PTR lParam)
{
    if (IS_INTRESOURCE(pszName)) {
        reinterpret_cast<std::vector<WORD>*>(lParam)->push_back(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(pszName)));
    }
    return TRUE;
}

std::vector<WORD> IdsOfType(HMODULE hLib, LPCWSTR pszType)
{
    std::vector<WORD> ids;
    EnumResourceNamesW(hLib, pszType, AddId, reinterpret_cast<LONG_PTR>(&ids));
    return ids;
}

// ---- dialogs --------------------------------------------------------------------

const wchar_t kHostClass[] = L"LangPackGalleryHost";

INT_PTR CALLBACK ShowAsIs(HWND, UINT uMsg, WPARAM, LPARAM)
{
    return uMsg == WM_INITDIALOG ? TRUE : FALSE;
}

void Pump(DWORD dwMilliseconds)
{
    DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < dwMilliseconds) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
}

DWORD TemplateStyle(Bytes tmpl)
{
    bool bExtended = tmpl.cbData >= 16 && tmpl.pData[2] == 0xFF && tmpl.pData[3] == 0xFF;
    const BYTE* p = tmpl.pData + (bExtended ? 12 : 0);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

bool Capture(HWND hWnd, const std::wstring& path)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    Picture picture(rc.right - rc.left, rc.bottom - rc.top);
    if (!picture.Ok()) {
        return false;
    }
    WindowDc source(hWnd);
    Selection select(picture.Dc(), picture.Bitmap());
    BitBlt(picture.Dc(), 0, 0, rc.right - rc.left, rc.bottom - rc.top, source.Get(), 0, 0, SRCCOPY);
    return picture.Save(path);
}

// A child dialog (a pane, a property page or a wizard page) is shown inside a
// plain frame of its own size, as its owner would show it.
bool DrawDialog(HMODULE hLib, WORD wId, const std::wstring& folder)
{
    Bytes tmpl = FindBytes(hLib, RT_DIALOG, wId);
    if (tmpl.pData == nullptr) {
        return false;
    }
    bool bChild = (TemplateStyle(tmpl) & WS_CHILD) != 0;
    UniqueWindow host;
    if (bChild) {
        host.reset(CreateWindowExW(0, kHostClass, L"", WS_POPUP | WS_VISIBLE, 20, 20, 100, 100, nullptr, nullptr,
                                   GetModuleHandleW(nullptr), nullptr));
        if (!host) {
            return false;
        }
    }
    UniqueWindow dialog(CreateDialogIndirectParamW(hLib, reinterpret_cast<LPCDLGTEMPLATEW>(tmpl.pData), host.get(),
                                                   ShowAsIs, 0));
    if (!dialog) {
        fwprintf(stderr, L"dialog %u: cannot create (error %lu)\n", wId, GetLastError());
        return false;
    }
    RECT rc;
    GetWindowRect(dialog.get(), &rc);
    if (bChild) {
        SetWindowPos(host.get(), HWND_TOP, 20, 20, rc.right - rc.left, rc.bottom - rc.top, SWP_SHOWWINDOW);
        SetWindowPos(dialog.get(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    } else {
        SetWindowPos(dialog.get(), HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE);
    }
    ShowWindow(dialog.get(), SW_SHOW);
    // Captions drawn as on a window in use, not greyed as an inactive one.
    SendMessageW(dialog.get(), WM_NCACTIVATE, TRUE, 0);
    HWND hShown = bChild ? host.get() : dialog.get();
    RedrawWindow(hShown, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
    Pump(400);
    return Capture(hShown, folder + L"\\dialog" + std::to_wstring(wId) + L".bmp");
}

// ---- bitmaps and icons ----------------------------------------------------------

bool DumpBitmap(HMODULE hLib, WORD wId, const std::wstring& folder)
{
    Bytes dib = FindBytes(hLib, RT_BITMAP, wId);
    if (dib.cbData < sizeof(BITMAPINFOHEADER)) {
        return false;
    }
    BITMAPINFOHEADER header;
    memcpy(&header, dib.pData, sizeof(header));
    if (header.biSize != sizeof(header) || header.biClrUsed != 0 || header.biBitCount < 24) {
        return false;  // only the formats this library uses
    }
    return Picture::WriteBitmapFile(folder + L"\\bitmap" + std::to_wstring(wId) + L".bmp", header,
                                    dib.pData + sizeof(header), dib.cbData - sizeof(header));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE bWidth, bHeight, bColorCount, bReserved;
    WORD wPlanes, wBitCount;
    DWORD dwBytesInRes;
    WORD nId;
};
#pragma pack(pop)

// Each image of the group over a light grey ground, so its mask shows.
bool DrawIconGroup(HMODULE hLib, WORD wId, const std::wstring& folder)
{
    Bytes dir = FindBytes(hLib, RT_GROUP_ICON, wId);
    if (dir.cbData < 6) {
        return false;
    }
    WORD cImages = static_cast<WORD>(dir.pData[4] | (dir.pData[5] << 8));
    bool bOk = true;
    for (WORD i = 0; i < cImages && 6 + (i + 1) * sizeof(GroupIconEntry) <= dir.cbData; ++i) {
        GroupIconEntry entry;
        memcpy(&entry, dir.pData + 6 + i * sizeof(entry), sizeof(entry));
        Bytes image = FindBytes(hLib, RT_ICON, entry.nId);
        int cx = entry.bWidth != 0 ? entry.bWidth : 256;
        UniqueIcon icon(CreateIconFromResourceEx(const_cast<BYTE*>(image.pData), image.cbData, TRUE, 0x00030000, cx,
                                                 cx, LR_DEFAULTCOLOR));
        Picture picture(cx, cx);
        if (!icon || !picture.Ok()) {
            bOk = false;
            continue;
        }
        Selection select(picture.Dc(), picture.Bitmap());
        RECT all = {0, 0, cx, cx};
        FillRect(picture.Dc(), &all, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
        DrawIconEx(picture.Dc(), 0, 0, icon.get(), cx, cx, 0, nullptr, DI_NORMAL);
        bOk = picture.Save(folder + L"\\icon" + std::to_wstring(wId) + L"-" + std::to_wstring(cx) + L".bmp") && bOk;
    }
    return bOk;
}

// ---- menus ----------------------------------------------------------------------

// A pop-up menu is open only inside TrackPopupMenuEx's own message loop: a
// timer takes its picture there and closes it.
struct MenuShot {
    std::wstring path;
    bool bOk = false;
};
MenuShot* g_pMenuShot = nullptr;
const UINT_PTR kMenuTimer = 1;

void CALLBACK PhotographOpenMenu(HWND hWnd, UINT, UINT_PTR, DWORD)
{
    KillTimer(hWnd, kMenuTimer);
    HWND hMenuWindow = FindWindowW(L"#32768", nullptr);
    if (g_pMenuShot != nullptr && hMenuWindow != nullptr && IsWindowVisible(hMenuWindow)) {
        g_pMenuShot->bOk = Capture(hMenuWindow, g_pMenuShot->path);
    }
    EndMenu();
}

bool DrawPopup(HWND hHost, HMENU hPopup, const std::wstring& path)
{
    MenuShot shot{path};
    g_pMenuShot = &shot;
    SetForegroundWindow(hHost);
    SetTimer(hHost, kMenuTimer, 400, PhotographOpenMenu);
    TrackPopupMenuEx(hPopup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RETURNCMD | TPM_NONOTIFY, 40, 40, hHost, nullptr);
    g_pMenuShot = nullptr;
    Pump(50);
    return shot.bOk;
}

// Every pop-up of the menu, nested ones included, one picture each:
// menu<ID>-<path of positions>.bmp.
bool DrawPopups(HWND hHost, HMENU hMenu, const std::wstring& stem)
{
    bool bOk = true;
    int cItems = GetMenuItemCount(hMenu);
    for (int i = 0; i < cItems; ++i) {
        HMENU hSub = GetSubMenu(hMenu, i);
        if (hSub != nullptr) {
            std::wstring name = stem + L"-" + std::to_wstring(i);
            bOk = DrawPopup(hHost, hSub, name + L".bmp") && bOk;
            bOk = DrawPopups(hHost, hSub, name) && bOk;
        }
    }
    return bOk;
}

// The menu as a window's menu bar (menu<ID>.bmp), then each of its pop-ups.
bool DrawMenu(HMODULE hLib, WORD wId, const std::wstring& folder)
{
    Bytes tmpl = FindBytes(hLib, RT_MENU, wId);
    UniqueMenu menu(tmpl.pData != nullptr ? LoadMenuIndirectW(tmpl.pData) : nullptr);
    if (!menu) {
        return false;
    }
    UniqueWindow frame(CreateWindowExW(0, kHostClass, L"", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, 20, 20, 420, 80,
                                       nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
    if (!frame || !SetMenu(frame.get(), menu.get())) {
        return false;
    }
    DrawMenuBar(frame.get());
    Pump(300);
    std::wstring stem = folder + L"\\menu" + std::to_wstring(wId);
    bool bOk = Capture(frame.get(), stem + L".bmp");
    bOk = DrawPopups(frame.get(), menu.get(), stem) && bOk;
    SetMenu(frame.get(), nullptr);  // the menu has its own owner
    return bOk;
}

// ---- the whole library ------------------------------------------------------------

int Report(const wchar_t* pszWhat, WORD wId, bool bOk)
{
    wprintf(L"%ls %u %ls\n", pszWhat, wId, bOk ? L"ok" : L"FAILED");
    return bOk ? 0 : 1;
}

int DrawAll(HMODULE hLib, const std::wstring& folder)
{
    int cFailures = 0;
    for (WORD wId : IdsOfType(hLib, RT_DIALOG)) {
        cFailures += Report(L"dialog", wId, DrawDialog(hLib, wId, folder));
    }
    for (WORD wId : IdsOfType(hLib, RT_MENU)) {
        cFailures += Report(L"menu", wId, DrawMenu(hLib, wId, folder));
    }
    for (WORD wId : IdsOfType(hLib, RT_BITMAP)) {
        cFailures += Report(L"bitmap", wId, DumpBitmap(hLib, wId, folder));
    }
    for (WORD wId : IdsOfType(hLib, RT_GROUP_ICON)) {
        cFailures += Report(L"icon", wId, DrawIconGroup(hLib, wId, folder));
    }
    return cFailures;
}

bool RegisterHostClass()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kHostClass;
    return RegisterClassW(&wc) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: langpack_gallery LIBRARY OUTPUT-FOLDER\n");
        return 2;
    }
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    UniqueLibrary library(
        LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!library || !RegisterHostClass()) {
        fwprintf(stderr, L"cannot load %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    return DrawAll(library.get(), argv[2]) == 0 ? 0 : 1;
}
