// Calls of IQ5DMService marshalled by the proxy/stub library of the test's
// bitness between two apartments of this process: the test thread (multithreaded apartment) holds a proxy,
// a single-threaded apartment thread serves a recording implementation.
// Both sides run the real NDR engine over the library's tables.
#include <objbase.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "q5dm.h"
#include "test_paths.h"

namespace {

using DllNoArgsFn = HRESULT(STDAPICALLTYPE*)();

constexpr HRESULT kNullReference = static_cast<HRESULT>(0x800706F4);

// Cross-apartment COM hung once under a loaded Wine without saying where;
// the watchdog names the last step and ends the program well before the
// runner's timeout would.
const char* volatile g_pszStep = "start";
constexpr DWORD kWatchdogMs = 90 * 1000;

DWORD WINAPI Watchdog(LPVOID stop)
{
    if (WaitForSingleObject(stop, kWatchdogMs) == WAIT_OBJECT_0) return 0;
    fprintf(stderr, "proxy_marshal_test: not finished after %lu s; last step: %s\n", kWatchdogMs / 1000,
            g_pszStep);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

struct Call {
    int slot;
    std::vector<std::wstring> strings;
    std::vector<LONG> longs;
};

class RecordingService : public IQ5DMService {
public:
    HRESULT m_hrResult = S_OK;
    std::vector<Call> m_calls;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IQ5DMService)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IQ5DMService*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG count = InterlockedDecrement(&m_lRefCount);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    HRESULT STDMETHODCALLTYPE InstallDriver(const wchar_t* a, const wchar_t* b, LONG c) override { return Record(3, {a, b}, {c}); }
    HRESULT STDMETHODCALLTYPE RemoveDriver(const wchar_t* a) override { return Record(4, {a}); }
    HRESULT STDMETHODCALLTYPE KillProcessByName(const wchar_t* a) override { return Record(5, {a}); }
    HRESULT STDMETHODCALLTYPE PatchUninstall(const wchar_t* a, const wchar_t* b) override { return Record(6, {a, b}); }
    HRESULT STDMETHODCALLTYPE BackupDriver(const wchar_t* a, const wchar_t* b, const wchar_t* c, const wchar_t* d) override
    {
        return Record(7, {a, b, c, d});
    }
    HRESULT STDMETHODCALLTYPE CleanNotInstalled(const wchar_t* a, LONG b) override { return Record(8, {a}, {b}); }
    HRESULT STDMETHODCALLTYPE CmdLine(const wchar_t* a, const wchar_t* b, const wchar_t* c) override { return Record(9, {a, b, c}); }
    HRESULT STDMETHODCALLTYPE SyncExec(const wchar_t* a, const wchar_t* b) override { return Record(10, {a, b}); }
    HRESULT STDMETHODCALLTYPE DeleteRegKey(const wchar_t* a, const wchar_t* b) override { return Record(11, {a, b}); }
    HRESULT STDMETHODCALLTYPE ReserveComPortsBelow(LONG a) override { return Record(12, {}, {a}); }
    HRESULT STDMETHODCALLTYPE RestoreComPorts() override { return Record(13, {}); }
    HRESULT STDMETHODCALLTYPE ClaimComPort(LONG a) override { return Record(14, {}, {a}); }
    HRESULT STDMETHODCALLTYPE ReleaseComPort(LONG a) override { return Record(15, {}, {a}); }
    HRESULT STDMETHODCALLTYPE isDeviceWORable(const wchar_t* a) override { return Record(16, {a}); }
    HRESULT STDMETHODCALLTYPE setWOREnabled(const wchar_t* a, LONG b) override { return Record(17, {a}, {b}); }
    HRESULT STDMETHODCALLTYPE setSuspendAllowed(const wchar_t* a, LONG b) override { return Record(18, {a}, {b}); }

private:
    virtual ~RecordingService() = default;
    HRESULT Record(int slot, std::initializer_list<const wchar_t*> strings, std::initializer_list<LONG> longs = {})
    {
        Call call{slot, {}, longs};
        // A null here would mean the engine let one through; keep a marker.
        for (const wchar_t* s : strings) call.strings.push_back(s ? s : L"<null>");
        m_calls.push_back(call);
        return m_hrResult;
    }
    LONG m_lRefCount = 1;
};

// One method as a client calls it: S stands for a wide string, L a long.
struct Method {
    int slot;
    const char* name;
    const char* params;
    HRESULT (*call)(IQ5DMService*, const wchar_t* const* s, const LONG* l);
};

const Method kMethods[] = {
    {3, "InstallDriver", "SSL", [](IQ5DMService* p, const wchar_t* const* s, const LONG* l) { return p->InstallDriver(s[0], s[1], l[0]); }},
    {4, "RemoveDriver", "S", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->RemoveDriver(s[0]); }},
    {5, "KillProcessByName", "S", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->KillProcessByName(s[0]); }},
    {6, "PatchUninstall", "SS", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->PatchUninstall(s[0], s[1]); }},
    {7, "BackupDriver", "SSSS", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->BackupDriver(s[0], s[1], s[2], s[3]); }},
    {8, "CleanNotInstalled", "SL", [](IQ5DMService* p, const wchar_t* const* s, const LONG* l) { return p->CleanNotInstalled(s[0], l[0]); }},
    {9, "CmdLine", "SSS", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->CmdLine(s[0], s[1], s[2]); }},
    {10, "SyncExec", "SS", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->SyncExec(s[0], s[1]); }},
    {11, "DeleteRegKey", "SS", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->DeleteRegKey(s[0], s[1]); }},
    {12, "ReserveComPortsBelow", "L", [](IQ5DMService* p, const wchar_t* const*, const LONG* l) { return p->ReserveComPortsBelow(l[0]); }},
    {13, "RestoreComPorts", "", [](IQ5DMService* p, const wchar_t* const*, const LONG*) { return p->RestoreComPorts(); }},
    {14, "ClaimComPort", "L", [](IQ5DMService* p, const wchar_t* const*, const LONG* l) { return p->ClaimComPort(l[0]); }},
    {15, "ReleaseComPort", "L", [](IQ5DMService* p, const wchar_t* const*, const LONG* l) { return p->ReleaseComPort(l[0]); }},
    {16, "isDeviceWORable", "S", [](IQ5DMService* p, const wchar_t* const* s, const LONG*) { return p->isDeviceWORable(s[0]); }},
    {17, "setWOREnabled", "SL", [](IQ5DMService* p, const wchar_t* const* s, const LONG* l) { return p->setWOREnabled(s[0], l[0]); }},
    {18, "setSuspendAllowed", "SL", [](IQ5DMService* p, const wchar_t* const* s, const LONG* l) { return p->setSuspendAllowed(s[0], l[0]); }},
};

