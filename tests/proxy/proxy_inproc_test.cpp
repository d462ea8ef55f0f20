// The proxy/stub library of the test's own bitness loaded into the test process: what its exports hand to the
// NDR engine, its registration, and its entry routine.
// The C view of COM: rpcproxy.h's stub table holds a C vtable struct.
#define CINTERFACE
#define USE_STUBLESS_PROXY
#include <objbase.h>
#include <rpcproxy.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "proc_format_check.h"
#include "q5dm.h"
#include "test_paths.h"

namespace {

using GetProxyDllInfoFn = void(RPC_ENTRY*)(const ProxyFileInfo***, const CLSID**);
using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using DllNoArgsFn = HRESULT(STDAPICALLTYPE*)();

const wchar_t kInterfaceKey[] = L"Interface\\{cc603a56-d9ad-11d2-86a3-00c04f8ef940}";
const wchar_t kProxyClassKey[] = L"CLSID\\{cc603a56-d9ad-11d2-86a3-00c04f8ef940}";

struct LibraryFreer {
    void operator()(HMODULE h) const { FreeLibrary(h); }
};
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer>;

struct KeyCloser {
    void operator()(HKEY h) const { RegCloseKey(h); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

constexpr q5test::Layout kOwnLayout = sizeof(void*) == 8 ? q5test::Layout::X64 : q5test::Layout::X86;

std::wstring DllPath() { return std::wstring(Q5_OUT_BIN_W) + L"\\" Q5_OWN_PROXY_DLL_W; }

// The tables hold import jumps for engine routines; this gives the routine
// that such a jump reaches. The same opcode reads its slot relative to the
// next instruction on x64 ("jmp [rip+n]") and at an absolute address on x86
// ("jmp [addr]").
const void* Resolve(const void* code)
{
    auto p = static_cast<const unsigned char*>(code);
    if (p[0] != 0xFF || p[1] != 0x25) return code;
    int32_t operand;
    memcpy(&operand, p + 2, 4);
    const void* const* slot = sizeof(void*) == 8
                                  ? reinterpret_cast<const void* const*>(p + 6 + operand)
                                  : reinterpret_cast<const void* const*>(static_cast<uintptr_t>(static_cast<uint32_t>(operand)));
    return *slot;
}

const void* Rpcrt4(const char* name)
{
    return reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"rpcrt4.dll"), name));
}

std::wstring ReadString(HKEY root, const wchar_t* subKey, const wchar_t* value)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(root, subKey, value, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) return L"<none>";
    return buffer;
}

bool KeyExists(const wchar_t* subKey)
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    UniqueKey key(raw);
    return true;
}

class ProxyDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_library.reset(LoadLibraryW(DllPath().c_str()));
        ASSERT_NE(nullptr, m_library) << "the proxy/stub library of this bitness is not built";
        m_getProxyDllInfo = Export<GetProxyDllInfoFn>("GetProxyDllInfo");
        ASSERT_NE(nullptr, m_getProxyDllInfo);
        const CLSID* clsid = nullptr;
        m_getProxyDllInfo(&m_fileList, &clsid);
        ASSERT_NE(nullptr, m_fileList);
        ASSERT_NE(nullptr, m_fileList[0]);
        m_record = m_fileList[0];
    }
    void TearDown() override
    {
        m_library.reset();
        CoUninitialize();
    }
    template <typename F>
    F Export(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_library.get(), name)));
    }
    const CInterfaceProxyVtbl* ProxyVtbl() const { return m_record->pProxyVtblList[0]; }
    const CInterfaceStubVtbl* StubVtbl() const { return m_record->pStubVtblList[0]; }

    UniqueLibrary m_library;
    GetProxyDllInfoFn m_getProxyDllInfo = nullptr;
    const ProxyFileInfo** m_fileList = nullptr;
    const ProxyFileInfo* m_record = nullptr;
};

