#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices_fixture.h"
#include "import_hook.h"
#include "trace_capture.h"

using namespace q5devtest;
using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

constexpr wchar_t kWorable[] = L"DeviceWORable";
constexpr wchar_t kWake[] = L"DeviceWakeEnable";
constexpr wchar_t kSuspend[] = L"DeviceAllowSuspend";

std::wstring Failure(const wchar_t* operation, const std::wstring& device, const wchar_t* message)
{
    return L">> " + std::wstring(operation) + L"(" + device + L")\n" + L"Driver query failed with message : " + message +
           L" \n while reading " + device + L" \n<< " + operation + L"\n";
}

std::wstring Success(const wchar_t* operation, const std::wstring& device)
{
    return L">> " + std::wstring(operation) + L"(" + device + L")\n<< " + operation + L"\n";
}

struct Value {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

Value ReadHardwareValue(const std::wstring& device, const wchar_t* name)
{
    Value value;
    value.present = q5fake::ReadDeviceValue(device, DIREG_DEV, name, &value.type, &value.data);
    return value;
}

std::vector<BYTE> DwordBytes(DWORD value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(bytes, bytes + sizeof(value));
}

class PowerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        m_device = CreateModem(true, true);
    }
    void WriteHardwareValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_TRUE(q5fake::WriteDeviceValue(m_device, DIREG_DEV, name, type, data, bytes));
    }
    void WriteHardwareDword(const wchar_t* name, DWORD value)
    {
        WriteHardwareValue(name, REG_DWORD, &value, sizeof(value));
    }
    HRESULT IsWorable()
    {
        LeakCheck check;
        return m_pService->isDeviceWORable(m_device.c_str());
    }
    HRESULT SetWake(LONG enable)
    {
        LeakCheck check;
        return m_pService->setWOREnabled(m_device.c_str(), enable);
    }
    HRESULT SetSuspend(LONG allow)
    {
        LeakCheck check;
        return m_pService->setSuspendAllowed(m_device.c_str(), allow);
    }
    std::wstring m_device;
};

// --- isDeviceWORable -------------------------------------------------------

TEST_F(PowerTest, WorableIsPresenceOfTheValueWhateverItsData)
{
    for (DWORD data : {0u, 1u}) {
        WriteHardwareDword(kWorable, data);
        TraceCapture capture;
        EXPECT_EQ(IsWorable(), S_FALSE) << data;
        EXPECT_EQ(capture.Text(), Success(L"isDeviceWORable", m_device));
    }
    const BYTE twoBytes[] = {7, 7};
    WriteHardwareValue(kWorable, REG_BINARY, twoBytes, sizeof(twoBytes));
    EXPECT_EQ(IsWorable(), S_FALSE);
}

TEST_F(PowerTest, WorableFailsWithoutTheValueOrWithMoreThanFourBytes)
{
    TraceCapture capture;
    EXPECT_EQ(IsWorable(), E_FAIL);
    EXPECT_EQ(capture.Text(), Failure(L"isDeviceWORable", m_device, L"Cann't get query registry key\n"));

    const BYTE eightBytes[8] = {1};
    WriteHardwareValue(kWorable, REG_BINARY, eightBytes, sizeof(eightBytes));
    capture.Clear();
    EXPECT_EQ(IsWorable(), E_FAIL);
    EXPECT_EQ(capture.Text(), Failure(L"isDeviceWORable", m_device, L"Cann't get query registry key\n"));
}

TEST_F(PowerTest, WorableWithoutHardwareKey)
{
    m_device = CreateModem(false, true);
    TraceCapture capture;
    EXPECT_EQ(IsWorable(), E_FAIL);
    EXPECT_EQ(capture.Text(), Failure(L"isDeviceWORable", m_device, L"Cann't open Device registry key\n"));
}

// --- the setters -----------------------------------------------------------

TEST_F(PowerTest, WakeEnableWritesOneForAnyNonZeroFlag)
{
    TraceCapture capture;
    EXPECT_EQ(SetWake(7), S_OK);
    EXPECT_EQ(capture.Text(), Success(L"setWOREnabled", m_device));
    Value value = ReadHardwareValue(m_device, kWake);
    ASSERT_TRUE(value.present);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value.data, DwordBytes(1));

    EXPECT_EQ(SetWake(0), S_OK);
    EXPECT_EQ(ReadHardwareValue(m_device, kWake).data, DwordBytes(0));
    EXPECT_EQ(SetWake(-1), S_OK);
    EXPECT_EQ(ReadHardwareValue(m_device, kWake).data, DwordBytes(1));
}

TEST_F(PowerTest, SuspendAllowedZeroCreatesTheValue)
{
    ASSERT_FALSE(ReadHardwareValue(m_device, kSuspend).present);
    TraceCapture capture;
    EXPECT_EQ(SetSuspend(0), S_OK);
    EXPECT_EQ(capture.Text(), Success(L"setSuspendAllowed", m_device));
    Value value = ReadHardwareValue(m_device, kSuspend);
    ASSERT_TRUE(value.present);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value.data, DwordBytes(0));

    EXPECT_EQ(SetSuspend(2), S_OK);
    EXPECT_EQ(ReadHardwareValue(m_device, kSuspend).data, DwordBytes(1));
}

