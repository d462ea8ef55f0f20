#include "moniker.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

#include "handles.h"

namespace q5elev {

// {038b0bc7-57b2-4f1a-bc03-2e7a49c5021b}
const CLSID CLSID_ElevationStandIn = {0x038b0bc7, 0x57b2, 0x4f1a, {0xbc, 0x03, 0x2e, 0x7a, 0x49, 0xc5, 0x02, 0x1b}};
// {965f416a-f601-4e55-b5fd-ed31b4fb8f18}
const CLSID CLSID_ElevationMonikerByValue = {0x965f416a, 0xf601, 0x4e55, {0xb5, 0xfd, 0xed, 0x31, 0xb4, 0xfb, 0x8f, 0x18}};
const wchar_t kConfigKey[] = L"Software\\Q5Test\\ElevationStandIn";

namespace {

using q5::UniqueFileHandle;
using q5::UniqueRegKey;

constexpr HRESULT kMissingDisplayName = static_cast<HRESULT>(0x80080015L);  // CO_E_MISSING_DISPLAYNAME
constexpr HRESULT kElevationDisabled = static_cast<HRESULT>(0x80080017L);   // CO_E_ELEVATION_DISABLED
constexpr DWORD kMarshalMagic = 0x4d564c45;  // "ELVM"
constexpr size_t kMaxName = 200;             // a display name is far shorter
constexpr size_t kMaxText = 512;             // registry texts and resolved names
// The class context the moniker takes: a local server, of either bitness.
constexpr DWORD kBitnessFlags = CLSCTX_ACTIVATE_32_BIT_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER;
constexpr DWORD kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr UINT_PTR kAnswerPoll = 1;
constexpr DWORD kAnswerWaitMs = 120000;  // the demo's longest wait for its answer file

bool StartsWithNoCase(const wchar_t* psz, const wchar_t* pszPrefix, size_t& cch)
{
    cch = wcslen(pszPrefix);
    return _wcsnicmp(psz, pszPrefix, cch) == 0;
}

std::string Utf8(const std::wstring& text)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(cb > 0 ? cb : 0, '\0');
    if (cb > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], cb, nullptr, nullptr);
    return out;
}

std::string Format(const char* pszFormat, ...)
{
    char buffer[600];
    va_list args;
    va_start(args, pszFormat);
    int cch = vsnprintf(buffer, sizeof(buffer), pszFormat, args);
    va_end(args);
    return cch < 0 ? std::string() : std::string(buffer, cch < static_cast<int>(sizeof(buffer)) ? cch : sizeof(buffer) - 1);
}

// A value of HKLM\<path> in one registry view; false when the key or the
// value is missing, of another type, or larger than cb.
bool ReadValue(const std::wstring& path, const wchar_t* pszValue, DWORD dwView, DWORD dwType, void* pData, DWORD cb)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | dwView, key.Put()) != ERROR_SUCCESS) {
        return false;
    }
    return RegGetValueW(key.Get(), nullptr, pszValue, dwType, nullptr, pData, &cb) == ERROR_SUCCESS;
}

// A text value, environment strings expanded; empty when missing, of
// another type, or too long to hold whole.
std::wstring ReadText(const std::wstring& path, const wchar_t* pszValue, DWORD dwView)
{
    wchar_t buffer[kMaxText];
    if (!ReadValue(path, pszValue, dwView, RRF_RT_REG_SZ, buffer, sizeof(buffer))) return std::wstring();
    return buffer;
}

// A setting of the test's (64-bit view, read alike from either bitness).
std::wstring ConfigText(const wchar_t* pszValue) { return ReadText(kConfigKey, pszValue, KEY_WOW64_64KEY); }

// What one bind received and did, appended to the record file as a block.
class CRecord {
public:
    void Line(const std::string& line) { m_text += line + "\n"; }
    HRESULT Close(HRESULT hr)
    {
        Line(Format("result: 0x%08lX", static_cast<unsigned long>(hr)));
        std::wstring path = ConfigText(L"RecordFile");
        if (path.empty()) return hr;
        UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD cbWritten = 0;
        if (file) WriteFile(file.Get(), m_text.data(), static_cast<DWORD>(m_text.size()), &cbWritten, nullptr);
        return hr;
    }

private:
    std::string m_text = "bind:\n";
};

