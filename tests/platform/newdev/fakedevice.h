// Simulated modems for test and demo prefixes: root-enumerated device
// instances of the Modem class that the Setup API then finds like any other.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace q5fake {

// {4d36e96d-e325-11ce-bfc1-08002be10318}
extern const GUID kModemClass;

struct FakeModem {
    std::wstring instanceId;      // e.g. ROOT\Q5TEST\0000
    std::wstring hardwareId;      // e.g. Q5TEST\VOICEMODEM
    bool hardwareKey = false;     // create the DIREG_DEV key
    bool driverKey = false;       // create the DIREG_DRV key
};

// Registers the device (and the keys asked for); false on any failure.
bool CreateFakeModem(const FakeModem& modem);

// Writes one value into the device's hardware (DIREG_DEV) or driver
// (DIREG_DRV) key, which must exist.
bool WriteDeviceValue(const std::wstring& instanceId, DWORD keyType, const wchar_t* name, DWORD type,
                      const void* data, DWORD bytes);

// Reads one value of such a key; false when the key or value is missing.
bool ReadDeviceValue(const std::wstring& instanceId, DWORD keyType, const wchar_t* name, DWORD* type,
                     std::vector<BYTE>* data);

bool DeviceExists(const std::wstring& instanceId);
bool DeviceKeyExists(const std::wstring& instanceId, DWORD keyType);

}  // namespace q5fake