size_t CountOf(const char* params, char kind)
{
    size_t n = 0;
    for (const char* p = params; *p; ++p) n += (*p == kind);
    return n;
}

// The texts a call carries: longer than any 64 KiB buffer, empty,
// beyond Latin-1 (with a surrogate pair), and an ordinary path.
std::vector<std::wstring> SampleStrings()
{
    std::wstring longText;
    for (int i = 0; i < 40000; ++i) longText.push_back(static_cast<wchar_t>(L'A' + i % 26));
    return {longText, L"", L"\u8a2d\u5099 \u03a9\u03bc\u03ad\u03b3\u03b1 \u0416 \U0001F4DE",
            L"C:\\Program Files\\Brisvale\\q5 modem.inf"};
}

const LONG kSampleLongs[] = {INT_MIN, INT_MAX, 0, -1};

// Serves the implementation from a single-threaded apartment of its own and
// hands out the marshalled interface once.
class ApartmentServer {
public:
    explicit ApartmentServer(IQ5DMService* impl) : m_impl(impl)
    {
        m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, &ApartmentServer::Run, this, 0, &m_threadId);
        if (m_thread) WaitForSingleObject(m_ready, INFINITE);
    }
    ~ApartmentServer()
    {
        if (m_thread) {
            PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
            WaitForSingleObject(m_thread, INFINITE);
            CloseHandle(m_thread);
        }
        if (m_stream) m_stream->Release();
        CloseHandle(m_ready);
    }
    ApartmentServer(const ApartmentServer&) = delete;
    ApartmentServer& operator=(const ApartmentServer&) = delete;

    HRESULT MarshalResult() const { return m_hrMarshal; }
    IQ5DMService* Unmarshal()
    {
        IQ5DMService* proxy = nullptr;
        IStream* stream = m_stream;
        m_stream = nullptr;
        if (!stream || FAILED(CoGetInterfaceAndReleaseStream(stream, IID_IQ5DMService, reinterpret_cast<void**>(&proxy))))
            return nullptr;
        return proxy;
    }