std::string DescribeOptions(const BIND_OPTS3& options)
{
    return Format("bind options: cbStruct=%lu grfFlags=0x%lX grfMode=0x%lX dwTickCountDeadline=%lu dwTrackFlags=0x%lX "
                  "dwClassContext=0x%lX locale=0x%lX pServerInfo=%s hwnd=0x%llX",
                  static_cast<unsigned long>(options.cbStruct), static_cast<unsigned long>(options.grfFlags),
                  static_cast<unsigned long>(options.grfMode), static_cast<unsigned long>(options.dwTickCountDeadline),
                  static_cast<unsigned long>(options.dwTrackFlags), static_cast<unsigned long>(options.dwClassContext),
                  static_cast<unsigned long>(options.locale), options.pServerInfo == nullptr ? "null" : "set",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(options.hwnd)));
}

std::string DescribeOwner(HWND hwnd)
{
    if (hwnd == nullptr) return "owner window: none";
    if (!IsWindow(hwnd)) return "owner window: not a window";
    wchar_t szClass[128] = L"";
    GetClassNameW(hwnd, szClass, ARRAYSIZE(szClass));
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hwnd, &dwPid);
    return Format("owner window: class \"%s\", %s, %s process", Utf8(szClass).c_str(),
                  IsWindowVisible(hwnd) ? "visible" : "invisible",
                  dwPid == GetCurrentProcessId() ? "the caller's" : "another");
}

// The registry view of the server that an activation with this class
// context reaches: the one the context names, else the caller's own; where
// that view lacks the class, the other (as COM looks there too).
DWORD ServerView(const CLSID& clsid, DWORD dwClassContext, std::wstring& classKey)
{
    wchar_t szClsid[40];
    StringFromGUID2(clsid, szClsid, ARRAYSIZE(szClsid));
    classKey = std::wstring(L"Software\\Classes\\CLSID\\") + szClsid;
    DWORD dwFirst = kOwnView;
    if (dwClassContext & CLSCTX_ACTIVATE_64_BIT_SERVER) dwFirst = KEY_WOW64_64KEY;
    if (dwClassContext & CLSCTX_ACTIVATE_32_BIT_SERVER) dwFirst = KEY_WOW64_32KEY;
    const DWORD dwSecond = dwFirst == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    for (DWORD dwView : {dwFirst, dwSecond}) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (classKey + L"\\LocalServer32").c_str(), 0, KEY_READ | dwView, key.Put()) ==
            ERROR_SUCCESS) {
            return dwView;
        }
    }
    return 0;
}

bool ElevationEnabled(const std::wstring& classKey, DWORD dwView)
{
    DWORD dwEnabled = 0;
    return ReadValue(classKey + L"\\Elevation", L"Enabled", dwView, RRF_RT_REG_DWORD, &dwEnabled, sizeof(dwEnabled)) &&
           dwEnabled == 1;
}

// The owner of a handle that is null when there is none.
template <typename T, auto pfnClose>
struct NullTraits {
    static T Invalid() noexcept { return nullptr; }
    static void Close(T h) noexcept { pfnClose(h); }
};
template <typename T, auto pfnClose>
using UniqueNullable = q5::UniqueResource<T, NullTraits<T, pfnClose>>;
using UniqueLibrary = UniqueNullable<HMODULE, FreeLibrary>;

