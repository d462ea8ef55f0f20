#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>

#include "devices_fixture.h"
#include "import_hook.h"
#include "trace_capture.h"

using namespace q5devtest;
using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

std::wstring ExpectedFailure(const std::wstring& device, const std::wstring& inf, LONG noFileCopy, const wchar_t* message)
{
    return L">> InstallDriver(" + device + L", " + inf + L", " + std::to_wstring(noFileCopy) + L")\n" +
           L"Driver installation failed with message : " + message + L" \n while installing " + inf + L" \non " +
           device + L"\n<< InstallDriver\n";
}

class InstallDriverTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        InstallNewdevStandIn();
        ResetNewdev();
        m_inf = WriteTextFile(TempFolder(), L"q5modem.inf", ModemInf(kModemHardwareId));
        WarmUpOnce();
        m_device = CreateModem(false, false);
    }

    // The first installation of a process leaves a handle that the platform
    // keeps for later ones; take it before any call is counted.
    void WarmUpOnce()
    {
        static bool s_bWarm = false;
        if (s_bWarm) return;
        s_bWarm = true;
        m_pService->InstallDriver(CreateModem(false, false).c_str(), m_inf.c_str(), 0);
        ResetNewdev();
    }

    HRESULT Install(LONG noFileCopy = 0)
    {
        LeakCheck check;
        return m_pService->InstallDriver(m_device.c_str(), m_inf.c_str(), noFileCopy);
    }

    std::wstring m_device;
    std::wstring m_inf;
};

TEST_F(InstallDriverTest, InstallsTheMatchingDriverThroughTheSystemNewdev)
{
    TraceCapture capture;
    EXPECT_EQ(Install(), S_OK);
    EXPECT_EQ(capture.Text(), L">> InstallDriver(" + m_device + L", " + m_inf + L", 0)\n<< InstallDriver\n");

    EXPECT_EQ(NewdevDword(L"Calls"), 1u);
    EXPECT_EQ(NewdevString(L"LastDevice"), m_device);
    EXPECT_EQ(NewdevDword(L"LastParent"), 0u);
    EXPECT_EQ(NewdevDword(L"LastReserved"), 0u);
    EXPECT_EQ(NewdevDword(L"LastBackup"), 0u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(q5fake::ReadDeviceValue(m_device, DIREG_DRV, L"Q5Installed", &type, &data)) << "driver not installed";
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(InstallDriverTest, ReportsSuccessAndNoRebootWhenNewdevAsksForOne)
{
    SetNewdevSetting(L"Reboot", 1);
    TraceCapture capture;
    EXPECT_EQ(Install(), S_OK);
    EXPECT_EQ(capture.Text(), L">> InstallDriver(" + m_device + L", " + m_inf + L", 0)\n<< InstallDriver\n");
    EXPECT_EQ(NewdevDword(L"Calls"), 1u);
}

TEST_F(InstallDriverTest, FailsWhenNewdevFailsAndUnloadsIt)
{
    SetNewdevSetting(L"Fail", 1);
    TraceCapture capture;
    EXPECT_EQ(Install(), E_FAIL);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"Failed to install driver"));
    EXPECT_FALSE(q5fake::DeviceKeyExists(m_device, DIREG_DRV));
}

TEST_F(InstallDriverTest, NamesTheInfFirstAndTheDeviceSecondForAnUnknownDevice)
{
    m_device = L"ROOT\\Q5TEST\\NOSUCH";
    TraceCapture capture;
    EXPECT_EQ(Install(), E_FAIL);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"Cann't open specified device"));
    EXPECT_EQ(NewdevDword(L"Calls"), 0u);
}

TEST_F(InstallDriverTest, FailsToSelectADriverFromAnInfForOtherHardware)
{
    m_inf = WriteTextFile(TempFolder(), L"q5other.inf", ModemInf(L"Q5TEST\\OTHERMODEM"));
    TraceCapture capture;
    EXPECT_EQ(Install(), E_FAIL);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"Cann't select best compatible driver"));
    EXPECT_EQ(NewdevDword(L"Calls"), 0u);
}

