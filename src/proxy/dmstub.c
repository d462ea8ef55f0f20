/* Proxy/stub tables of IQ5DMService for the NDR engine of rpcrt4.
 *
 * The engine interprets every method from the procedure format string, so
 * the library is tables plus the entry points that hand them over. The
 * tables are written out by hand (not taken from widl's proxy output) so
 * that their fields are exactly the ones the engine is meant to see. */

/* objbase.h first: rpcproxy.h relies on the COM declarations, and without
 * USE_STUBLESS_PROXY its proxy header lacks the stubless proxy info. */
#include <objbase.h>
#define USE_STUBLESS_PROXY
#include <rpcproxy.h>
#include <string.h>

#include "q5dm.h"
#include "formats.h"

/* 19 slots: IUnknown's three and the interface's own methods. */
#define Q5_SLOT_COUNT (3 + Q5_METHOD_COUNT)
/* A -1 proxy slot sends the call to the engine's interpreting client. */
#define Q5_STUBLESS ((void*)(LONG_PTR)-1)

/* rpcrt4 exports these, but no C header of the toolchain declares them. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

static HMODULE g_hModule;

/* The engine keeps the factory's interface table and reference count here. */
static CStdPSFactoryBuffer g_PSFactoryBuffer = {0, 0, 0, 0};

static const MIDL_STUB_DESC g_StubDesc = {
    0,                      /* RPC interface information */
    NdrOleAllocate,
    NdrOleFree,
    {0},                    /* implicit handle */
    0,                      /* rundown routines */
    0,                      /* generic binding routines */
    0,                      /* expression evaluation routines */
    0,                      /* transmit-as routines */
    g_abTypeFormatString,
    1,                      /* bounds checking */
    0x50002,                /* engine version 5.2 */
    0,                      /* allocation record */
    0x0600016e,             /* interface compiler version 6.0.366 */
    0,                      /* fault offsets */
    0,                      /* user-marshal routines */
    0,                      /* notify routines */
    1,                      /* compiler flags */
    0,                      /* character-set routines */
    0,                      /* proxy/server information */
    0                       /* expression information */
};

/* The engine indexes the offsets with the procedure number, which starts
 * at 3, so it gets the table's address less three entries. */
#define Q5_OFFSETS_BY_PROCNUM ((const unsigned short*)((const char*)g_awFormatStringOffsets - 3 * sizeof(unsigned short)))

static const MIDL_SERVER_INFO g_ServerInfo = {
    &g_StubDesc, 0, g_abProcFormatString, Q5_OFFSETS_BY_PROCNUM, 0, 0, 0, 0};

static const MIDL_STUBLESS_PROXY_INFO g_ProxyInfo = {
    &g_StubDesc, g_abProcFormatString, Q5_OFFSETS_BY_PROCNUM, 0, 0, 0};

/* Not const: the engine writes its interpreter thunks over the -1 slots. */
static CINTERFACE_PROXY_VTABLE(Q5_SLOT_COUNT) g_ProxyVtbl = {
    {&g_ProxyInfo, &IID_IQ5DMService},
    {
        IUnknown_QueryInterface_Proxy, IUnknown_AddRef_Proxy, IUnknown_Release_Proxy,
        Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS,
        Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS,
        Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS,
        Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS, Q5_STUBLESS,
    }};

/* rpcrt4 exports no CStdStubBuffer_Release: the release has to know this
 * library's factory record, so every proxy/stub library brings its own. */
static ULONG STDMETHODCALLTYPE StubBufferRelease(IRpcStubBuffer* This)
{
    return NdrCStdStubBuffer_Release(This, (IPSFactoryBuffer*)&g_PSFactoryBuffer);
}

static const CInterfaceStubVtbl g_StubVtbl = {
    {&IID_IQ5DMService, &g_ServerInfo, Q5_SLOT_COUNT, 0},
    {
        CStdStubBuffer_QueryInterface,
        CStdStubBuffer_AddRef,
        StubBufferRelease,
        CStdStubBuffer_Connect,
        CStdStubBuffer_Disconnect,
        CStdStubBuffer_Invoke,
        CStdStubBuffer_IsIIDSupported,
        CStdStubBuffer_CountRefs,
        CStdStubBuffer_DebugServerQueryInterface,
        CStdStubBuffer_DebugServerRelease,
    }};

static const PCInterfaceProxyVtblList g_apProxyVtblList[] = {(PCInterfaceProxyVtblList)&g_ProxyVtbl, 0};
static const PCInterfaceStubVtblList g_apStubVtblList[] = {(PCInterfaceStubVtblList)&g_StubVtbl, 0};
static const PCInterfaceName g_apszInterfaceNames[] = {"IQ5DMService", 0};

/* Compares whole words (the fixed-size memcpy compiles to plain loads):
 * the library links no C runtime, so there is no memcmp to call. */
__attribute__((section(".orpc"), noinline)) static int __stdcall LookupInterface(const IID* pIID, int* pIndex)
{
#ifdef _WIN64
    unsigned long long aWanted[2], aGiven[2];
    memcpy(aWanted, &IID_IQ5DMService, sizeof(aWanted));
    memcpy(aGiven, pIID, sizeof(aGiven));
    if (aGiven[0] != aWanted[0] || aGiven[1] != aWanted[1]) return 0;
#else
    unsigned int aWanted[4], aGiven[4];
    memcpy(aWanted, &IID_IQ5DMService, sizeof(aWanted));
    memcpy(aGiven, pIID, sizeof(aGiven));
    if (aGiven[0] != aWanted[0] || aGiven[1] != aWanted[1] || aGiven[2] != aWanted[2] || aGiven[3] != aWanted[3])
        return 0;
#endif
    *pIndex = 0;
    return 1;
}

static const ProxyFileInfo g_ProxyFileInfo = {
    g_apProxyVtblList,
    g_apStubVtblList,
    g_apszInterfaceNames,
    0,                      /* delegated interfaces */
    LookupInterface,
    1,                      /* table size */
    2,                      /* table version */
    0,                      /* asynchronous interfaces */
    0, 0, 0};

static const ProxyFileInfo* g_apProxyFileList[] = {&g_ProxyFileInfo, 0};

/* The interface shares its identifier with its proxy/stub class. */
static const CLSID* ProxyStubClsid(void)
{
    const PCInterfaceStubVtblList* ppStubList = g_apProxyFileList[0]->pStubVtblList;
    return ppStubList[0] ? ppStubList[0]->header.piid : 0;
}

void RPC_ENTRY GetProxyDllInfo(const ProxyFileInfo*** pInfo, const CLSID** pId)
{
    *pInfo = g_apProxyFileList;
    *pId = ProxyStubClsid();
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void)
{
    return NdrDllCanUnloadNow(&g_PSFactoryBuffer);
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return NdrDllGetClassObject(rclsid, riid, ppv, g_apProxyFileList, ProxyStubClsid(), &g_PSFactoryBuffer);
}

HRESULT STDAPICALLTYPE DllRegisterServer(void)
{
    return NdrDllRegisterProxy(g_hModule, g_apProxyFileList, ProxyStubClsid());
}

HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    return NdrDllUnregisterProxy(g_hModule, g_apProxyFileList, ProxyStubClsid());
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)pReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}
