#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices_fixture.h"
#include "import_hook.h"
#include "trace_capture.h"

using namespace q5devtest;
using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

std::wstring Entry(const std::wstring& device) { return L">> RemoveDriver(" + device + L")\n"; }
const wchar_t kExit[] = L"<< RemoveDriver\n";

std::wstring FailureLine(const std::wstring& device, const wchar_t* message)
{
    return L"Driver removal failed with message : " + std::wstring(message) + L" \n while removing " + device + L" \n";
}

std::wstring UnreadableLine(const wchar_t* error, DWORD size)
{
    return L"Can not query 'InfPath' value, error: " + std::wstring(error) + L", size: " + std::to_wstring(size) +
           L"!!!\n";
}

bool IsReadOnly(const std::wstring& path)
{
    DWORD attributes = FileAttributes(path);
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "missing: " << std::string(path.begin(), path.end());
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

DWORD RoomBehindInfFolder()
{
    return static_cast<DWORD>((MAX_PATH - (InfFolder().size() + 1)) * sizeof(wchar_t));
}

// Wine's SetupDiSetClassInstallParamsW always fails; standing in for it
// lets the real DIF_REMOVE run, and shows what it was given.
struct RemoveParamsSeen {
    int calls = 0;
    SP_REMOVEDEVICE_PARAMS params{};
    DWORD size = 0;
} g_seen;

BOOL WINAPI AcceptingSetClassInstallParams(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER header, DWORD size)
{
    ++g_seen.calls;
    g_seen.size = size;
    if (size >= sizeof(SP_REMOVEDEVICE_PARAMS)) g_seen.params = *reinterpret_cast<SP_REMOVEDEVICE_PARAMS*>(header);
    return TRUE;
}

// Wine 10 keeps two handles open from the first device removal of a
// process on; one removal through the platform itself, before any test
// counts handles, keeps that out of the leak checks.
void RemoveOneDeviceThroughThePlatform()
{
    static bool s_bDone = false;
    if (s_bDone) return;
    s_bDone = true;
    std::wstring device = CreateModem(true, true);
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    if (SetupDiOpenDeviceInfoW(set, device.c_str(), nullptr, 0, &data)) SetupDiRemoveDevice(set, &data);
    SetupDiDestroyDeviceInfoList(set);
}

// Replacements of imported functions keep the platform's calling
// convention: on x86 a plain function would leave the caller's stack wrong.
BOOL WINAPI RefusingClassInstaller(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA) { return FALSE; }
HDEVINFO WINAPI NoDeviceInfoList(const GUID*, HWND) { return INVALID_HANDLE_VALUE; }

class RemoveDriverTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        RemoveOneDeviceThroughThePlatform();
        g_seen = RemoveParamsSeen();
        m_device = CreateModem(true, true);
    }
    void TearDown() override
    {
        for (const std::wstring& path : m_files) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
        ServiceTest::TearDown();
    }

    // A read-only INF in the INF folder with its .pnf beside it, named in
    // the driver key as the Setup API would.
    void GiveDriverAnInf(const std::wstring& name)
    {
        m_inf = Keep(WriteTextFile(InfFolder(), name, ModemInf(kModemHardwareId), true));
        m_pnf = Keep(WriteTextFile(InfFolder(), name.substr(0, name.size() - 4) + L".pnf", "pnf", true));
        SetInfPath(name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    void SetInfPath(const void* data, DWORD bytes, DWORD type = REG_SZ)
    {
        ASSERT_TRUE(q5fake::WriteDeviceValue(m_device, DIREG_DRV, L"InfPath", type, data, bytes));
    }
    std::wstring Keep(const std::wstring& path)
    {
        m_files.push_back(path);
        return path;
    }

    HRESULT RemoveWithRealClassInstallParams()
    {
        LeakCheck check;
        return m_pService->RemoveDriver(m_device.c_str());
    }
    HRESULT Remove()
    {
        LeakCheck check;
        ScopedImportHook accept("setupapi.dll", "SetupDiSetClassInstallParamsW",
                                reinterpret_cast<void*>(&AcceptingSetClassInstallParams));
        return m_pService->RemoveDriver(m_device.c_str());
    }

    std::wstring m_device;
    std::wstring m_inf;
    std::wstring m_pnf;
    std::vector<std::wstring> m_files;
};

TEST_F(RemoveDriverTest, FailsUnderWineWhoseClassInstallParamsAlwaysFail)
{
    GiveDriverAnInf(L"q5remove1.inf");
    TraceCapture capture;
    EXPECT_EQ(RemoveWithRealClassInstallParams(), E_FAIL);
    EXPECT_EQ(capture.Text(), Entry(m_device) + FailureLine(m_device, L"Remove failed") + kExit);
    EXPECT_TRUE(q5fake::DeviceExists(m_device));
    EXPECT_FALSE(IsReadOnly(m_inf)) << "reset before the removal";
    EXPECT_TRUE(IsReadOnly(m_pnf));
}

TEST_F(RemoveDriverTest, RemovesTheDeviceThenDeletesItsReadOnlyInfButNotThePnf)
{
    GiveDriverAnInf(L"q5remove2.inf");
    TraceCapture capture;
    EXPECT_EQ(Remove(), S_OK);
    EXPECT_EQ(capture.Text(), Entry(m_device) + kExit);
    EXPECT_FALSE(q5fake::DeviceExists(m_device));
    EXPECT_FALSE(FileExists(m_inf));
    EXPECT_TRUE(IsReadOnly(m_pnf));

    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.size, sizeof(SP_REMOVEDEVICE_PARAMS));
    EXPECT_EQ(g_seen.params.ClassInstallHeader.cbSize, sizeof(SP_CLASSINSTALL_HEADER));
    EXPECT_EQ(g_seen.params.ClassInstallHeader.InstallFunction, static_cast<DI_FUNCTION>(DIF_REMOVE));
    EXPECT_EQ(g_seen.params.Scope, static_cast<DWORD>(DI_REMOVEDEVICE_GLOBAL));
    EXPECT_EQ(g_seen.params.HwProfile, 0u);
}