// "@FILE,-ID": string ID of FILE, read from the file as data. The system
// resolves the name in a process of its own, which reads a program of
// either bitness; Wine's SHLoadIndirectString in the caller's process reads
// only programs of the caller's own bitness.
std::wstring ResourceString(const std::wstring& indirect)
{
    const size_t comma = indirect.rfind(L",-");
    if (indirect.size() < 4 || indirect[0] != L'@' || comma == std::wstring::npos || comma < 2) return std::wstring();
    const std::wstring file = indirect.substr(1, comma - 1);
    wchar_t* pszEnd = nullptr;
    const unsigned long ulId = wcstoul(indirect.c_str() + comma + 2, &pszEnd, 10);
    if (pszEnd == indirect.c_str() + comma + 2 || *pszEnd != L'\0' || ulId == 0 || ulId > 0xFFFF) return std::wstring();
    UniqueLibrary module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) return std::wstring();
    // A string table block holds 16 counted strings.
    HRSRC hFound = FindResourceW(module.Get(), MAKEINTRESOURCEW(ulId / 16 + 1), MAKEINTRESOURCEW(6));  // RT_STRING
    if (hFound == nullptr) return std::wstring();
    const auto* p = static_cast<const WORD*>(LockResource(LoadResource(module.Get(), hFound)));
    if (p == nullptr) return std::wstring();
    const WORD* pEnd = p + SizeofResource(module.Get(), hFound) / sizeof(WORD);
    for (unsigned long i = 0; i < ulId % 16 && p < pEnd; ++i) p += 1 + *p;
    if (p >= pEnd || *p > pEnd - p - 1) return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p);
}

// The name the consent window shows: "LocalizedString" resolved as the
// shell resolves indirect strings. Empty when it does not resolve.
std::wstring DisplayName(const std::wstring& classKey, DWORD dwView, std::wstring& raw)
{
    raw = ReadText(classKey, L"LocalizedString", dwView);
    if (raw.empty()) return std::wstring();
    wchar_t szName[kMaxText] = L"";
    if (SUCCEEDED(SHLoadIndirectString(raw.c_str(), szName, ARRAYSIZE(szName), nullptr))) return szName;
    return ResourceString(raw);
}

// ---- the consent window ----------------------------------------------------

const wchar_t kConsentClass[] = L"Q5ElevationConsent";
enum : int { kIdYes = 101, kIdNo = 102 };

struct ConsentState {
    int iAnswer = 0;  // 0 open, IDYES, IDNO
    std::wstring answerFile;
    DWORD dwShownAt = 0;
};

// The first word of the answer file once it exists: "yes" or anything else.
int AnswerFromFile(const std::wstring& path)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    char text[8] = {};
    DWORD cb = 0;
    if (!ReadFile(file.Get(), text, sizeof(text) - 1, &cb, nullptr)) return 0;
    return _strnicmp(text, "yes", 3) == 0 ? IDYES : IDNO;
}

LRESULT CALLBACK ConsentProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* pState = reinterpret_cast<ConsentState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (uMsg) {
    case WM_NCCREATE:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        break;
    case WM_COMMAND:
        if (pState != nullptr && (LOWORD(wParam) == kIdYes || LOWORD(wParam) == kIdNo)) {
            pState->iAnswer = LOWORD(wParam) == kIdYes ? IDYES : IDNO;
        }
        return 0;
    case WM_TIMER:
        if (pState != nullptr && wParam == kAnswerPoll) {
            pState->iAnswer = AnswerFromFile(pState->answerFile);
            if (pState->iAnswer == 0 && GetTickCount() - pState->dwShownAt > kAnswerWaitMs) pState->iAnswer = IDNO;
        }
        return 0;
    case WM_CLOSE:
        if (pState != nullptr) pState->iAnswer = IDNO;
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

void RegisterConsentClass()
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = ConsentProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kConsentClass;
    RegisterClassExW(&wc);  // fails harmlessly when a former bind registered it
}

using UniqueWindow = UniqueNullable<HWND, DestroyWindow>;
using UniqueFont = UniqueNullable<HFONT, DeleteObject>;

HWND AddChild(HWND hwndParent, const wchar_t* pszClass, const std::wstring& text, DWORD dwStyle, RECT r, int iId,
              HFONT hFont)
{
    HWND hwnd = CreateWindowExW(0, pszClass, text.c_str(), WS_CHILD | WS_VISIBLE | dwStyle, r.left, r.top,
                                r.right - r.left, r.bottom - r.top, hwndParent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(iId)), GetModuleHandleW(nullptr), nullptr);
    if (hwnd != nullptr) SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
    return hwnd;
}