TEST_F(InstallDriverTest, FailsToSelectADriverFromAMissingInf)
{
    m_inf = TempFolder() + L"\\q5missing.inf";
    TraceCapture capture;
    EXPECT_EQ(Install(), E_FAIL);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"Cann't select best compatible driver"));
}

TEST_F(InstallDriverTest, InstallsFromAReadOnlyInf)
{
    m_inf = WriteTextFile(TempFolder(), L"q5readonly.inf", ModemInf(kModemHardwareId), true);
    EXPECT_EQ(Install(), S_OK);
    EXPECT_TRUE(q5fake::DeviceKeyExists(m_device, DIREG_DRV));
}

// --- what is handed to the Setup API -------------------------------------

SP_DEVINSTALL_PARAMS_W g_setParams;
int g_iSetParamsCalls = 0;
DWORD g_dwPresetFlags = 0;
ScopedImportHook* g_pGetParams = nullptr;
ScopedImportHook* g_pSetParams = nullptr;

BOOL WINAPI PresettingGetParams(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DEVINSTALL_PARAMS_W params)
{
    BOOL ok = g_pGetParams->Original<decltype(&SetupDiGetDeviceInstallParamsW)>()(set, device, params);
    params->Flags |= g_dwPresetFlags;
    return ok;
}

BOOL WINAPI RecordingSetParams(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DEVINSTALL_PARAMS_W params)
{
    ++g_iSetParamsCalls;
    g_setParams = *params;
    return g_pSetParams->Original<decltype(&SetupDiSetDeviceInstallParamsW)>()(set, device, params);
}

class InstallParamsTest : public InstallDriverTest {
protected:
    void SetUp() override
    {
        InstallDriverTest::SetUp();
        g_iSetParamsCalls = 0;
        g_dwPresetFlags = 0;
        g_setParams = {};
    }
    ScopedImportHook m_get{"setupapi.dll", "SetupDiGetDeviceInstallParamsW", reinterpret_cast<void*>(&PresettingGetParams)};
    ScopedImportHook m_set{"setupapi.dll", "SetupDiSetDeviceInstallParamsW", reinterpret_cast<void*>(&RecordingSetParams)};
    void Bind()
    {
        g_pGetParams = &m_get;
        g_pSetParams = &m_set;
    }
};

TEST_F(InstallParamsTest, AsksForAQuietSearchOfTheOneInfAndCopiesFilesByDefault)
{
    Bind();
    EXPECT_EQ(Install(0), S_OK);
    ASSERT_EQ(g_iSetParamsCalls, 1);
    EXPECT_EQ(g_setParams.cbSize, sizeof(SP_DEVINSTALL_PARAMS_W));
    EXPECT_EQ(g_setParams.Flags & (DI_QUIETINSTALL | DI_ENUMSINGLEINF), 0x810000u);
    EXPECT_EQ(g_setParams.Flags & DI_NOFILECOPY, 0u);
    EXPECT_EQ(g_setParams.FlagsEx & DI_FLAGSEX_ALLOWEXCLUDEDDRVS, 0x800u);
    EXPECT_EQ(std::wstring(g_setParams.DriverPath), m_inf);
}

TEST_F(InstallParamsTest, AnyNonZeroNoFileCopyAddsNoFileCopy)
{
    Bind();
    EXPECT_EQ(Install(7), S_OK);
    ASSERT_EQ(g_iSetParamsCalls, 1);
    EXPECT_EQ(g_setParams.Flags & DI_NOFILECOPY, static_cast<DWORD>(DI_NOFILECOPY));
}

TEST_F(InstallParamsTest, KeepsFlagsThatWereAlreadySet)
{
    Bind();
    g_dwPresetFlags = DI_NOFILECOPY | DI_NOVCP;
    Install(0);
    ASSERT_EQ(g_iSetParamsCalls, 1);
    EXPECT_EQ(g_setParams.Flags & (DI_NOFILECOPY | DI_NOVCP), static_cast<DWORD>(DI_NOFILECOPY | DI_NOVCP));
}