TEST_F(ProxyDll, ProxyDllInfoGivesOneRecordAndTheInterfaceAsClass)
{
    const ProxyFileInfo** list = nullptr;
    const CLSID* clsid = nullptr;
    m_getProxyDllInfo(&list, &clsid);
    ASSERT_NE(nullptr, clsid);
    EXPECT_TRUE(IsEqualGUID(IID_IQ5DMService, *clsid));
    EXPECT_EQ(nullptr, list[1]);
    EXPECT_STREQ("IQ5DMService", m_record->pNamesArray[0]);
    EXPECT_EQ(nullptr, m_record->pNamesArray[1]);
    EXPECT_EQ(nullptr, m_record->pProxyVtblList[1]);
    EXPECT_EQ(nullptr, m_record->pStubVtblList[1]);
    EXPECT_EQ(nullptr, m_record->pDelegatedIIDs);
    EXPECT_EQ(1, m_record->TableSize);
    EXPECT_EQ(2, m_record->TableVersion);
    // The one identifier: the stub header, proxy header and class agree.
    EXPECT_EQ(clsid, StubVtbl()->header.piid);
    EXPECT_EQ(clsid, ProxyVtbl()->header.piid);
}

TEST_F(ProxyDll, ProxyTableHasTheUnknownProxiesThenStublessSlots)
{
    const CInterfaceProxyVtbl* vtbl = ProxyVtbl();
    EXPECT_EQ(Rpcrt4("IUnknown_QueryInterface_Proxy"), Resolve(vtbl->Vtbl[0]));
    EXPECT_EQ(Rpcrt4("IUnknown_AddRef_Proxy"), Resolve(vtbl->Vtbl[1]));
    EXPECT_EQ(Rpcrt4("IUnknown_Release_Proxy"), Resolve(vtbl->Vtbl[2]));
    for (int slot = 3; slot <= 18; ++slot)
        EXPECT_EQ(reinterpret_cast<void*>(static_cast<LONG_PTR>(-1)), vtbl->Vtbl[slot]) << "slot " << slot;
}

TEST_F(ProxyDll, StubTableDispatchesNineteenSlotsThroughTheEngine)
{
    const CInterfaceStubVtbl* stub = StubVtbl();
    EXPECT_EQ(19u, stub->header.DispatchTableCount);
    EXPECT_EQ(nullptr, stub->header.pDispatchTable);
    const IRpcStubBufferVtbl& v = stub->Vtbl;
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_QueryInterface"), Resolve(reinterpret_cast<const void*>(v.QueryInterface)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_AddRef"), Resolve(reinterpret_cast<const void*>(v.AddRef)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_Connect"), Resolve(reinterpret_cast<const void*>(v.Connect)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_Disconnect"), Resolve(reinterpret_cast<const void*>(v.Disconnect)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_Invoke"), Resolve(reinterpret_cast<const void*>(v.Invoke)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_IsIIDSupported"), Resolve(reinterpret_cast<const void*>(v.IsIIDSupported)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_CountRefs"), Resolve(reinterpret_cast<const void*>(v.CountRefs)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_DebugServerQueryInterface"),
              Resolve(reinterpret_cast<const void*>(v.DebugServerQueryInterface)));
    EXPECT_EQ(Rpcrt4("CStdStubBuffer_DebugServerRelease"),
              Resolve(reinterpret_cast<const void*>(v.DebugServerRelease)));
    // Release is the library's own routine.
    HMODULE owner = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(v.Release), &owner);
    EXPECT_EQ(m_library.get(), owner);
}