TEST_F(RemoveDriverTest, RefusedRemovalKeepsTheInf)
{
    GiveDriverAnInf(L"q5remove3.inf");
    ScopedImportHook refuse("setupapi.dll", "SetupDiCallClassInstaller", reinterpret_cast<void*>(&RefusingClassInstaller));
    TraceCapture capture;
    EXPECT_EQ(Remove(), E_FAIL);
    EXPECT_EQ(capture.Text(), Entry(m_device) + FailureLine(m_device, L"Remove failed") + kExit);
    EXPECT_TRUE(FileExists(m_inf));
    EXPECT_FALSE(IsReadOnly(m_inf));
}

TEST_F(RemoveDriverTest, RemovesADeviceWithoutInfPathAndTouchesNoFile)
{
    m_inf = Keep(WriteTextFile(InfFolder(), L"q5remove4.inf", ModemInf(kModemHardwareId), true));
    TraceCapture capture;
    EXPECT_EQ(Remove(), S_OK);
    // The registry leaves the offered size as it was for a missing value.
    EXPECT_EQ(capture.Text(), Entry(m_device) + UnreadableLine(L"2", RoomBehindInfFolder()) + kExit);
    EXPECT_FALSE(q5fake::DeviceExists(m_device));
    EXPECT_TRUE(IsReadOnly(m_inf));
}

TEST_F(RemoveDriverTest, RemovesADeviceWithoutDriverKey)
{
    m_device = CreateModem(true, false);
    TraceCapture capture;
    EXPECT_EQ(Remove(), S_OK);
    EXPECT_EQ(capture.Text(), Entry(m_device) + L"Can not open Class RegKey!!!\n" + kExit);
    EXPECT_FALSE(q5fake::DeviceExists(m_device));
}

// --- "InfPath" is used only as a plain file name in the INF folder -------

class UnsafeInfPath : public RemoveDriverTest {
protected:
    // A read-only file that a careless removal would reach.
    std::wstring PlaceVictim(const std::wstring& folder)
    {
        CreateDirectoryW(folder.c_str(), nullptr);
        return Keep(WriteTextFile(folder, L"q5victim.inf", "keep me", true));
    }
    void ExpectRemovedWithout(const std::wstring& victim, const std::wstring& traced)
    {
        TraceCapture capture;
        EXPECT_EQ(Remove(), S_OK);
        EXPECT_EQ(capture.Text(), Entry(m_device) + traced + kExit);
        EXPECT_FALSE(q5fake::DeviceExists(m_device));
        EXPECT_TRUE(IsReadOnly(victim)) << "the file was touched";
    }
};

std::wstring WindowsFolder()
{
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

DWORD Bytes(const wchar_t* text) { return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)); }

TEST_F(UnsafeInfPath, ParentFolderIsRefused)
{
    std::wstring victim = PlaceVictim(WindowsFolder());
    const wchar_t value[] = L"..\\q5victim.inf";
    SetInfPath(value, Bytes(value));
    ExpectRemovedWithout(victim, UnreadableLine(L"d", Bytes(value)));
}

TEST_F(UnsafeInfPath, FullPathIsRefused)
{
    std::wstring victim = PlaceVictim(WindowsFolder());
    std::wstring value = victim;
    SetInfPath(value.c_str(), Bytes(value.c_str()));
    ExpectRemovedWithout(victim, UnreadableLine(L"d", Bytes(value.c_str())));
}

TEST_F(UnsafeInfPath, SubfolderIsRefused)
{
    std::wstring victim = PlaceVictim(InfFolder() + L"\\q5sub");
    const wchar_t value[] = L"q5sub\\q5victim.inf";
    SetInfPath(value, Bytes(value));
    ExpectRemovedWithout(victim, UnreadableLine(L"d", Bytes(value)));
}