private:
    static DWORD WINAPI Run(LPVOID param)
    {
        auto self = static_cast<ApartmentServer*>(param);
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        self->m_hrMarshal = CoMarshalInterThreadInterfaceInStream(IID_IQ5DMService, self->m_impl, &self->m_stream);
        SetEvent(self->m_ready);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        CoUninitialize();
        return 0;
    }

    IQ5DMService* m_impl;
    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    IStream* m_stream = nullptr;
    HRESULT m_hrMarshal = E_UNEXPECTED;
};

class MarshalledCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Registered the way installers do it; COM then loads the library
        // by itself from the registration.
        HMODULE library = LoadLibraryW((std::wstring(Q5_OUT_BIN_W) + L"\\" Q5_OWN_PROXY_DLL_W).c_str());
        ASSERT_NE(nullptr, library);
        auto registerServer = reinterpret_cast<DllNoArgsFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
        s_hrRegister = registerServer ? registerServer() : E_FAIL;
        FreeLibrary(library);
        s_hStopWatchdog = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s_hWatchdog = CreateThread(nullptr, 0, Watchdog, s_hStopWatchdog, 0, nullptr);
    }

    static void TearDownTestSuite()
    {
        SetEvent(s_hStopWatchdog);
        WaitForSingleObject(s_hWatchdog, INFINITE);
        CloseHandle(s_hWatchdog);
        CloseHandle(s_hStopWatchdog);
    }

    void SetUp() override
    {
        ASSERT_EQ(S_OK, s_hrRegister);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_impl = new RecordingService;
        g_pszStep = "starting the apartment and marshalling";
        m_server = std::make_unique<ApartmentServer>(m_impl);
        ASSERT_EQ(S_OK, m_server->MarshalResult());
        g_pszStep = "unmarshalling";
        m_proxy = m_server->Unmarshal();
        ASSERT_NE(nullptr, m_proxy);
        g_pszStep = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override
    {
        g_pszStep = "releasing the proxy";
        if (m_proxy) m_proxy->Release();
        g_pszStep = "ending the apartment";
        m_server.reset();  // the apartment ends, and with it the stub
        if (m_impl) m_impl->Release();
        CoUninitialize();
        g_pszStep = "between tests";
    }

    // Calls the method through the proxy with strings and longs taken from
    // the samples, starting at the given rotation.
    HRESULT CallWithSamples(const Method& m, size_t rotation, Call* sent)
    {
        static const std::vector<std::wstring> samples = SampleStrings();
        sent->slot = m.slot;
        for (size_t i = 0; i < CountOf(m.params, 'S'); ++i) sent->strings.push_back(samples[(rotation + i) % samples.size()]);
        for (size_t i = 0; i < CountOf(m.params, 'L'); ++i) sent->longs.push_back(kSampleLongs[(rotation + i) % 4]);
        const wchar_t* strings[4] = {};
        LONG longs[2] = {};
        for (size_t i = 0; i < sent->strings.size(); ++i) strings[i] = sent->strings[i].c_str();
        for (size_t i = 0; i < sent->longs.size(); ++i) longs[i] = sent->longs[i];
        return m.call(m_proxy, strings, longs);
    }

    static HRESULT s_hrRegister;
    static HANDLE s_hStopWatchdog;
    static HANDLE s_hWatchdog;
    RecordingService* m_impl = nullptr;
    std::unique_ptr<ApartmentServer> m_server;
    IQ5DMService* m_proxy = nullptr;
};

