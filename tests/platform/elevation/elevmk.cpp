// The elevation moniker stand-in's in-process half (see moniker.h): COM
// loads it in the caller's process to unmarshal the moniker that the
// stand-in server parsed, and the bind runs here.
#include <windows.h>
#include <objbase.h>

#include "moniker.h"

namespace q5elev {

namespace {

LONG g_lObjects = 0;

class CUnmarshalFactory final : public CStaticClassObject {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }

protected:
    HRESULT Make(REFIID riid, void** ppv) override { return CreateMonikerForUnmarshal(riid, ppv); }
};

CUnmarshalFactory g_factory;

}  // namespace

void ModuleAddRef() { InterlockedIncrement(&g_lObjects); }
void ModuleRelease() { InterlockedDecrement(&g_lObjects); }
const char* ModuleHost() { return "the caller's process"; }

}  // namespace q5elev

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != q5elev::CLSID_ElevationMonikerByValue) return CLASS_E_CLASSNOTAVAILABLE;
    return q5elev::g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT __stdcall DllCanUnloadNow()
{
    return q5elev::g_lObjects == 0 ? S_OK : S_FALSE;
}
