#include "fakedevice.h"

#include <setupapi.h>

namespace q5fake {

const GUID kModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace {

// The fixture cannot use the product's owners (it must not depend on the
// code under test), so it keeps its own tiny ones.
struct DevInfoSet {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    ~DevInfoSet()
    {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
};
struct Key {
    HKEY key = nullptr;
    ~Key()
    {
        if (key != nullptr && key != INVALID_HANDLE_VALUE) RegCloseKey(key);
    }
    bool Valid() const { return key != nullptr && key != INVALID_HANDLE_VALUE; }
};

bool OpenExisting(const std::wstring& instanceId, DevInfoSet& owner, SP_DEVINFO_DATA& device)
{
    owner.set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (owner.set == INVALID_HANDLE_VALUE) return false;
    device.cbSize = sizeof(device);
    return SetupDiOpenDeviceInfoW(owner.set, instanceId.c_str(), nullptr, 0, &device) != FALSE;
}

bool CreateKey(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD keyType)
{
    Key key;
    key.key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, keyType, nullptr, nullptr);
    return key.Valid();
}

bool OpenKey(const std::wstring& instanceId, DWORD keyType, REGSAM access, Key& key)
{
    DevInfoSet owner;
    SP_DEVINFO_DATA device{};
    if (!OpenExisting(instanceId, owner, device)) return false;
    key.key = SetupDiOpenDevRegKey(owner.set, &device, DICS_FLAG_GLOBAL, 0, keyType, access);
    return key.Valid();
}

}  // namespace

bool CreateFakeModem(const FakeModem& modem)
{
    DevInfoSet owner;
    owner.set = SetupDiCreateDeviceInfoList(&kModemClass, nullptr);
    if (owner.set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(owner.set, modem.instanceId.c_str(), &kModemClass, nullptr, nullptr, 0, &device)) {
        return false;
    }
    std::wstring ids = modem.hardwareId;
    ids.push_back(L'\0');  // a multi-string: the list ends with an empty one
    if (!SetupDiSetDeviceRegistryPropertyW(owner.set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.c_str()),
                                           static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)))) {
        return false;
    }
    if (!SetupDiRegisterDeviceInfo(owner.set, &device, 0, nullptr, nullptr, nullptr)) return false;
    if (modem.hardwareKey && !CreateKey(owner.set, device, DIREG_DEV)) return false;
    if (modem.driverKey && !CreateKey(owner.set, device, DIREG_DRV)) return false;
    return true;
}

bool WriteDeviceValue(const std::wstring& instanceId, DWORD keyType, const wchar_t* name, DWORD type, const void* data,
                      DWORD bytes)
{
    Key key;
    if (!OpenKey(instanceId, keyType, KEY_READ | KEY_WRITE, key)) return false;
    return RegSetValueExW(key.key, name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool ReadDeviceValue(const std::wstring& instanceId, DWORD keyType, const wchar_t* name, DWORD* type,
                     std::vector<BYTE>* data)
{
    Key key;
    if (!OpenKey(instanceId, keyType, KEY_READ, key)) return false;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.key, name, nullptr, type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    data->assign(bytes, 0);
    return RegQueryValueExW(key.key, name, nullptr, type, data->data(), &bytes) == ERROR_SUCCESS;
}

bool DeviceExists(const std::wstring& instanceId)
{
    DevInfoSet owner;
    SP_DEVINFO_DATA device{};
    return OpenExisting(instanceId, owner, device);
}

bool DeviceKeyExists(const std::wstring& instanceId, DWORD keyType)
{
    Key key;
    return OpenKey(instanceId, keyType, KEY_READ, key);
}

}  // namespace q5fake