TEST_F(ProxyDll, ServerAndProxyInfoShareTheFormatsAndTheShiftedOffsetTable)
{
    const MIDL_SERVER_INFO* server = StubVtbl()->header.pServerInfo;
    auto proxy = static_cast<const MIDL_STUBLESS_PROXY_INFO*>(ProxyVtbl()->header.pStublessProxyInfo);
    ASSERT_NE(nullptr, server);
    ASSERT_NE(nullptr, proxy);
    EXPECT_EQ(server->pStubDesc, proxy->pStubDesc);
    EXPECT_EQ(nullptr, server->DispatchTable);
    EXPECT_EQ(nullptr, server->ThunkTable);
    EXPECT_EQ(nullptr, server->pTransferSyntax);
    EXPECT_EQ(0u, server->nCount);
    EXPECT_EQ(nullptr, proxy->pTransferSyntax);
    EXPECT_EQ(0u, proxy->nCount);
    EXPECT_EQ(server->ProcString, proxy->ProcFormatString);
    EXPECT_EQ(server->FmtStringOffset, proxy->FormatStringOffset);
    // Indexed by procedure number, so entry 3 is the first real one.
    EXPECT_TRUE(q5test::CheckFormatOffsets(server->FmtStringOffset + 3, kOwnLayout));
    EXPECT_TRUE(q5test::CheckProcFormatString(server->ProcString, q5test::ProcFormatSize(kOwnLayout), kOwnLayout));
}

TEST_F(ProxyDll, StubDescriptorUsesTheTaskAllocatorAndFixedVersions)
{
    const MIDL_STUB_DESC* d = StubVtbl()->header.pServerInfo->pStubDesc;
    EXPECT_EQ(nullptr, d->RpcInterfaceInformation);
    EXPECT_EQ(Rpcrt4("NdrOleAllocate"), Resolve(reinterpret_cast<const void*>(d->pfnAllocate)));
    EXPECT_EQ(Rpcrt4("NdrOleFree"), Resolve(reinterpret_cast<const void*>(d->pfnFree)));
    EXPECT_EQ(0, memcmp(q5test::kTypeFormatString, d->pFormatTypes, sizeof(q5test::kTypeFormatString)));
    EXPECT_EQ(1, d->fCheckBounds);
    EXPECT_EQ(0x50002u, d->Version);
    EXPECT_EQ(nullptr, d->pMallocFreeStruct);
    EXPECT_EQ(0x0600016e, d->MIDLVersion);
    EXPECT_EQ(nullptr, d->CommFaultOffsets);
    EXPECT_EQ(nullptr, d->aUserMarshalQuadruple);
    EXPECT_EQ(nullptr, d->NotifyRoutineTable);
    EXPECT_EQ(1u, d->mFlags);
    EXPECT_EQ(nullptr, d->CsRoutineTables);
}

TEST_F(ProxyDll, LookupAnswersOnlyTheInterfaceIdentifier)
{
    PIIDLookup lookup = m_record->pIIDLookupRtn;
    int index = 77;
    EXPECT_EQ(1, lookup(&IID_IQ5DMService, &index));
    EXPECT_EQ(0, index);

    IID lastByte = IID_IQ5DMService;
    lastByte.Data4[7] ^= 1;
    IID firstByte = IID_IQ5DMService;
    firstByte.Data1 ^= 1;
    const IID* others[] = {&CLSID_Q5DMService, &LIBID_Q5DMServerLib, &IID_IUnknown, &lastByte, &firstByte};
    for (const IID* other : others) {
        index = 77;
        EXPECT_EQ(0, lookup(other, &index));
        EXPECT_EQ(77, index);
    }
}