TEST_F(PowerTest, SettersWithoutHardwareKeyCreateNothing)
{
    m_device = CreateModem(false, true);
    TraceCapture capture;
    EXPECT_EQ(SetWake(1), E_FAIL);
    EXPECT_EQ(capture.Text(), Failure(L"setWOREnabled", m_device, L"Cann't open key"));
    capture.Clear();
    EXPECT_EQ(SetSuspend(1), E_FAIL);
    EXPECT_EQ(capture.Text(), Failure(L"setSuspendAllowed", m_device, L"Cann't open key"));
    EXPECT_FALSE(q5fake::DeviceKeyExists(m_device, DIREG_DEV));
}

LONG WINAPI FailSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

TEST_F(PowerTest, FailedWriteLeavesTheRegistryAsItWas)
{
    WriteHardwareDword(kWake, 0);
    TraceCapture capture;
    {
        ScopedImportHook fail("advapi32.dll", "RegSetValueExW", reinterpret_cast<void*>(&FailSetValue));
        EXPECT_EQ(SetWake(1), E_FAIL);
        EXPECT_EQ(SetSuspend(1), E_FAIL);
    }
    EXPECT_EQ(capture.Text(), Failure(L"setWOREnabled", m_device, L"Cann't set value") +
                                  Failure(L"setSuspendAllowed", m_device, L"Cann't write key value"));
    EXPECT_EQ(ReadHardwareValue(m_device, kWake).data, DwordBytes(0));
    EXPECT_FALSE(ReadHardwareValue(m_device, kSuspend).present);
}

// --- the key that is opened --------------------------------------------------

struct KeyRequest {
    DWORD scope, profile, keyType;
    REGSAM access;
};
std::vector<KeyRequest> g_requests;
ScopedImportHook* g_pOpenKey = nullptr;

HKEY WINAPI RecordingOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                                   REGSAM access)
{
    g_requests.push_back({scope, profile, keyType, access});
    return g_pOpenKey->Original<decltype(&SetupDiOpenDevRegKey)>()(set, device, scope, profile, keyType, access);
}

TEST_F(PowerTest, OpensTheGlobalHardwareKeyReadOnlyToQueryAndReadWriteToSet)
{
    g_requests.clear();
    {
        ScopedImportHook open("setupapi.dll", "SetupDiOpenDevRegKey", reinterpret_cast<void*>(&RecordingOpenDevRegKey));
        g_pOpenKey = &open;
        IsWorable();
        SetWake(1);
        SetSuspend(1);
    }
    ASSERT_EQ(g_requests.size(), 3u);
    const REGSAM expected[] = {0x20019, 0x2001F, 0x2001F};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g_requests[i].scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
        EXPECT_EQ(g_requests[i].profile, 0u);
        EXPECT_EQ(g_requests[i].keyType, static_cast<DWORD>(DIREG_DEV));
        EXPECT_EQ(g_requests[i].access, expected[i]) << i;
    }
}

// --- device failures, alike for the three ------------------------------------

TEST_F(PowerTest, UnknownOrMalformedDeviceFailsToOpen)
{
    for (const wchar_t* id : {L"ROOT\\Q5TEST\\NOSUCH", L"no device\\\\at all"}) {
        m_device = id;
        TraceCapture capture;
        EXPECT_EQ(IsWorable(), E_FAIL);
        EXPECT_EQ(SetWake(1), E_FAIL);
        EXPECT_EQ(SetSuspend(1), E_FAIL);
        EXPECT_EQ(capture.Text(), Failure(L"isDeviceWORable", m_device, L"Cann't open specified device") +
                                      Failure(L"setWOREnabled", m_device, L"Cann't open specified device") +
                                      Failure(L"setSuspendAllowed", m_device, L"Cann't open specified device"));
    }
}

HDEVINFO WINAPI FailCreateList(const GUID*, HWND) { return INVALID_HANDLE_VALUE; }

TEST_F(PowerTest, NoDeviceInformationSet)
{
    TraceCapture capture;
    {
        ScopedImportHook fail("setupapi.dll", "SetupDiCreateDeviceInfoList", reinterpret_cast<void*>(&FailCreateList));
        EXPECT_EQ(IsWorable(), E_FAIL);
        EXPECT_EQ(SetWake(1), E_FAIL);
        EXPECT_EQ(SetSuspend(1), E_FAIL);
    }
    const wchar_t* message = L"Cann't create empty device information list";
    EXPECT_EQ(capture.Text(), Failure(L"isDeviceWORable", m_device, message) +
                                  Failure(L"setWOREnabled", m_device, message) +
                                  Failure(L"setSuspendAllowed", m_device, message));
    EXPECT_FALSE(ReadHardwareValue(m_device, kWake).present);
}

}  // namespace