TEST_F(InstallParamsTest, AcceptsAnInfPathOf259Characters)
{
    Bind();
    m_inf = L"C:\\" + std::wstring(252, L'x') + L".inf";
    ASSERT_EQ(m_inf.size(), 259u);
    EXPECT_EQ(Install(), E_FAIL);  // no such file, but the path went through whole
    ASSERT_EQ(g_iSetParamsCalls, 1);
    EXPECT_EQ(std::wstring(g_setParams.DriverPath), m_inf);
}

TEST_F(InstallParamsTest, RefusesAnInfPathOf260CharactersBeforeSettingParams)
{
    Bind();
    m_inf = L"C:\\" + std::wstring(253, L'x') + L".inf";
    ASSERT_EQ(m_inf.size(), 260u);
    TraceCapture capture;
    EXPECT_EQ(Install(), E_FAIL);
    EXPECT_EQ(g_iSetParamsCalls, 0);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"The file path that was passed in was too big"));
}

// --- newdev.dll is taken from the system folder only ----------------------

std::wstring g_loadedPath;
ScopedImportHook* g_pLoad = nullptr;

HMODULE WINAPI RecordingLoadLibrary(LPCWSTR path)
{
    g_loadedPath = path;
    return g_pLoad->Original<decltype(&LoadLibraryW)>()(path);
}

TEST_F(InstallDriverTest, LoadsNewdevByItsFullSystemPath)
{
    ScopedImportHook load("kernel32.dll", "LoadLibraryW", reinterpret_cast<void*>(&RecordingLoadLibrary));
    g_pLoad = &load;
    g_loadedPath.clear();
    EXPECT_EQ(Install(), S_OK);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(g_loadedPath, std::wstring(system) + L"\\NEWDEV.DLL");
}

// --- the failure path: one line, then the library, then the set ----------

std::wstring* g_pEvents = nullptr;
const TraceCapture* g_pCapture = nullptr;
ScopedImportHook* g_pFree = nullptr;
ScopedImportHook* g_pDestroy = nullptr;

void NoteEvent(const wchar_t* what)
{
    *g_pEvents += what;
    *g_pEvents += g_pCapture->Text().find(L"failed with message") != std::wstring::npos ? L"+traced" : L"";
    *g_pEvents += g_pCapture->Text().find(L"<< InstallDriver") != std::wstring::npos ? L"+exit" : L"";
    *g_pEvents += L";";
}

BOOL WINAPI NotingFreeLibrary(HMODULE module)
{
    NoteEvent(L"free");
    return g_pFree->Original<decltype(&FreeLibrary)>()(module);
}

BOOL WINAPI NotingDestroy(HDEVINFO set)
{
    NoteEvent(L"destroy");
    return g_pDestroy->Original<decltype(&SetupDiDestroyDeviceInfoList)>()(set);
}

FARPROC WINAPI MissingExport(HMODULE, LPCSTR) { return nullptr; }

TEST_F(InstallDriverTest, TracesTheFailureBeforeReleasingAndExitsLast)
{
    std::wstring events;
    TraceCapture capture;
    g_pEvents = &events;
    g_pCapture = &capture;
    {
        ScopedImportHook missing("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&MissingExport));
        ScopedImportHook free("kernel32.dll", "FreeLibrary", reinterpret_cast<void*>(&NotingFreeLibrary));
        ScopedImportHook destroy("setupapi.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&NotingDestroy));
        g_pFree = &free;
        g_pDestroy = &destroy;
        EXPECT_EQ(m_pService->InstallDriver(m_device.c_str(), m_inf.c_str(), 0), E_FAIL);
    }
    EXPECT_EQ(events, L"free+traced;destroy+traced;");
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, L"Cann't find InstallSelectedDriver in newdev.dll"));
    EXPECT_EQ(GetModuleHandleW(L"newdev.dll"), nullptr);
}

// --- platform failures that no real setup produces ----------------------

