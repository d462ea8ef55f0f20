// The elevation moniker stand-in's local server (see moniker.h): registered
// as ProgID "Elevation", its class object parses the moniker's display
// name; the moniker then travels to the caller by value. "/RegServer"
// registers it in both registry views (this program in both, each view's
// own q5elevmk DLL beside it for the moniker's unmarshalling), and
// "/UnRegServer" removes that. Otherwise it serves one client until its
// last object is gone.
//
// Threads: the main thread only, a single-threaded apartment; COM calls
// arrive as its messages.
#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <string>

#include "handles.h"
#include "moniker.h"

namespace q5elev {

namespace {

DWORD g_dwMainThread = 0;
// A server that COM started but nobody uses ends after this long.
constexpr UINT kIdleMs = 60000;

}  // namespace

void ModuleAddRef() { CoAddRefServerProcess(); }
void ModuleRelease()
{
    if (CoReleaseServerProcess() == 0) PostThreadMessageW(g_dwMainThread, WM_QUIT, 0, 0);
}
const char* ModuleHost() { return "the stand-in server"; }

namespace {

// The class object: the moniker's display name parser. A client's hold on
// it keeps the server (IExternalConnection): the moniker that a parse makes
// is released by COM while the parse's reply is still on its way, and a
// server that ended then would lose that reply.
class CParser final : public CStaticClassObject, public IParseDisplayName, public IExternalConnection {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
        } else if (riid == IID_IParseDisplayName) {
            *ppv = static_cast<IParseDisplayName*>(this);
        } else if (riid == IID_IExternalConnection) {
            *ppv = static_cast<IExternalConnection*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return CStaticClassObject::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CStaticClassObject::Release(); }
    STDMETHODIMP_(DWORD) AddConnection(DWORD dwExtConn, DWORD) override
    {
        if ((dwExtConn & EXTCONN_STRONG) == 0) return 0;
        ModuleAddRef();
        return static_cast<DWORD>(InterlockedIncrement(&m_lConnections));
    }
    STDMETHODIMP_(DWORD) ReleaseConnection(DWORD dwExtConn, DWORD, BOOL) override
    {
        if ((dwExtConn & EXTCONN_STRONG) == 0) return 0;
        const LONG lLeft = InterlockedDecrement(&m_lConnections);
        ModuleRelease();
        return static_cast<DWORD>(lLeft);
    }

    STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR pszDisplayName, ULONG* pchEaten, IMoniker** ppmkOut) override
    {
        if (pchEaten == nullptr || ppmkOut == nullptr) return E_POINTER;
        *pchEaten = 0;
        HRESULT hr = CreateElevationMoniker(pszDisplayName, ppmkOut);
        if (SUCCEEDED(hr)) *pchEaten = static_cast<ULONG>(wcslen(pszDisplayName));
        return hr;
    }

protected:
    HRESULT Make(REFIID riid, void** ppv) override { return QueryInterface(riid, ppv); }

private:
    LONG m_lConnections = 0;
};

std::wstring ClsidText(const CLSID& clsid)
{
    wchar_t sz[40];
    StringFromGUID2(clsid, sz, ARRAYSIZE(sz));
    return sz;
}

