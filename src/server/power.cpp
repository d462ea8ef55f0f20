#include "service.h"

#include <setupapi.h>
#include <wchar.h>

#include "device.h"
#include "handles.h"
#include "trace.h"

namespace {

// The power options are plain values in the device's hardware key; the
// three operations differ only in the value, the access and their texts.
struct PowerOption {
    const wchar_t* entryFormat;
    const wchar_t* exitLine;
    const wchar_t* cannotOpenKey;  // message C
    const wchar_t* cannotUseValue; // message D
    const wchar_t* valueName;
    REGSAM access;
    bool writes;
};

const PowerOption kWorQuery = {L">> isDeviceWORable(%s)\n",
                               L"<< isDeviceWORable\n",
                               L"Cann't open Device registry key\n",
                               L"Cann't get query registry key\n",
                               L"DeviceWORable",
                               KEY_READ,
                               false};
const PowerOption kWakeEnable = {L">> setWOREnabled(%s)\n",
                                 L"<< setWOREnabled\n",
                                 L"Cann't open key",
                                 L"Cann't set value",
                                 L"DeviceWakeEnable",
                                 KEY_READ | KEY_WRITE,
                                 true};
const PowerOption kAllowSuspend = {L">> setSuspendAllowed(%s)\n",
                                   L"<< setSuspendAllowed\n",
                                   L"Cann't open key",
                                   L"Cann't write key value",
                                   L"DeviceAllowSuspend",
                                   KEY_READ | KEY_WRITE,
                                   true};

// Reading only asks whether the value is there: any type, at most 4 bytes.
LONG UseValue(const PowerOption& option, HKEY key, DWORD data)
{
    if (option.writes) {
        return RegSetValueExW(key, option.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    }
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    return RegQueryValueExW(key, option.valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes);
}

// The key is closed before returning; set stays with the caller until the
// failure has been traced.
const wchar_t* ApplyToHardwareKey(const PowerOption& option, const wchar_t* deviceInstanceId, DWORD data,
                                  q5::UniqueDevInfo& set)
{
    SP_DEVINFO_DATA devInfo{};
    if (const wchar_t* message = q5::OpenDeviceInNewSet(deviceInstanceId, set, devInfo)) return message;
    q5::UniqueRegKey key =
        q5::AdoptSetupKey(SetupDiOpenDevRegKey(set.Get(), &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, option.access));
    if (!key) return option.cannotOpenKey;
    if (UseValue(option, key.Get(), data) != ERROR_SUCCESS) return option.cannotUseValue;
    return nullptr;
}

// The message is the server's own text: a line end at its end goes in
// through the format, so the trace keeps it as the line end it is, not as
// an argument's escaped one.
void TraceFailure(const wchar_t* message, const wchar_t* deviceInstanceId)
{
    size_t length = wcslen(message);
    if (length > 0 && message[length - 1] == L'\n') {
        LogTrace(L"Driver query failed with message : %.*s\n \n while reading %s \n", static_cast<int>(length - 1),
                 message, deviceInstanceId);
    } else {
        LogTrace(L"Driver query failed with message : %s \n while reading %s \n", message, deviceInstanceId);
    }
}

HRESULT RunPowerOption(const PowerOption& option, const wchar_t* deviceInstanceId, DWORD data, HRESULT success)
{
    LogTrace(option.entryFormat, deviceInstanceId);
    HRESULT hr = success;
    {
        q5::UniqueDevInfo set;
        if (const wchar_t* message = ApplyToHardwareKey(option, deviceInstanceId, data, set)) {
            TraceFailure(message, deviceInstanceId);
            hr = E_FAIL;
        }
    }
    LogTrace(option.exitLine);
    return hr;
}

DWORD AsFlag(LONG value) { return value != 0 ? 1 : 0; }

}  // namespace

// Answers with S_FALSE (1), not S_OK, when the value is present.
HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::isDeviceWORable(const wchar_t* deviceInstanceId)
{
    return RunPowerOption(kWorQuery, deviceInstanceId, 0, S_FALSE);
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::setWOREnabled(const wchar_t* deviceInstanceId, LONG enable)
{
    return RunPowerOption(kWakeEnable, deviceInstanceId, AsFlag(enable), S_OK);
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::setSuspendAllowed(const wchar_t* deviceInstanceId, LONG allow)
{
    return RunPowerOption(kAllowSuspend, deviceInstanceId, AsFlag(allow), S_OK);
}
