#include "factory.h"

#include <new>

#include "heap.h"
#include "service.h"
#include "staleserver.h"

namespace {

// A single-use class object serves one activation only: when that one fails
// and nothing else holds the server, the process must still end, as it does
// after a failed query of a new object.
void EndServerIfUnused()
{
    CoAddRefServerProcess();
    if (CoReleaseServerProcess() == 0) PostQuitMessage(0);
}

}  // namespace

ServiceClassFactory* ServiceClassFactory::Create()
{
    void* memory = q5::HeapAllocate(sizeof(ServiceClassFactory));
    return memory == nullptr ? nullptr : new (memory) ServiceClassFactory();
}

HRESULT STDMETHODCALLTYPE ServiceClassFactory::QueryInterface(REFIID riid, void** ppvObject)
{
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppvObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ServiceClassFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE ServiceClassFactory::Release()
{
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count == 0) {
        this->~ServiceClassFactory();
        q5::HeapFree(this);
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ServiceClassFactory::CreateInstance(IUnknown* /*pUnkOuter*/, REFIID riid, void** ppvObject)
{
    // Each activation runs in a fresh server process (single use), so any
    // other process of this program is a leftover of an earlier one.
    KillAnotherMine();

    *ppvObject = nullptr;
    CQ5DMServiceClass* object = CQ5DMServiceClass::Create();
    if (object == nullptr) {
        EndServerIfUnused();
        return E_OUTOFMEMORY;
    }

    HRESULT hr = object->QueryInterface(riid, ppvObject);
    if (FAILED(hr)) {
        CQ5DMServiceClass::Destroy(object);
        return hr;
    }
    object->Release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ServiceClassFactory::LockServer(BOOL fLock)
{
    if (fLock) {
        CoAddRefServerProcess();
    } else if (CoReleaseServerProcess() == 0) {
        PostQuitMessage(0);
    }
    return S_OK;
}