using UniqueDc = UniqueNullable<HDC, DeleteDC>;
using UniqueBitmap = UniqueNullable<HBITMAP, DeleteObject>;

class CWindowDc {
public:
    explicit CWindowDc(HWND hwnd) : m_hwnd(hwnd), m_hdc(GetWindowDC(hwnd)) {}
    ~CWindowDc()
    {
        if (m_hdc != nullptr) ReleaseDC(m_hwnd, m_hdc);
    }
    CWindowDc(const CWindowDc&) = delete;
    CWindowDc& operator=(const CWindowDc&) = delete;
    HDC Get() const { return m_hdc; }

private:
    HWND m_hwnd;
    HDC m_hdc;
};

// The window as it is on the screen, frame included, as a 24-bit BMP file
// (for the demo's picture of the prompt).
void SavePicture(HWND hwnd, const std::wstring& path)
{
    RECT r;
    if (!GetWindowRect(hwnd, &r)) return;
    const int cx = r.right - r.left, cy = r.bottom - r.top;
    CWindowDc window(hwnd);
    UniqueDc memory(CreateCompatibleDC(window.Get()));
    if (window.Get() == nullptr || !memory || cx <= 0 || cy <= 0) return;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = cx;
    info.bmiHeader.biHeight = cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* pBits = nullptr;
    UniqueBitmap bitmap(CreateDIBSection(window.Get(), &info, DIB_RGB_COLORS, &pBits, nullptr, 0));
    if (!bitmap || pBits == nullptr) return;
    HGDIOBJ hOld = SelectObject(memory.Get(), bitmap.Get());
    BitBlt(memory.Get(), 0, 0, cx, cy, window.Get(), 0, 0, SRCCOPY);
    GdiFlush();
    SelectObject(memory.Get(), hOld);
    const DWORD cbBits = static_cast<DWORD>(((cx * 3 + 3) & ~3) * cy);
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4d42;  // "BM"
    header.bfOffBits = sizeof(header) + sizeof(info.bmiHeader);
    header.bfSize = header.bfOffBits + cbBits;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD cb = 0;
    if (file && WriteFile(file.Get(), &header, sizeof(header), &cb, nullptr) &&
        WriteFile(file.Get(), &info.bmiHeader, sizeof(info.bmiHeader), &cb, nullptr)) {
        WriteFile(file.Get(), pBits, cbBits, &cb, nullptr);
    }
}

