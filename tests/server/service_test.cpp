// The service object and its factory: identity, reference counting with its
// trace, creation order, and the server-process lifetime they drive.
#include <gtest/gtest.h>

#include <windows.h>

#include "factory.h"
#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

const IID kOtherIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

// Counts the process's server references the way COM does, so a test sees
// exactly which calls the code under test made.
LONG g_serverRefs = 0;
ULONG WINAPI CountingAddRef() { return static_cast<ULONG>(++g_serverRefs); }
ULONG WINAPI CountingRelease() { return static_cast<ULONG>(--g_serverRefs); }

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        g_serverRefs = 0;
        q5test::DrainMessages();
    }
    void TearDown() override
    {
        q5test::DrainMessages();
        CoUninitialize();
    }

    ScopedImportHook m_addRef{"ole32.dll", "CoAddRefServerProcess", reinterpret_cast<void*>(&CountingAddRef)};
    ScopedImportHook m_release{"ole32.dll", "CoReleaseServerProcess", reinterpret_cast<void*>(&CountingRelease)};
};

// Replaces KillAnotherMine's snapshot so that creation tests do not walk
// (and trace) every process of the prefix.
HANDLE WINAPI NoSnapshot(DWORD, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

class FactoryTest : public ServiceTest {
protected:
    ScopedImportHook m_snapshot{"kernel32.dll", "CreateToolhelp32Snapshot", reinterpret_cast<void*>(&NoSnapshot)};
};

std::wstring KillAnotherMineLines()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(L">> KillAnotherMine ") + (wcsrchr(path, L'\\') + 1) + L"\n<< KillAnotherMine\n";
}

}  // namespace

TEST_F(ServiceTest, ReferenceCountIsTracedAndLastReleaseEndsServer)
{
    CQ5DMServiceClass* object = CQ5DMServiceClass::Create();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(g_serverRefs, 1);

    TraceCapture capture;
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_FALSE(q5test::DrainMessages());
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(capture.Text(),
              L"CQ5DMServiceClass::AddRef(): 2\n"
              L"CQ5DMServiceClass::Release(): 1\n"
              L"CQ5DMServiceClass::Release(): 0\n");
    EXPECT_EQ(g_serverRefs, 0);
    EXPECT_TRUE(q5test::DrainMessages());
}

TEST_F(ServiceTest, QueryInterfaceServesOnlyIUnknownAndIQ5DMService)
{
    CQ5DMServiceClass* object = CQ5DMServiceClass::Create();
    ASSERT_NE(object, nullptr);

    void* unknown = reinterpret_cast<void*>(1);
    void* service = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(object->QueryInterface(IID_IQ5DMService, &service), S_OK);
    EXPECT_EQ(unknown, service);

    for (const IID* iid : {&IID_IClassFactory, &IID_IDispatch, &kOtherIid}) {
        void* other = reinterpret_cast<void*>(1);
        TraceCapture capture;
        EXPECT_EQ(object->QueryInterface(*iid, &other), E_NOINTERFACE);
        EXPECT_EQ(other, nullptr);
        EXPECT_EQ(capture.Text(), L"");
    }
    object->Release();
    object->Release();
    EXPECT_EQ(object->Release(), 0u);
}

TEST_F(FactoryTest, CreateInstanceTracesKillAnotherMineThenAddRefAndRelease)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);

    TraceCapture capture;
    IQ5DMService* service = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IQ5DMService, reinterpret_cast<void**>(&service)), S_OK);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(capture.Text(), KillAnotherMineLines() +
                                  L"CQ5DMServiceClass::AddRef(): 2\n"
                                  L"CQ5DMServiceClass::Release(): 1\n");
    EXPECT_EQ(g_serverRefs, 1);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(g_serverRefs, 2);

    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_FALSE(q5test::DrainMessages());
    EXPECT_EQ(service->Release(), 0u);
    EXPECT_TRUE(q5test::DrainMessages());
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(FactoryTest, CreateInstanceIgnoresTheOuterUnknown)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);
    IUnknown* service = nullptr;
    IUnknown* outer = factory;
    EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&service)), S_OK);
    ASSERT_NE(service, nullptr);
    service->Release();
    factory->Release();
}

TEST_F(FactoryTest, UnsupportedInterfaceDestroysTheObjectWithoutReleaseLine)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);

    TraceCapture capture;
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(capture.Text(), KillAnotherMineLines());
    EXPECT_EQ(g_serverRefs, 0);
    // Nothing else held the server, so the failed creation ends it.
    EXPECT_TRUE(q5test::DrainMessages());
    factory->Release();
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

TEST_F(FactoryTest, OutOfMemoryLeavesNoServerReference)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);
    void* object = reinterpret_cast<void*>(1);
    {
        ScopedImportHook noMemory("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&FailingHeapAlloc));
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IQ5DMService, &object), E_OUTOFMEMORY);
        EXPECT_EQ(ServiceClassFactory::Create(), nullptr);
    }
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_serverRefs, 0);
    // Nothing else held the server, so the failed creation ends it.
    EXPECT_TRUE(q5test::DrainMessages());
    factory->Release();
}

TEST_F(FactoryTest, OutOfMemoryKeepsALockedServer)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);
    factory->LockServer(TRUE);
    void* object = reinterpret_cast<void*>(1);
    {
        ScopedImportHook noMemory("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&FailingHeapAlloc));
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IQ5DMService, &object), E_OUTOFMEMORY);
    }
    EXPECT_EQ(g_serverRefs, 1);
    EXPECT_FALSE(q5test::DrainMessages());
    factory->LockServer(FALSE);
    EXPECT_TRUE(q5test::DrainMessages());
    factory->Release();
}

TEST_F(FactoryTest, FactoryIdentityAndCountHaveNoTraceAndNoServerReference)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);
    TraceCapture capture;

    void* unknown = nullptr;
    void* classFactory = nullptr;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, &classFactory), S_OK);
    EXPECT_EQ(unknown, classFactory);
    void* service = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(IID_IQ5DMService, &service), E_NOINTERFACE);
    EXPECT_EQ(service, nullptr);

    EXPECT_EQ(factory->AddRef(), 4u);
    EXPECT_EQ(factory->Release(), 3u);
    EXPECT_EQ(factory->Release(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(capture.Text(), L"");
    EXPECT_EQ(g_serverRefs, 0);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_FALSE(q5test::DrainMessages());
}

TEST_F(FactoryTest, LockServerHoldsTheServerUntilUnlocked)
{
    ServiceClassFactory* factory = ServiceClassFactory::Create();
    ASSERT_NE(factory, nullptr);
    TraceCapture capture;

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(g_serverRefs, 1);
    IUnknown* service = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&service)), S_OK);
    service->Release();
    EXPECT_FALSE(q5test::DrainMessages()) << "the lock still holds the server";

    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(g_serverRefs, 0);
    EXPECT_TRUE(q5test::DrainMessages());
    factory->Release();
}

TEST(ServiceRealCom, ServerProcessCountRisesAndFallsThroughCom)
{
    // The same lifetime with COM's own count rather than the recording one.
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    q5test::DrainMessages();
    CQ5DMServiceClass* object = CQ5DMServiceClass::Create();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(CoAddRefServerProcess(), 2u);
    EXPECT_EQ(CoReleaseServerProcess(), 1u);
    object->Release();
    EXPECT_TRUE(q5test::DrainMessages());
    CoUninitialize();
}
