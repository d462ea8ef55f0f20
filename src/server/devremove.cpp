#include "service.h"

#include <setupapi.h>
#include <strsafe.h>

#include "device.h"
#include "handles.h"
#include "infname.h"
#include "trace.h"

namespace {

constexpr REGSAM kDriverKeyAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

struct RemoveState {
    q5::UniqueDevInfo set;
    SP_DEVINFO_DATA devInfo{};
    wchar_t infFile[MAX_PATH]{};  // the INF folder, then the file name behind it
    bool hasInfFile = false;
};

void TraceUnreadableInfPath(DWORD error, DWORD bytes)
{
    LogTrace(L"Can not query 'InfPath' value, error: %x, size: %i!!!\n", error, bytes);
}

// Reads "InfPath" straight behind the INF folder prefix. The data is used
// only as a terminated plain file name: the file is deleted later with
// administrator rights, so nothing may lead outside the INF folder.
void ReadInfFileName(RemoveState& state, HKEY driverKey, size_t prefixChars)
{
    wchar_t* name = state.infFile + prefixChars;
    DWORD bytes = static_cast<DWORD>((MAX_PATH - prefixChars) * sizeof(wchar_t));
    LONG error = RegQueryValueExW(driverKey, L"InfPath", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &bytes);
    if (error != ERROR_SUCCESS || bytes == 0) {
        TraceUnreadableInfPath(static_cast<DWORD>(error), bytes);
        return;
    }
    if (!q5::IsPlainInfFileName(name, bytes)) {
        TraceUnreadableInfPath(ERROR_INVALID_DATA, bytes);
        return;
    }
    state.hasInfFile = true;
}

// Finds the INF the driver came from; a device without one is still removed.
void FindInfFile(RemoveState& state)
{
    UINT windowsChars = GetWindowsDirectoryW(state.infFile, MAX_PATH);
    bool prefixBuilt = windowsChars != 0 && windowsChars < MAX_PATH &&
                       SUCCEEDED(StringCchCatW(state.infFile, MAX_PATH, L"\\inf\\"));
    q5::UniqueRegKey key = q5::AdoptSetupKey(
        SetupDiOpenDevRegKey(state.set.Get(), &state.devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV, kDriverKeyAccess));
    if (!key) {
        LogTrace(L"Can not open Class RegKey!!!\n");
        return;
    }
    if (!prefixBuilt) {
        // No room left behind the folder for any name.
        TraceUnreadableInfPath(ERROR_INSUFFICIENT_BUFFER, 0);
        return;
    }
    ReadInfFileName(state, key.Get(), wcslen(state.infFile));
}

const wchar_t* RemoveDevice(RemoveState& state, const wchar_t* deviceInstanceId)
{
    if (const wchar_t* message = q5::OpenDeviceInNewSet(deviceInstanceId, state.set, state.devInfo)) return message;
    FindInfFile(state);
    // A read-only INF could not be deleted after the removal.
    if (state.hasInfFile) SetFileAttributesW(state.infFile, FILE_ATTRIBUTE_NORMAL);

    SP_REMOVEDEVICE_PARAMS removeParams{};
    removeParams.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    removeParams.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    removeParams.Scope = DI_REMOVEDEVICE_GLOBAL;
    removeParams.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(state.set.Get(), &state.devInfo, &removeParams.ClassInstallHeader,
                                       sizeof(removeParams)) ||
        !SetupDiCallClassInstaller(DIF_REMOVE, state.set.Get(), &state.devInfo)) {
        return L"Remove failed";
    }
    return nullptr;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::RemoveDriver(const wchar_t* deviceInstanceId)
{
    LogTrace(L">> RemoveDriver(%s)\n", deviceInstanceId);
    HRESULT hr = S_OK;
    {
        RemoveState state;
        const wchar_t* message = RemoveDevice(state, deviceInstanceId);
        if (message != nullptr) {
            LogTrace(L"Driver removal failed with message : %s \n while removing %s \n", message, deviceInstanceId);
            hr = E_FAIL;
        }
        state.set.Reset();
        // Only once the device is gone and its set released.
        if (message == nullptr && state.hasInfFile) DeleteFileW(state.infFile);
    }
    LogTrace(L"<< RemoveDriver\n");
    return hr;
}
