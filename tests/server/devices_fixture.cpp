#include "devices_fixture.h"

#include <stdio.h>

#include "process_probe.h"
#include "test_paths.h"
#include "trace.h"

namespace q5devtest {
namespace {

constexpr wchar_t kNewdevControl[] = L"Software\\Q5Test\\newdev";
int g_iSetsCreated = 0;
int g_iSetsDestroyed = 0;
q5test::ScopedImportHook* g_pCreateHook = nullptr;
q5test::ScopedImportHook* g_pDestroyHook = nullptr;

HDEVINFO WINAPI CountingCreateList(const GUID* classGuid, HWND parent)
{
    auto real = g_pCreateHook->Original<decltype(&SetupDiCreateDeviceInfoList)>();
    HDEVINFO set = real(classGuid, parent);
    if (set != INVALID_HANDLE_VALUE) ++g_iSetsCreated;
    return set;
}

BOOL WINAPI CountingDestroyList(HDEVINFO set)
{
    ++g_iSetsDestroyed;
    return g_pDestroyHook->Original<decltype(&SetupDiDestroyDeviceInfoList)>()(set);
}

}  // namespace

std::wstring NextInstanceId()
{
    static int s_iNext = 0;
    wchar_t id[64];
    _snwprintf(id, 64, L"ROOT\\Q5TEST\\%04d", s_iNext++);
    return id;
}

std::wstring CreateModem(bool hardwareKey, bool driverKey)
{
    q5fake::FakeModem modem;
    modem.instanceId = NextInstanceId();
    modem.hardwareId = kModemHardwareId;
    modem.hardwareKey = hardwareKey;
    modem.driverKey = driverKey;
    EXPECT_TRUE(q5fake::CreateFakeModem(modem));
    return modem.instanceId;
}

std::string ModemInf(const wchar_t* hardwareId)
{
    char narrowId[128];
    WideCharToMultiByte(CP_ACP, 0, hardwareId, -1, narrowId, sizeof(narrowId), nullptr, nullptr);
    return std::string("[Version]\r\n"
                       "Signature=\"$Windows NT$\"\r\n"
                       "Class=Modem\r\n"
                       "ClassGUID={4D36E96D-E325-11CE-BFC1-08002BE10318}\r\n"
                       "Provider=%Q5%\r\n"
                       "DriverVer=01/01/2026,1.0.0.0\r\n"
                       "\r\n[Manufacturer]\r\n%Q5%=Q5Models\r\n"
                       "\r\n[Q5Models]\r\n%Modem%=Q5Modem_Install,") +
           narrowId +
           "\r\n"
           "\r\n[Q5Modem_Install]\r\nAddReg=Q5Modem_AddReg\r\n"
           "\r\n[Q5Modem_AddReg]\r\nHKR,,Q5Installed,0x10001,1\r\n"
           "\r\n[Strings]\r\nQ5=\"Q5 Test\"\r\nModem=\"Q5 Test Voice Modem\"\r\n";
}

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    std::wstring folder = std::wstring(path) + L"q5devices";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::wstring InfFolder()
{
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\inf";
}

std::wstring WriteTextFile(const std::wstring& folder, const std::wstring& name, const std::string& text, bool readOnly)
{
    std::wstring path = folder + L"\\" + name;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (readOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    return path;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD FileAttributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

void InstallNewdevStandIn(int bits)
{
    std::wstring source = q5test::BuildDir(bits) + L"\\platform\\bin\\newdev.dll";
    std::wstring target = q5test::SystemFolder(bits) + L"\\newdev.dll";
    ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << GetLastError();
    // Wine prefers its built-in copy of a system DLL unless told otherwise.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t order[] = L"native";
    RegSetValueExW(key, L"newdev", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
    RegCloseKey(key);
}

void SetNewdevSetting(const wchar_t* name, DWORD value, int bits)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNewdevControl, 0, nullptr, 0, KEY_WRITE | q5test::RegistryView(bits),
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

DWORD NewdevDword(const wchar_t* name, int bits)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNewdevControl, 0, KEY_READ | q5test::RegistryView(bits), &key) != ERROR_SUCCESS)
        return 0;
    RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
    RegCloseKey(key);
    return value;
}

std::wstring NewdevString(const wchar_t* name)
{
    wchar_t value[256] = L"";
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, kNewdevControl, name, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

void ResetNewdev(int bits)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNewdevControl, 0, KEY_ALL_ACCESS | q5test::RegistryView(bits), &key) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
}

LeakCheck::LeakCheck()
    : m_dwHandles(q5test::ProcessHandleCount(GetCurrentProcessId())),
      m_create("setupapi.dll", "SetupDiCreateDeviceInfoList", reinterpret_cast<void*>(&CountingCreateList)),
      m_destroy("setupapi.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&CountingDestroyList))
{
    g_iSetsCreated = g_iSetsDestroyed = 0;
    g_pCreateHook = &m_create;
    g_pDestroyHook = &m_destroy;
}

LeakCheck::~LeakCheck()
{
    EXPECT_EQ(g_iSetsCreated, g_iSetsDestroyed) << "device information sets left open";
    EXPECT_EQ(q5test::ProcessHandleCount(GetCurrentProcessId()), m_dwHandles) << "handles or keys left open";
    EXPECT_EQ(GetModuleHandleW(L"newdev.dll"), nullptr) << "newdev.dll left loaded";
    g_pCreateHook = g_pDestroyHook = nullptr;
}

int SetsCreated() { return g_iSetsCreated; }
int SetsDestroyed() { return g_iSetsDestroyed; }

void ServiceTest::SetUp()
{
    ServiceObjectTest::SetUp();
    // The first trace of a process opens what the platform keeps for
    // standard output and the debugger output from then on.
    static bool s_bTraced = false;
    if (!s_bTraced) {
        s_bTraced = true;
        LogTrace(L"");
    }
}

}  // namespace q5devtest