HDEVINFO WINAPI FailCreateList(const GUID*, HWND) { return INVALID_HANDLE_VALUE; }
BOOL WINAPI FailSelectDevice(HDEVINFO, PSP_DEVINFO_DATA) { return FALSE; }
BOOL WINAPI FailGetParams(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W) { return FALSE; }
BOOL WINAPI FailSetParams(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W) { return FALSE; }
BOOL WINAPI FailBuildList(HDEVINFO, PSP_DEVINFO_DATA, DWORD) { return FALSE; }
BOOL WINAPI FailGetDriver(HDEVINFO, PSP_DEVINFO_DATA, PSP_DRVINFO_DATA_W) { return FALSE; }
UINT WINAPI FailSystemDirectory(LPWSTR, UINT) { return 0; }
// 249 characters: 11 more for "\NEWDEV.DLL" leave no room for the terminator.
UINT WINAPI LongSystemDirectory(LPWSTR buffer, UINT)
{
    std::wstring path = L"C:\\" + std::wstring(246, L'd');
    wcscpy(buffer, path.c_str());
    return static_cast<UINT>(path.size());
}
// Too small a buffer: the size needed comes back and the buffer is not used.
UINT WINAPI OversizedSystemDirectory(LPWSTR buffer, UINT size)
{
    wmemset(buffer, L'x', size);
    return 300;
}
HMODULE WINAPI FailLoadLibrary(LPCWSTR) { return nullptr; }

struct InjectedFailure {
    const char* dll;
    const char* function;
    void* replacement;
    const wchar_t* message;
};

class InjectedInstallFailure : public InstallDriverTest, public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(InjectedInstallFailure, StopsWithItsMessageAndReleasesEverything)
{
    const InjectedFailure& failure = GetParam();
    TraceCapture capture;
    HRESULT hr;
    {
        LeakCheck check;
        ScopedImportHook hook(failure.dll, failure.function, failure.replacement);
        hr = m_pService->InstallDriver(m_device.c_str(), m_inf.c_str(), 0);
    }
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(capture.Text(), ExpectedFailure(m_device, m_inf, 0, failure.message));
    EXPECT_EQ(NewdevDword(L"Calls"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InjectedInstallFailure,
    ::testing::Values(
        InjectedFailure{"setupapi.dll", "SetupDiCreateDeviceInfoList", reinterpret_cast<void*>(&FailCreateList),
                        L"Cann't create empty device information list"},
        InjectedFailure{"setupapi.dll", "SetupDiSetSelectedDevice", reinterpret_cast<void*>(&FailSelectDevice),
                        L"Cann't set selected device"},
        InjectedFailure{"setupapi.dll", "SetupDiGetDeviceInstallParamsW", reinterpret_cast<void*>(&FailGetParams),
                        L"Cann't get selected device"},
        InjectedFailure{"setupapi.dll", "SetupDiSetDeviceInstallParamsW", reinterpret_cast<void*>(&FailSetParams),
                        L"Cann't set device install params"},
        InjectedFailure{"setupapi.dll", "SetupDiBuildDriverInfoList", reinterpret_cast<void*>(&FailBuildList),
                        L"Cann't build driver info list (possible wrong inf path?)"},
        InjectedFailure{"setupapi.dll", "SetupDiGetSelectedDriverW", reinterpret_cast<void*>(&FailGetDriver),
                        L"Cann't get selected driver"},
        InjectedFailure{"kernel32.dll", "GetSystemDirectoryW", reinterpret_cast<void*>(&FailSystemDirectory),
                        L"Cann't get system directory"},
        InjectedFailure{"kernel32.dll", "GetSystemDirectoryW", reinterpret_cast<void*>(&OversizedSystemDirectory),
                        L"Cann't get system directory"},
        InjectedFailure{"kernel32.dll", "GetSystemDirectoryW", reinterpret_cast<void*>(&LongSystemDirectory),
                        L"Cann't concatenate path with newdev.dll"},
        InjectedFailure{"kernel32.dll", "LoadLibraryW", reinterpret_cast<void*>(&FailLoadLibrary),
                        L"Cann't load newdev.dll failed"},
        InjectedFailure{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&MissingExport),
                        L"Cann't find InstallSelectedDriver in newdev.dll"}));

}  // namespace