// Lets the window and its controls paint before a picture is taken.
void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Shows the prompt owned by hwndOwner and waits for its answer, pumping
// this thread's messages: the configured one at once, or the answer file's.
int AskConsent(HWND hwndOwner, const std::wstring& name, const std::wstring& program)
{
    RegisterConsentClass();
    ConsentState state;
    state.answerFile = ConfigText(L"AnswerFile");
    const int cx = 520, cy = 250;
    UniqueWindow window(CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kConsentClass,
                                        L"User Account Control (stand-in)", WS_POPUP | WS_CAPTION,
                                        (GetSystemMetrics(SM_CXSCREEN) - cx) / 2, (GetSystemMetrics(SM_CYSCREEN) - cy) / 2,
                                        cx, cy, IsWindow(hwndOwner) ? hwndOwner : nullptr, nullptr,
                                        GetModuleHandleW(nullptr), &state));
    if (!window) return IDNO;
    HWND hwnd = window.Get();
    auto* pGui = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    UniqueFont big(CreateFontW(-20, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma"));
    AddChild(hwnd, L"STATIC", L"Do you want to allow the following program to make changes to this computer?", 0,
             {16, 14, cx - 16, 34}, 0, pGui);
    AddChild(hwnd, L"STATIC", name, 0, {16, 48, cx - 16, 78}, 0, big ? big.Get() : pGui);
    AddChild(hwnd, L"STATIC", L"Program: " + program, SS_PATHELLIPSIS, {16, 92, cx - 16, 110}, 0, pGui);
    AddChild(hwnd, L"STATIC", L"An administrator's rights are asked for.", 0, {16, 116, cx - 16, 134}, 0, pGui);
    AddChild(hwnd, L"BUTTON", L"&Yes", BS_DEFPUSHBUTTON | WS_TABSTOP, {cx - 230, cy - 84, cx - 130, cy - 56}, kIdYes, pGui);
    AddChild(hwnd, L"BUTTON", L"&No", BS_PUSHBUTTON | WS_TABSTOP, {cx - 120, cy - 84, cx - 20, cy - 56}, kIdNo, pGui);
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME | RDW_INVALIDATE);
    PumpPending();
    const std::wstring picture = ConfigText(L"PictureFile");
    if (!picture.empty()) SavePicture(hwnd, picture);
    state.dwShownAt = GetTickCount();

    if (state.answerFile.empty()) {
        state.iAnswer = _wcsicmp(ConfigText(L"Answer").c_str(), L"yes") == 0 ? IDYES : IDNO;
    } else {
        SetTimer(hwnd, kAnswerPoll, 100, nullptr);
    }
    MSG msg;
    while (state.iAnswer == 0 && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(hwnd, kAnswerPoll);
    return state.iAnswer;
}

// ---- the moniker -------------------------------------------------------------

class CElevationMoniker final : public IMoniker, public IMarshal {
public:
    CElevationMoniker() { ModuleAddRef(); }
    ~CElevationMoniker() { ModuleRelease(); }
    CElevationMoniker(const CElevationMoniker&) = delete;
    CElevationMoniker& operator=(const CElevationMoniker&) = delete;

    HRESULT Parse(const wchar_t* pszName)
    {
        HRESULT hr = ParseElevationName(pszName, m_clsid);
        if (SUCCEEDED(hr)) m_name = pszName;
        return hr;
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMoniker || riid == IID_IPersistStream || riid == IID_IPersist) {
            *ppv = static_cast<IMoniker*>(this);
        } else if (riid == IID_IMarshal) {
            *ppv = static_cast<IMarshal*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_lRefCount); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG lCount = InterlockedDecrement(&m_lRefCount);
        if (lCount == 0) delete this;
        return lCount;
    }

    // IPersist, IPersistStream: a moniker that is never saved.
    STDMETHODIMP GetClassID(CLSID* pClsid) override
    {
        if (pClsid == nullptr) return E_POINTER;
        *pClsid = CLSID_ElevationMonikerByValue;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    // IMoniker
    STDMETHODIMP BindToObject(IBindCtx* pbc, IMoniker*, REFIID riid, void** ppv) override;
    STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppv) override { return Nothing(ppv, E_NOTIMPL); }
    STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** ppmkReduced) override
    {
        if (ppmkReduced == nullptr) return E_POINTER;
        AddRef();
        *ppmkReduced = this;
        return MK_S_REDUCED_TO_SELF;
    }
    STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker** ppmk) override { return Nothing(ppmk, E_NOTIMPL); }
    STDMETHODIMP Enum(BOOL, IEnumMoniker** ppenumMoniker) override
    {
        if (ppenumMoniker == nullptr) return E_POINTER;
        *ppenumMoniker = nullptr;
        return S_OK;
    }
    STDMETHODIMP IsEqual(IMoniker* pOther) override { return pOther == this ? S_OK : S_FALSE; }
    STDMETHODIMP Hash(DWORD* pdwHash) override
    {
        if (pdwHash == nullptr) return E_POINTER;
        *pdwHash = m_clsid.Data1;
        return S_OK;
    }
    STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
    STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return MK_E_UNAVAILABLE; }
    STDMETHODIMP Inverse(IMoniker** ppmk) override { return Nothing(ppmk, MK_E_NOINVERSE); }
    STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker** ppmk) override { return Nothing(ppmk, MK_E_NOPREFIX); }
    STDMETHODIMP RelativePathTo(IMoniker*, IMoniker** ppmk) override { return Nothing(ppmk, E_NOTIMPL); }
    STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* ppszDisplayName) override
    {
        if (ppszDisplayName == nullptr) return E_POINTER;
        const size_t cb = (m_name.size() + 1) * sizeof(wchar_t);
        *ppszDisplayName = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
        if (*ppszDisplayName == nullptr) return E_OUTOFMEMORY;
        memcpy(*ppszDisplayName, m_name.c_str(), cb);
        return S_OK;
    }
    // Nothing may follow the moniker's own name.
    STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker** ppmk) override
    {
        return Nothing(ppmk, MK_E_SYNTAX);
    }
    STDMETHODIMP IsSystemMoniker(DWORD* pdwMksys) override
    {
        if (pdwMksys == nullptr) return E_POINTER;
        *pdwMksys = MKSYS_NONE;
        return S_FALSE;
    }

    // IMarshal: the moniker travels by value, its display name in the stream.
    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* pCid) override
    {
        if (pCid == nullptr) return E_POINTER;
        *pCid = CLSID_ElevationMonikerByValue;
        return S_OK;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* pSize) override
    {
        if (pSize == nullptr) return E_POINTER;
        *pSize = static_cast<DWORD>(2 * sizeof(DWORD) + kMaxName * sizeof(wchar_t));
        return S_OK;
    }
    STDMETHODIMP MarshalInterface(IStream* pStm, REFIID, void*, DWORD, void*, DWORD) override
    {
        const DWORD header[2] = {kMarshalMagic, static_cast<DWORD>(m_name.size())};
        HRESULT hr = pStm->Write(header, sizeof(header), nullptr);
        if (SUCCEEDED(hr)) hr = pStm->Write(m_name.data(), static_cast<ULONG>(m_name.size() * sizeof(wchar_t)), nullptr);
        return hr;
    }
    STDMETHODIMP UnmarshalInterface(IStream* pStm, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        std::wstring name;
        HRESULT hr = ReadMarshalled(pStm, name);
        if (SUCCEEDED(hr)) hr = Parse(name.c_str());  // the stream is checked like any display name
        return SUCCEEDED(hr) ? QueryInterface(riid, ppv) : hr;
    }
    STDMETHODIMP ReleaseMarshalData(IStream* pStm) override
    {
        std::wstring name;
        return ReadMarshalled(pStm, name);
    }
    STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }

