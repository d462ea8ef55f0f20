#include "service.h"

#include <setupapi.h>
#include <strsafe.h>

#include "device.h"
#include "handles.h"
#include "trace.h"

namespace {

using InstallSelectedDriverFn = BOOL(WINAPI*)(HWND, HDEVINFO, LPCWSTR, BOOL, PDWORD);

// Everything one installation holds; released newest first, after the
// failure (if any) has been traced.
struct InstallState {
    q5::UniqueDevInfo set;
    q5::UniqueLibrary module;
    SP_DEVINFO_DATA devInfo{};
};

// The class installer is to choose quietly among the drivers of this one INF.
const wchar_t* PointSearchAtInf(InstallState& state, const wchar_t* infPath, LONG noFileCopy)
{
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(state.set.Get(), &state.devInfo, &params)) return L"Cann't get selected device";
    params.Flags |= DI_QUIETINSTALL | DI_ENUMSINGLEINF;
    if (noFileCopy != 0) params.Flags |= DI_NOFILECOPY;
    // A path that does not fit whole is refused; the cut-off copy is never used.
    if (FAILED(StringCchCopyW(params.DriverPath, ARRAYSIZE(params.DriverPath), infPath))) {
        return L"The file path that was passed in was too big";
    }
    params.FlagsEx |= DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
    if (!SetupDiSetDeviceInstallParamsW(state.set.Get(), &state.devInfo, &params)) return L"Cann't set device install params";
    return nullptr;
}

const wchar_t* SelectBestDriver(InstallState& state)
{
    if (!SetupDiBuildDriverInfoList(state.set.Get(), &state.devInfo, SPDIT_COMPATDRIVER)) {
        return L"Cann't build driver info list (possible wrong inf path?)";
    }
    if (!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, state.set.Get(), &state.devInfo)) {
        return L"Cann't select best compatible driver";
    }
    SP_DRVINFO_DATA_V2_W drvInfo{};
    drvInfo.cbSize = sizeof(drvInfo);
    if (!SetupDiGetSelectedDriverW(state.set.Get(), &state.devInfo, &drvInfo)) return L"Cann't get selected driver";
    return nullptr;
}

// Only the system's own copy, by full path: no search order is involved.
const wchar_t* LoadSystemNewdev(InstallState& state)
{
    wchar_t path[MAX_PATH] = L"";
    // A directory that did not fit leaves nothing usable in the buffer.
    UINT chars = GetSystemDirectoryW(path, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH) return L"Cann't get system directory";
    if (FAILED(StringCchCatW(path, MAX_PATH, L"\\NEWDEV.DLL"))) return L"Cann't concatenate path with newdev.dll";
    state.module.Reset(LoadLibraryW(path));
    if (!state.module) return L"Cann't load newdev.dll failed";
    return nullptr;
}

const wchar_t* RunInstallSelectedDriver(InstallState& state)
{
    FARPROC proc = GetProcAddress(state.module.Get(), "InstallSelectedDriver");
    if (proc == nullptr) return L"Cann't find InstallSelectedDriver in newdev.dll";
    // Through void(*)() because GetProcAddress cannot know the real signature.
    auto install = reinterpret_cast<InstallSelectedDriverFn>(reinterpret_cast<void (*)()>(proc));
    DWORD reboot = FALSE;  // a needed reboot is not the client's business
    if (!install(nullptr, state.set.Get(), nullptr, FALSE, &reboot)) return L"Failed to install driver";
    return nullptr;
}

const wchar_t* InstallFromInf(InstallState& state, const wchar_t* deviceInstanceId, const wchar_t* infPath, LONG noFileCopy)
{
    if (const wchar_t* message = q5::OpenDeviceInNewSet(deviceInstanceId, state.set, state.devInfo)) return message;
    if (!SetupDiSetSelectedDevice(state.set.Get(), &state.devInfo)) return L"Cann't set selected device";
    if (const wchar_t* message = PointSearchAtInf(state, infPath, noFileCopy)) return message;
    if (const wchar_t* message = SelectBestDriver(state)) return message;
    if (const wchar_t* message = LoadSystemNewdev(state)) return message;
    return RunInstallSelectedDriver(state);
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::InstallDriver(const wchar_t* deviceInstanceId, const wchar_t* infPath, LONG noFileCopy)
{
    LogTrace(L">> InstallDriver(%s, %s, %d)\n", deviceInstanceId, infPath, noFileCopy);
    HRESULT hr = S_OK;
    {
        InstallState state;
        if (const wchar_t* message = InstallFromInf(state, deviceInstanceId, infPath, noFileCopy)) {
            LogTrace(L"Driver installation failed with message : %s \n while installing %s \non %s\n", message, infPath,
                     deviceInstanceId);
            hr = E_FAIL;
        }
        state.module.Reset();
        state.set.Reset();
    }
    LogTrace(L"<< InstallDriver\n");
    return hr;
}
