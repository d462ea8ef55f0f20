// Test stand-in for the system's newdev.dll: installs the selected driver on
// the selected device the way Windows does, through the class installer.
// Wine has no SetupDiGetSelectedDevice, so the device is the first one of
// the set (the server's sets hold exactly one).
// HKLM\Software\Q5Test\newdev steers it, read at each call:
//   "Fail"   (DWORD) non-zero: report failure without installing
//   "Reboot" (DWORD) non-zero: report that a reboot is needed
// and it records what it was given: "Calls", "LastParent", "LastReserved",
// "LastBackup" (DWORDs) and "LastDevice" (the selected device's id).
#include <windows.h>
#include <setupapi.h>

namespace {

constexpr wchar_t kControlKey[] = L"Software\\Q5Test\\newdev";
constexpr DWORD kMaxDeviceId = 200;  // as cfgmgr32 bounds an instance id

DWORD ReadSetting(HKEY key, const wchar_t* name)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS) return 0;
    return value;
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

bool SelectedDevice(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    device.cbSize = sizeof(device);
    return SetupDiEnumDeviceInfo(set, 0, &device) != FALSE;
}

void RecordCall(HKEY key, HWND parent, HDEVINFO set, LPCWSTR reserved, BOOL backup)
{
    WriteDword(key, L"Calls", ReadSetting(key, L"Calls") + 1);
    WriteDword(key, L"LastParent", parent != nullptr ? 1 : 0);
    WriteDword(key, L"LastReserved", reserved != nullptr ? 1 : 0);
    WriteDword(key, L"LastBackup", static_cast<DWORD>(backup));
    SP_DEVINFO_DATA device{};
    wchar_t id[kMaxDeviceId] = L"";
    if (SelectedDevice(set, device)) {
        SetupDiGetDeviceInstanceIdW(set, &device, id, kMaxDeviceId, nullptr);
    }
    RegSetValueExW(key, L"LastDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>(id),
                   static_cast<DWORD>((wcslen(id) + 1) * sizeof(wchar_t)));
}

BOOL InstallOnSelectedDevice(HDEVINFO set)
{
    SP_DEVINFO_DATA device{};
    if (!SelectedDevice(set, device)) return FALSE;
    return SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, &device);
}

}  // namespace

extern "C" BOOL WINAPI InstallSelectedDriver(HWND parent, HDEVINFO set, LPCWSTR reserved, BOOL backup, PDWORD reboot)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    RecordCall(key, parent, set, reserved, backup);
    DWORD fail = ReadSetting(key, L"Fail");
    DWORD needReboot = ReadSetting(key, L"Reboot");
    RegCloseKey(key);
    if (fail != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (!InstallOnSelectedDevice(set)) return FALSE;
    if (reboot != nullptr && needReboot != 0) *reboot = TRUE;
    return TRUE;
}
