// Shared ground of the device operation tests: a service object, simulated
// modems, INF files, the newdev.dll stand-in and the check that a call left
// nothing open or loaded.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bitness.h"
#include "fakedevice.h"
#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"

namespace q5devtest {

constexpr wchar_t kModemHardwareId[] = L"Q5TEST\\VOICEMODEM";

// A fresh instance id for each call: devices outlive the tests of one program.
std::wstring NextInstanceId();

// Creates a modem of kModemHardwareId; fails the test if that is impossible.
std::wstring CreateModem(bool hardwareKey, bool driverKey);

// An INF that offers a driver for hardwareId (whose install writes
// "Q5Installed" = 1 into the driver key).
std::string ModemInf(const wchar_t* hardwareId);
// Writes text to folder\name; returns the full path.
std::wstring WriteTextFile(const std::wstring& folder, const std::wstring& name, const std::string& text,
                           bool readOnly = false);
std::wstring TempFolder();
std::wstring InfFolder();  // <windows>\inf
bool FileExists(const std::wstring& path);
DWORD FileAttributes(const std::wstring& path);

// Puts the stand-in of that bitness over the newdev.dll of that bitness's
// system folder in this test prefix.
void InstallNewdevStandIn(int bits = q5test::kOwnBits);
// HKLM\Software\Q5Test\newdev: settings ("Fail", "Reboot") and records, in
// the registry view of the stand-in's bitness.
void SetNewdevSetting(const wchar_t* name, DWORD value, int bits = q5test::kOwnBits);
DWORD NewdevDword(const wchar_t* name, int bits = q5test::kOwnBits);  // 0 when missing
std::wstring NewdevString(const wchar_t* name);
void ResetNewdev(int bits = q5test::kOwnBits);

// Counts device information sets made and destroyed, kernel handles and
// whether newdev.dll is loaded, between its construction and destruction.
class LeakCheck {
public:
    LeakCheck();
    ~LeakCheck();
    LeakCheck(const LeakCheck&) = delete;
    LeakCheck& operator=(const LeakCheck&) = delete;

private:
    DWORD m_dwHandles = 0;
    q5test::ScopedImportHook m_create;
    q5test::ScopedImportHook m_destroy;
};
int SetsCreated();
int SetsDestroyed();

// One service object per test, made in a single-threaded apartment.
class ServiceTest : public q5test::ServiceObjectTest {
protected:
    void SetUp() override;
};

}  // namespace q5devtest