HRESULT MarshalledCalls::s_hrRegister = E_UNEXPECTED;
HANDLE MarshalledCalls::s_hStopWatchdog = nullptr;
HANDLE MarshalledCalls::s_hWatchdog = nullptr;

TEST_F(MarshalledCalls, TheProxyComesFromTheRegisteredLibrary)
{
    EXPECT_NE(static_cast<IQ5DMService*>(m_impl), m_proxy);
    EXPECT_NE(nullptr, GetModuleHandleW(Q5_OWN_PROXY_DLL_W));
}

TEST_F(MarshalledCalls, EveryMethodDeliversItsArgumentsIntact)
{
    for (const Method& m : kMethods) {
        for (size_t rotation = 0; rotation < 4; ++rotation) {
            SCOPED_TRACE(std::string(m.name) + " rotation " + std::to_string(rotation));
            m_impl->m_calls.clear();
            Call sent{};
            ASSERT_EQ(S_OK, CallWithSamples(m, rotation, &sent));
            ASSERT_EQ(1u, m_impl->m_calls.size());
            const Call& got = m_impl->m_calls[0];
            EXPECT_EQ(sent.slot, got.slot);
            EXPECT_EQ(sent.longs, got.longs);
            ASSERT_EQ(sent.strings.size(), got.strings.size());
            for (size_t i = 0; i < sent.strings.size(); ++i)
                EXPECT_TRUE(sent.strings[i] == got.strings[i]) << "string " << i << " arrived with length "
                                                              << got.strings[i].size();
        }
    }
}

TEST_F(MarshalledCalls, ResultsArriveUnchanged)
{
    const HRESULT results[] = {S_FALSE, E_FAIL, S_OK, static_cast<HRESULT>(0x80070005)};
    for (const Method& m : kMethods) {
        for (HRESULT expected : results) {
            m_impl->m_hrResult = expected;
            Call sent{};
            EXPECT_EQ(expected, CallWithSamples(m, 3, &sent)) << m.name;
        }
    }
}

TEST_F(MarshalledCalls, NullStringIsRefusedBeforeReachingTheImplementation)
{
    const LONG longs[] = {7, 7};
    for (const Method& m : kMethods) {
        const size_t count = CountOf(m.params, 'S');
        for (size_t hole = 0; hole < count; ++hole) {
            const wchar_t* strings[4] = {L"a", L"b", L"c", L"d"};
            strings[hole] = nullptr;
            m_impl->m_calls.clear();
            EXPECT_EQ(kNullReference, m.call(m_proxy, strings, longs)) << m.name << " string " << hole;
            EXPECT_TRUE(m_impl->m_calls.empty()) << m.name << " string " << hole;
        }
    }
    // The proxy stays usable afterwards.
    EXPECT_EQ(S_OK, m_proxy->RestoreComPorts());
    EXPECT_EQ(1u, m_impl->m_calls.size());
}

TEST_F(MarshalledCalls, QueryInterfaceOffersOnlyTheInterfaceAndIUnknown)
{
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, m_proxy->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    unknown->Release();
    void* other = nullptr;
    EXPECT_EQ(E_NOINTERFACE, m_proxy->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(E_NOINTERFACE, m_proxy->QueryInterface(CLSID_Q5DMService, &other));
}

TEST_F(MarshalledCalls, LibraryIsUnloadableOnceProxyAndStubAreGone)
{
    // Pinned, so that the apartments' own unloading cannot pull it away.
    HMODULE library = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(0, Q5_OWN_PROXY_DLL_W, &library));
    std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> pin(library, &FreeLibrary);
    auto canUnloadNow = reinterpret_cast<DllNoArgsFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
    ASSERT_NE(nullptr, canUnloadNow);
    EXPECT_EQ(S_FALSE, canUnloadNow());

    // The stub's release (the library's own) must hand back the factory
    // reference it holds, or the library would stay pinned.
    m_proxy->Release();
    m_proxy = nullptr;
    m_server.reset();
    EXPECT_EQ(S_OK, canUnloadNow());
}

}  // namespace
