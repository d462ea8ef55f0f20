// The elevation moniker stand-in's in-process half (see moniker.h): COM
// loads it in the caller's process to unmarshal the moniker that the
// stand-in server parsed, and the bind runs here.
#include <windows.h>
#include <objbase.h>

#include "moniker.h"

namespace q5elev {

namespace {

LONG g_lObjects = 0;

class CUnmarshalFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;  // static object: no count
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        return pOuter != nullptr ? CLASS_E_NOAGGREGATION : CreateMonikerForUnmarshal(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL bLock) override
    {
        if (bLock) {
            ModuleAddRef();
        } else {
            ModuleRelease();
        }
        return S_OK;
    }
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