LONG SetText(HKEY hRoot, const std::wstring& path, const wchar_t* pszValue, const std::wstring& text, REGSAM samView)
{
    q5::UniqueRegKey key;
    LONG lError = RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, 0, KEY_WRITE | samView, nullptr, key.Put(), nullptr);
    if (lError != ERROR_SUCCESS) return lError;
    return RegSetValueExW(key.Get(), pszValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The ProgID, the parser's class and the unmarshaller's class in one view.
LONG RegisterView(REGSAM samView, const std::wstring& program, const std::wstring& monikerDll)
{
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring parser = classes + L"CLSID\\" + ClsidText(CLSID_ElevationStandIn);
    const std::wstring byValue = classes + L"CLSID\\" + ClsidText(CLSID_ElevationMonikerByValue);
    LONG lError = SetText(HKEY_LOCAL_MACHINE, classes + L"Elevation\\CLSID", nullptr, ClsidText(CLSID_ElevationStandIn), samView);
    if (lError == ERROR_SUCCESS) lError = SetText(HKEY_LOCAL_MACHINE, parser, nullptr, L"Elevation moniker stand-in", samView);
    if (lError == ERROR_SUCCESS) lError = SetText(HKEY_LOCAL_MACHINE, parser + L"\\ProgID", nullptr, L"Elevation", samView);
    if (lError == ERROR_SUCCESS) lError = SetText(HKEY_LOCAL_MACHINE, parser + L"\\LocalServer32", nullptr, program, samView);
    if (lError == ERROR_SUCCESS) lError = SetText(HKEY_LOCAL_MACHINE, byValue + L"\\InprocServer32", nullptr, monikerDll, samView);
    if (lError == ERROR_SUCCESS) {
        lError = SetText(HKEY_LOCAL_MACHINE, byValue + L"\\InprocServer32", L"ThreadingModel", L"Both", samView);
    }
    return lError;
}

void UnregisterView(REGSAM samView)
{
    q5::UniqueRegKey classes;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_ALL_ACCESS | samView, classes.Put()) != ERROR_SUCCESS) {
        return;
    }
    for (const std::wstring& key : {std::wstring(L"Elevation"), L"CLSID\\" + ClsidText(CLSID_ElevationStandIn),
                                    L"CLSID\\" + ClsidText(CLSID_ElevationMonikerByValue)}) {
        RegDeleteTreeW(classes.Get(), key.c_str());
    }
}

int Register()
{
    wchar_t szProgram[MAX_PATH];
    DWORD cch = GetModuleFileNameW(nullptr, szProgram, ARRAYSIZE(szProgram));
    if (cch == 0 || cch >= ARRAYSIZE(szProgram)) return 1;  // a path that does not fit is refused
    std::wstring program(szProgram, cch);
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
    LONG lError = RegisterView(KEY_WOW64_64KEY, program, folder + L"q5elevmk64.dll");
    if (lError == ERROR_SUCCESS) lError = RegisterView(KEY_WOW64_32KEY, program, folder + L"q5elevmk32.dll");
    if (lError != ERROR_SUCCESS) {
        UnregisterView(KEY_WOW64_64KEY);
        UnregisterView(KEY_WOW64_32KEY);
        return 1;
    }
    return 0;
}

int Serve()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return 2;
    static CParser parser;
    DWORD dwRegister = 0;
    // Single use: a client never reaches a server that is ending with its
    // former client's last object (each activation starts a server of its own).
    hr = CoRegisterClassObject(CLSID_ElevationStandIn, static_cast<IClassFactory*>(&parser), CLSCTX_LOCAL_SERVER,
                               REGCLS_SINGLEUSE, &dwRegister);
    if (SUCCEEDED(hr)) {
        UINT_PTR idle = SetTimer(nullptr, 0, kIdleMs, nullptr);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER && msg.wParam == idle) {
                KillTimer(nullptr, idle);
                ModuleAddRef();  // ends the server unless an object still lives
                ModuleRelease();
            }
            DispatchMessageW(&msg);
        }
        CoRevokeClassObject(dwRegister);
    }
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 3;
}

}  // namespace
}  // namespace q5elev

int wmain(int argc, wchar_t** argv)
{
    q5elev::g_dwMainThread = GetCurrentThreadId();
    if (argc > 1 && (_wcsicmp(argv[1], L"/RegServer") == 0 || _wcsicmp(argv[1], L"-RegServer") == 0)) {
        return q5elev::Register();
    }
    if (argc > 1 && (_wcsicmp(argv[1], L"/UnRegServer") == 0 || _wcsicmp(argv[1], L"-UnRegServer") == 0)) {
        q5elev::UnregisterView(KEY_WOW64_64KEY);
        q5elev::UnregisterView(KEY_WOW64_32KEY);
        return 0;
    }
    return q5elev::Serve();
}