private:
    // An answer without an object: the out pointer emptied, then hr.
    template <typename T>
    static HRESULT Nothing(T** pp, HRESULT hr)
    {
        if (pp != nullptr) *pp = nullptr;
        return hr;
    }
    static HRESULT ReadMarshalled(IStream* pStm, std::wstring& name)
    {
        DWORD header[2] = {};
        ULONG cbRead = 0;
        HRESULT hr = pStm->Read(header, sizeof(header), &cbRead);
        if (FAILED(hr) || cbRead != sizeof(header) || header[0] != kMarshalMagic || header[1] == 0 || header[1] > kMaxName) {
            return FAILED(hr) ? hr : E_INVALIDARG;
        }
        wchar_t buffer[kMaxName];
        const ULONG cb = header[1] * sizeof(wchar_t);
        hr = pStm->Read(buffer, cb, &cbRead);
        if (FAILED(hr) || cbRead != cb) return FAILED(hr) ? hr : E_INVALIDARG;
        name.assign(buffer, header[1]);
        return S_OK;
    }

    HRESULT CreateElevated(const BIND_OPTS3& options, REFIID riid, void** ppv, CRecord& record);

    LONG m_lRefCount = 1;
    CLSID m_clsid = {};
    std::wstring m_name;
};

// What the system checks before its prompt, in its order; then the prompt
// and, after a "yes", the activation itself.
STDMETHODIMP CElevationMoniker::BindToObject(IBindCtx* pbc, IMoniker*, REFIID riid, void** ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    CRecord record;
    record.Line("display name: " + Utf8(m_name));
    record.Line(std::string("bound in: ") + ModuleHost());
    BIND_OPTS3 options;
    memset(&options, 0, sizeof(options));  // not an aggregate in every SDK
    options.cbStruct = sizeof(options);
    HRESULT hr = pbc == nullptr ? E_INVALIDARG : pbc->GetBindOptions(&options);
    if (FAILED(hr)) return record.Close(hr);
    record.Line(DescribeOptions(options));
    if (options.cbStruct < sizeof(BIND_OPTS3)) {
        record.Line("refused: the bind options are not a BIND_OPTS3");
        return record.Close(E_INVALIDARG);
    }
    if ((options.dwClassContext & ~kBitnessFlags) != CLSCTX_LOCAL_SERVER) {
        record.Line("refused: the class context is not a local server's");
        return record.Close(E_INVALIDARG);
    }
    return record.Close(CreateElevated(options, riid, ppv, record));
}

