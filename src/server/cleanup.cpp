#include "service.h"

#include <windows.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <wchar.h>

#include "handles.h"
#include "infname.h"
#include "ondemand.h"
#include "pathbuild.h"
#include "trace.h"

namespace {

constexpr REGSAM kSweepAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr DWORD kSubkeyNameChars = 259;
// "DriverDesc" is read with room for 129 characters and the terminator;
// longer descriptions fail the read and their keys are passed over.
constexpr DWORD kDescriptionBytes = 260;

const wchar_t kSerialFamily[] = L"Brisvale RK72";
const wchar_t kUsbFamily[] = L"Brisvale RK72 USB";
const wchar_t kSharedFamily[] = L"Brisvale Tolvarin";

const wchar_t kSerialUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RKSERIAL";
const wchar_t kUsbUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\URKSERIAL";

// The Windows INF folder with room behind it for an "InfPath" value.
struct InfFolderPath {
    wchar_t path[MAX_PATH];
    size_t prefixLength;  // 0 when the folder is unknown: no file is touched
};

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

bool IsMakersDriver(const wchar_t* description, LONG usbVariant)
{
    if (StartsWith(description, kSharedFamily)) return true;
    if (usbVariant != 0) return StartsWith(description, kUsbFamily);
    return StartsWith(description, kSerialFamily) && !StartsWith(description, kUsbFamily);
}

// The first class GUID the name maps to. The platform may report success
// with no GUID at all for an unknown name, so the count decides.
bool FindClassGuid(const wchar_t* className, GUID& guid)
{
    if (!q5::LoadSystemLibrary(q5::SystemLibrary::SetupApi)) return false;
    DWORD required = 0;
    BOOL ok = SetupDiClassGuidsFromNameW(className, &guid, 1, &required);
    if (!ok && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    return required >= 1;
}

void PrepareInfFolder(InfFolderPath& folder)
{
    folder.prefixLength = 0;
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    if (q5::BuildPath(folder.path, {windows, L"\\inf\\"})) folder.prefixLength = wcslen(folder.path);
}

bool ReadDescription(HKEY sub, wchar_t (&description)[kDescriptionBytes / sizeof(wchar_t) + 1])
{
    DWORD bytes = kDescriptionBytes;
    if (RegQueryValueExW(sub, L"DriverDesc", nullptr, nullptr, reinterpret_cast<BYTE*>(description), &bytes) !=
        ERROR_SUCCESS) {
        return false;
    }
    // Registry data need not carry its terminator.
    description[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

void ForceDeleteFile(const wchar_t* file)
{
    SetFileAttributesW(file, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(file);
}

// Deletes the INF named by "InfPath" and its PNF. The value is trusted only
// as a plain file name, so that no other folder can be reached.
void DeleteDriverFiles(HKEY sub, InfFolderPath& folder)
{
    if (folder.prefixLength == 0) return;
    wchar_t* name = folder.path + folder.prefixLength;
    DWORD bytes = static_cast<DWORD>((MAX_PATH - folder.prefixLength) * sizeof(wchar_t));
    if (RegQueryValueExW(sub, L"InfPath", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &bytes) != ERROR_SUCCESS) {
        return;
    }
    if (!q5::IsPlainInfFileName(name, bytes)) return;

    LogTrace(L"delete inf file: %s", folder.path);
    ForceDeleteFile(folder.path);
    // The suffix swap stays inside the file name; a shorter name would
    // reach back into the folder part of the path.
    size_t nameLength = wcslen(name);
    if (nameLength < 4) return;
    wmemcpy(name + nameLength - 4, L".pnf", 4);
    ForceDeleteFile(folder.path);
}

// True when the subkey was deleted, so that the next subkey has moved down
// into its index.
bool SweepSubkey(HKEY classKey, const wchar_t* name, LONG usbVariant, InfFolderPath& folder)
{
    {
        q5::UniqueRegKey sub;
        if (RegOpenKeyExW(classKey, name, 0, kSweepAccess, sub.Put()) != ERROR_SUCCESS) {
            LogTrace(L"No access: %s", name);
            return false;
        }
        wchar_t description[kDescriptionBytes / sizeof(wchar_t) + 1];
        if (!ReadDescription(sub.Get(), description)) return false;
        LogTrace(L"Drievr description : %s", description);
        if (!IsMakersDriver(description, usbVariant)) return false;
        DeleteDriverFiles(sub.Get(), folder);
    }
    // A key that can't be deleted would otherwise be met again at the same
    // index for ever.
    if (!q5::LoadSystemLibrary(q5::SystemLibrary::ShlwApi) || SHDeleteKeyW(classKey, name) != ERROR_SUCCESS) {
        LogTrace(L"Cann't delete registry key: %s\n", name);
        return false;
    }
    LogTrace(L"delete registry key: %s", name);
    return true;
}

void SweepClass(HKEY classKey, LONG usbVariant, InfFolderPath& folder)
{
    wchar_t name[kSubkeyNameChars + 1];
    DWORD index = 0;
    while (RegEnumKeyW(classKey, index, name, kSubkeyNameChars) == ERROR_SUCCESS) {
        ++index;
        if (SweepSubkey(classKey, name, usbVariant, folder)) --index;
    }
}

void DeleteUninstallEntry(const wchar_t* className, LONG usbVariant)
{
    if (wcscmp(className, L"Modem") != 0 || !q5::LoadSystemLibrary(q5::SystemLibrary::ShlwApi)) return;
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, usbVariant != 0 ? kUsbUninstallKey : kSerialUninstallKey);
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::CleanNotInstalled(const wchar_t* className, LONG usbVariant)
{
    LogTrace(L">> CleanNotInstalled(%s, %d)\n", className, usbVariant);

    GUID guid = GUID_NULL;
    bool known = FindClassGuid(className, guid);
    InfFolderPath folder;
    PrepareInfFolder(folder);
    {
        q5::UniqueRegKey classKey;
        if (known) classKey = q5::AdoptSetupKey(SetupDiOpenClassRegKey(&guid, kSweepAccess));
        if (classKey) {
            SweepClass(classKey.Get(), usbVariant, folder);
        } else {
            LogTrace(L"Class cann't be opened\n");
        }
    }
    DeleteUninstallEntry(className, usbVariant);
    return S_OK;
}