TEST_F(UnsafeInfPath, UnterminatedValueIsRefused)
{
    std::wstring victim = PlaceVictim(InfFolder());
    // The registry adds a forgotten terminator only when one follows the data.
    const wchar_t value[] = L"q5victim.infX";
    DWORD bytes = static_cast<DWORD>((wcslen(value) - 1) * sizeof(wchar_t));
    SetInfPath(value, bytes);
    ExpectRemovedWithout(victim, UnreadableLine(L"d", bytes));
}

TEST_F(UnsafeInfPath, ValueLongerThanTheRoomLeftIsRefused)
{
    std::wstring victim = PlaceVictim(InfFolder());
    std::wstring value(300, L'q');
    SetInfPath(value.c_str(), Bytes(value.c_str()));
    ExpectRemovedWithout(victim, UnreadableLine(L"ea", Bytes(value.c_str())));
}

TEST_F(UnsafeInfPath, EmptyValueIsRefused)
{
    std::wstring victim = PlaceVictim(InfFolder());
    SetInfPath(L"", 0);
    ExpectRemovedWithout(victim, UnreadableLine(L"0", 0));
}

// --- order and platform failures ------------------------------------------

std::wstring* g_pEvents = nullptr;
ScopedImportHook* g_pDestroy = nullptr;
ScopedImportHook* g_pDelete = nullptr;

BOOL WINAPI NotingDestroy(HDEVINFO set)
{
    *g_pEvents += L"destroy;";
    return g_pDestroy->Original<decltype(&SetupDiDestroyDeviceInfoList)>()(set);
}

BOOL WINAPI NotingDelete(LPCWSTR path)
{
    *g_pEvents += L"delete " + std::wstring(path) + L";";
    return g_pDelete->Original<decltype(&DeleteFileW)>()(path);
}

TEST_F(RemoveDriverTest, DeletesOnlyTheInfAndOnlyAfterReleasingTheSet)
{
    GiveDriverAnInf(L"q5remove5.inf");
    std::wstring events;
    g_pEvents = &events;
    {
        ScopedImportHook destroy("setupapi.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&NotingDestroy));
        ScopedImportHook del("kernel32.dll", "DeleteFileW", reinterpret_cast<void*>(&NotingDelete));
        g_pDestroy = &destroy;
        g_pDelete = &del;
        EXPECT_EQ(Remove(), S_OK);
    }
    EXPECT_EQ(events, L"destroy;delete " + WindowsFolder() + L"\\inf\\q5remove5.inf;");
}

int g_iRegistryOpens = 0;
HKEY WINAPI CountingOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM)
{
    ++g_iRegistryOpens;
    return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
}

TEST_F(RemoveDriverTest, UnknownDeviceFailsBeforeTheRegistryAndTheInfFolder)
{
    m_device = L"ROOT\\Q5TEST\\NOSUCH";
    g_iRegistryOpens = 0;
    ScopedImportHook open("setupapi.dll", "SetupDiOpenDevRegKey", reinterpret_cast<void*>(&CountingOpenDevRegKey));
    TraceCapture capture;
    EXPECT_EQ(Remove(), E_FAIL);
    EXPECT_EQ(capture.Text(), Entry(m_device) + FailureLine(m_device, L"Cann't open specified device") + kExit);
    EXPECT_EQ(g_iRegistryOpens, 0);
    EXPECT_EQ(g_seen.calls, 0);
}

TEST_F(RemoveDriverTest, FailsWhenNoDeviceInformationSetCanBeMade)
{
    TraceCapture capture;
    {
        ScopedImportHook fail("setupapi.dll", "SetupDiCreateDeviceInfoList",
                              reinterpret_cast<void*>(&NoDeviceInfoList));
        EXPECT_EQ(Remove(), E_FAIL);
    }
    EXPECT_EQ(capture.Text(),
              Entry(m_device) + FailureLine(m_device, L"Cann't create empty device information list") + kExit);
    EXPECT_TRUE(q5fake::DeviceExists(m_device));
}

// A Windows folder that leaves no room for "\inf\" and a name.
UINT WINAPI LongWindowsDirectory(LPWSTR buffer, UINT)
{
    std::wstring path = L"C:\\" + std::wstring(254, L'w');
    wcscpy(buffer, path.c_str());
    return static_cast<UINT>(path.size());
}

TEST_F(RemoveDriverTest, WindowsFolderWithoutRoomForTheInfNameTouchesNoFile)
{
    GiveDriverAnInf(L"q5remove6.inf");
    ScopedImportHook longPath("kernel32.dll", "GetWindowsDirectoryW", reinterpret_cast<void*>(&LongWindowsDirectory));
    TraceCapture capture;
    EXPECT_EQ(Remove(), S_OK);
    EXPECT_EQ(capture.Text(), Entry(m_device) + UnreadableLine(L"7a", 0) + kExit);
    EXPECT_TRUE(IsReadOnly(m_inf));
}

}  // namespace