HRESULT CElevationMoniker::CreateElevated(const BIND_OPTS3& options, REFIID riid, void** ppv, CRecord& record)
{
    std::wstring classKey;
    const DWORD dwView = ServerView(m_clsid, options.dwClassContext, classKey);
    if (dwView == 0) return REGDB_E_CLASSNOTREG;
    record.Line(Format("registry view: %d", dwView == KEY_WOW64_64KEY ? 64 : 32));
    if (!ElevationEnabled(classKey, dwView)) return kElevationDisabled;
    std::wstring raw;
    const std::wstring name = DisplayName(classKey, dwView, raw);
    record.Line("LocalizedString: " + Utf8(raw));
    if (name.empty()) return kMissingDisplayName;
    record.Line("name shown: " + Utf8(name));
    record.Line(DescribeOwner(options.hwnd));
    const int iAnswer = AskConsent(options.hwnd, name, ReadText(classKey + L"\\LocalServer32", nullptr, dwView));
    record.Line(iAnswer == IDYES ? "answer: yes" : "answer: no");
    if (iAnswer != IDYES) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
    return CoCreateInstance(m_clsid, nullptr, options.dwClassContext, riid, ppv);
}

}  // namespace

HRESULT ParseElevationName(const wchar_t* pszName, CLSID& clsid)
{
    if (pszName == nullptr) return E_POINTER;
    size_t cch = 0;
    if (!StartsWithNoCase(pszName, L"Elevation:", cch)) return MK_E_SYNTAX;
    const wchar_t* psz = pszName + cch;
    if (StartsWithNoCase(psz, L"Administrator!", cch) || StartsWithNoCase(psz, L"Highest!", cch)) {
        psz += cch;
    } else {
        return MK_E_SYNTAX;
    }
    if (!StartsWithNoCase(psz, L"new:", cch)) return MK_E_SYNTAX;
    psz += cch;
    // Exactly one braced class identifier, and nothing after it.
    if (wcslen(psz) != 38 || psz[0] != L'{' || psz[37] != L'}') return MK_E_SYNTAX;
    return CLSIDFromString(psz, &clsid) == NOERROR ? S_OK : MK_E_SYNTAX;
}

HRESULT CreateElevationMoniker(const wchar_t* pszName, IMoniker** ppMoniker)
{
    if (ppMoniker == nullptr) return E_POINTER;
    *ppMoniker = nullptr;
    if (pszName == nullptr || wcslen(pszName) > kMaxName) return MK_E_SYNTAX;
    auto* pMoniker = new (std::nothrow) CElevationMoniker();
    if (pMoniker == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = pMoniker->Parse(pszName);
    if (SUCCEEDED(hr)) {
        *ppMoniker = pMoniker;
    } else {
        pMoniker->Release();
    }
    return hr;
}

HRESULT CreateMonikerForUnmarshal(REFIID riid, void** ppv)
{
    auto* pMoniker = new (std::nothrow) CElevationMoniker();
    if (pMoniker == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = pMoniker->QueryInterface(riid, ppv);
    pMoniker->Release();
    return hr;
}

}  // namespace q5elev
