#include "service.h"

#include <new>

#include "heap.h"
#include "trace.h"

CQ5DMServiceClass::CQ5DMServiceClass() : m_lRefCount(1), m_pPortUsage(nullptr), m_dwPortUsageSize(0) {}

CQ5DMServiceClass::~CQ5DMServiceClass() { FreePortUsage(); }

CQ5DMServiceClass* CQ5DMServiceClass::Create()
{
    void* memory = q5::HeapAllocate(sizeof(CQ5DMServiceClass));
    if (memory == nullptr) return nullptr;
    CQ5DMServiceClass* object = new (memory) CQ5DMServiceClass();
    CoAddRefServerProcess();
    return object;
}

void CQ5DMServiceClass::Destroy(CQ5DMServiceClass* object)
{
    object->~CQ5DMServiceClass();
    // Each live object holds one server-process reference; the last one
    // gone ends the message loop.
    if (CoReleaseServerProcess() == 0) PostQuitMessage(0);
    q5::HeapFree(object);
}

void CQ5DMServiceClass::FreePortUsage()
{
    q5::HeapFree(m_pPortUsage);
    m_pPortUsage = nullptr;
    m_dwPortUsageSize = 0;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::QueryInterface(REFIID riid, void** ppvObject)
{
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQ5DMService)) {
        *ppvObject = static_cast<IQ5DMService*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CQ5DMServiceClass::AddRef()
{
    LONG count = InterlockedIncrement(&m_lRefCount);
    LogTrace(L"CQ5DMServiceClass::AddRef(): %d\n", count);
    return static_cast<ULONG>(count);
}

ULONG STDMETHODCALLTYPE CQ5DMServiceClass::Release()
{
    LONG count = InterlockedDecrement(&m_lRefCount);
    LogTrace(L"CQ5DMServiceClass::Release(): %d\n", count);
    if (count == 0) Destroy(this);
    return static_cast<ULONG>(count);
}