TEST_F(ProxyDll, RegistersAndUnregistersTheInterface)
{
    ASSERT_EQ(S_OK, Export<DllNoArgsFn>("DllRegisterServer")());
    std::wstring kNumMethods = std::wstring(kInterfaceKey) + L"\\NumMethods";
    std::wstring kProxyStub = std::wstring(kInterfaceKey) + L"\\ProxyStubClsid32";
    EXPECT_EQ(L"19", ReadString(HKEY_CLASSES_ROOT, kNumMethods.c_str(), nullptr));
    EXPECT_EQ(0, _wcsicmp(L"{cc603a56-d9ad-11d2-86a3-00c04f8ef940}",
                          ReadString(HKEY_CLASSES_ROOT, kProxyStub.c_str(), nullptr).c_str()));
    EXPECT_EQ(L"IQ5DMService", ReadString(HKEY_CLASSES_ROOT, kInterfaceKey, nullptr));
    std::wstring server = std::wstring(kProxyClassKey) + L"\\InProcServer32";
    wchar_t modulePath[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(m_library.get(), modulePath, MAX_PATH));
    EXPECT_EQ(0, _wcsicmp(modulePath, ReadString(HKEY_CLASSES_ROOT, server.c_str(), nullptr).c_str()));

    ASSERT_EQ(S_OK, Export<DllNoArgsFn>("DllUnregisterServer")());
    EXPECT_FALSE(KeyExists(kInterfaceKey));
    EXPECT_FALSE(KeyExists(kProxyClassKey));
}

TEST_F(ProxyDll, ClassObjectIsTheFactoryAndHoldsTheLibrary)
{
    auto getClassObject = Export<DllGetClassObjectFn>("DllGetClassObject");
    auto canUnloadNow = Export<DllNoArgsFn>("DllCanUnloadNow");
    EXPECT_EQ(S_OK, canUnloadNow());

    IPSFactoryBuffer* factory = nullptr;
    ASSERT_EQ(S_OK, getClassObject(IID_IQ5DMService, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    factory->lpVtbl->Release(factory);
    EXPECT_EQ(S_OK, canUnloadNow());

    void* none = nullptr;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(CLSID_Q5DMService, IID_IPSFactoryBuffer, &none));
    EXPECT_EQ(nullptr, none);
}

// The loader's record of a module, as far as this test reads it.
struct LoaderEntry {
    LIST_ENTRY inLoadOrder, inMemoryOrder, inInitializationOrder;
    void* dllBase;
    void* entryPoint;
    ULONG sizeOfImage;
    UNICODE_STRING fullName, baseName;
    ULONG flags;
};
constexpr ULONG kLoaderNoThreadCalls = 0x00040000;

LoaderEntry* FindLoaderEntry(HMODULE module)
{
    using QueryFn = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info = {};
    if (!query || query(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), nullptr) != 0)
        return nullptr;
    PEB* peb = info.PebBaseAddress;
    LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
    for (LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        auto entry = CONTAINING_RECORD(link, LoaderEntry, inMemoryOrder);
        if (entry->dllBase == module) return entry;
    }
    return nullptr;
}

LONG g_lEntryCalls = 0;
BOOL WINAPI CountingEntry(HINSTANCE, DWORD, LPVOID)
{
    InterlockedIncrement(&g_lEntryCalls);
    return TRUE;
}

DWORD WINAPI DoNothing(LPVOID) { return 0; }

// Starts and ends one thread with the library's entry routine swapped for
// a counter; gives the number of calls that reached it.
LONG EntryCallsDuringOneThread(LoaderEntry* entry)
{
    g_lEntryCalls = 0;
    void* original = entry->entryPoint;
    entry->entryPoint = reinterpret_cast<void*>(&CountingEntry);
    HANDLE thread = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    entry->entryPoint = original;
    return thread ? g_lEntryCalls : -1;
}

TEST_F(ProxyDll, ThreadsStartingAndEndingNeverReachTheEntryRoutine)
{
    LoaderEntry* entry = FindLoaderEntry(m_library.get());
    ASSERT_NE(nullptr, entry);
    ASSERT_TRUE(entry->flags & kLoaderNoThreadCalls) << "DisableThreadLibraryCalls had no effect";
    EXPECT_EQ(0, EntryCallsDuringOneThread(entry));

    // Control: with the loader's flag cleared the same thread is seen
    // (attach and detach), so the count above means something.
    entry->flags &= ~kLoaderNoThreadCalls;
    LONG withNotifications = EntryCallsDuringOneThread(entry);
    entry->flags |= kLoaderNoThreadCalls;
    EXPECT_EQ(2, withNotifications);
}

}  // namespace
