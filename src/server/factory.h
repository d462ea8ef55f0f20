// ServiceClassFactory: the one class object the server registers.
#pragma once

#include <windows.h>
#include <objbase.h>

class ServiceClassFactory final : public IClassFactory {
public:
    // Count 1, held by the caller; null when memory is short.
    static ServiceClassFactory* Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    ServiceClassFactory() : m_lRefCount(1) {}
    ~ServiceClassFactory() = default;
    ServiceClassFactory(const ServiceClassFactory&) = delete;
    ServiceClassFactory& operator=(const ServiceClassFactory&) = delete;

    LONG m_lRefCount;
};
