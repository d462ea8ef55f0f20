// The device operations across processes: the registered server of either
// bitness started by hand (its trace in a file), reached through the
// proxy/stub libraries, working on simulated modems of this test's prefix.
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices_fixture.h"
#include "e2e_fixture.h"
#include "q5dm.h"

using namespace q5devtest;

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<BYTE> DwordBytes(DWORD value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(bytes, bytes + sizeof(value));
}

std::vector<BYTE> HardwareValue(const std::wstring& device, const wchar_t* name)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!q5fake::ReadDeviceValue(device, DIREG_DEV, name, &type, &data)) return {};
    return data;
}

// A 32-bit server loads the 32-bit stand-ins.
using DevicesAcrossProcesses = q5e2e::ServerOfEitherBitness;
INSTANTIATE_TEST_SUITE_P(Server, DevicesAcrossProcesses, ::testing::Values(32, 64), q5e2e::ServerName);

TEST_P(DevicesAcrossProcesses, InstallDriverPutsTheDriverOnTheDevice)
{
    InstallNewdevStandIn(Bits());
    ResetNewdev(Bits());
    std::wstring device = CreateModem(false, false);
    std::wstring inf = WriteTextFile(TempFolder(), L"q5e2emodem.inf", ModemInf(kModemHardwareId));
    std::wstring unknown = L"ROOT\\Q5TEST\\NOSUCH";

    EXPECT_EQ(m_pService->InstallDriver(device.c_str(), inf.c_str(), 0), S_OK);
    EXPECT_EQ(m_pService->InstallDriver(unknown.c_str(), inf.c_str(), 1), E_FAIL);
    std::string trace = FinishAndTrace();

    EXPECT_TRUE(Contains(trace, ">> InstallDriver(" + Narrow(device) + ", " + Narrow(inf) + ", 0)\n<< InstallDriver\n"))
        << trace;
    EXPECT_TRUE(Contains(trace, ">> InstallDriver(" + Narrow(unknown) + ", " + Narrow(inf) +
                                    ", 1)\nDriver installation failed with message : Cann't open specified device \n"
                                    " while installing " + Narrow(inf) + " \non " + Narrow(unknown) +
                                    "\n<< InstallDriver\n"))
        << trace;
    EXPECT_EQ(NewdevDword(L"Calls", Bits()), 1u) << "the stand-in of the server's bitness did the install";
    EXPECT_TRUE(q5fake::DeviceKeyExists(device, DIREG_DRV));
}

// Wine's SetupDiSetClassInstallParamsW always fails, so across processes
// the removal can only be refused; the INF stays, made writable.
TEST_P(DevicesAcrossProcesses, RemoveDriverIsRefusedUnderWine)
{
    std::wstring device = CreateModem(true, true);
    std::wstring inf = WriteTextFile(InfFolder(), L"q5e2eremove.inf", ModemInf(kModemHardwareId), true);
    const wchar_t name[] = L"q5e2eremove.inf";
    ASSERT_TRUE(q5fake::WriteDeviceValue(device, DIREG_DRV, L"InfPath", REG_SZ, name, sizeof(name)));

    EXPECT_EQ(m_pService->RemoveDriver(device.c_str()), E_FAIL);
    std::string trace = FinishAndTrace();

    EXPECT_TRUE(Contains(trace, ">> RemoveDriver(" + Narrow(device) +
                                    ")\nDriver removal failed with message : Remove failed \n while removing " +
                                    Narrow(device) + " \n<< RemoveDriver\n"))
        << trace;
    EXPECT_TRUE(q5fake::DeviceExists(device));
    DWORD attributes = FileAttributes(inf);
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(inf.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(inf.c_str());
}

TEST_P(DevicesAcrossProcesses, PowerOptionsAreReadAndWritten)
{
    std::wstring device = CreateModem(true, true);
    DWORD zero = 0;
    ASSERT_TRUE(q5fake::WriteDeviceValue(device, DIREG_DEV, L"DeviceWORable", REG_DWORD, &zero, sizeof(zero)));
    std::wstring bare = CreateModem(false, false);

    EXPECT_EQ(m_pService->isDeviceWORable(device.c_str()), S_FALSE) << "1 must arrive as 1";
    EXPECT_EQ(m_pService->setWOREnabled(device.c_str(), 7), S_OK);
    EXPECT_EQ(m_pService->setSuspendAllowed(device.c_str(), 0), S_OK);
    EXPECT_EQ(m_pService->isDeviceWORable(bare.c_str()), E_FAIL);
    EXPECT_EQ(m_pService->setWOREnabled(bare.c_str(), 1), E_FAIL);
    std::string trace = FinishAndTrace();

    EXPECT_EQ(HardwareValue(device, L"DeviceWakeEnable"), DwordBytes(1));
    EXPECT_EQ(HardwareValue(device, L"DeviceAllowSuspend"), DwordBytes(0));
    std::string d = Narrow(device), b = Narrow(bare);
    EXPECT_TRUE(Contains(trace, ">> isDeviceWORable(" + d + ")\n<< isDeviceWORable\n>> setWOREnabled(" + d +
                                    ")\n<< setWOREnabled\n>> setSuspendAllowed(" + d + ")\n<< setSuspendAllowed\n"))
        << trace;
    EXPECT_TRUE(Contains(trace, ">> isDeviceWORable(" + b +
                                    ")\nDriver query failed with message : Cann't open Device registry key\n \n"
                                    " while reading " + b + " \n<< isDeviceWORable\n"))
        << trace;
    EXPECT_TRUE(Contains(trace, ">> setWOREnabled(" + b + ")\nDriver query failed with message : Cann't open key \n"
                                    " while reading " + b + " \n<< setWOREnabled\n"))
        << trace;
}

}  // namespace
