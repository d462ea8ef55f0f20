// What the device operations share: every one of them starts from a fresh
// device information set that holds the one device the client named.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "handles.h"
#include "ondemand.h"

namespace q5 {

inline constexpr const wchar_t kCannotCreateList[] = L"Cann't create empty device information list";
inline constexpr const wchar_t kCannotOpenDevice[] = L"Cann't open specified device";

// Fills set and devInfo; returns the message of the step that failed, or
// null. set stays with the caller so that it is released only after the
// caller has traced the failure.
inline const wchar_t* OpenDeviceInNewSet(const wchar_t* deviceInstanceId, UniqueDevInfo& set, SP_DEVINFO_DATA& devInfo)
{
    // A Setup API that cannot be loaded fails as its first step would.
    if (!LoadSystemLibrary(SystemLibrary::SetupApi)) return kCannotCreateList;
    set.Reset(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set) return kCannotCreateList;
    devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    if (!::SetupDiOpenDeviceInfoW(set.Get(), deviceInstanceId, nullptr, 0, &devInfo)) return kCannotOpenDevice;
    return nullptr;
}

}  // namespace q5
