// Driver files, COM ports and processes across processes, in a server of
// either bitness: what the 32-bit server does lands in the 32-bit system
// folder and registry view, through the 32-bit stand-ins.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "children_testing.h"
#include "e2e_fixture.h"
#include "msports_testing.h"
#include "pe_image.h"
#include "q5dm.h"

namespace {

const wchar_t kModemClassKey[] = L"System\\CurrentControlSet\\Control\\Class\\{4d36e96d-e325-11ce-bfc1-08002be10318}";
const wchar_t kSerialUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RKSERIAL";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool KeyExists(const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void CreateKeyWithString(const std::wstring& path, const wchar_t* name, const wchar_t* data, REGSAM view = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (name != nullptr)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                       static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void WriteText(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring WindowsFolder()
{
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

class OperationsAcrossProcesses : public q5e2e::ServerOfEitherBitness {
protected:
    static void SetUpTestSuite()
    {
        ServerOfEitherBitness::SetUpTestSuite();
        // A server binds msports.dll when it starts: the stand-ins go in first.
        if (s_bReady && !(q5test::InstallMsportsStandIn(32) && q5test::InstallMsportsStandIn(64))) {
            s_bReady = false;
            s_why = "cannot install the msports stand-ins";
        }
    }
    REGSAM OwnView() const { return q5test::RegistryView(Bits()); }
    REGSAM OtherView() const { return q5test::RegistryView(Bits() == 32 ? 64 : 32); }
};

INSTANTIATE_TEST_SUITE_P(Server, OperationsAcrossProcesses, ::testing::Values(32, 64), q5e2e::ServerName);

// The system folder is the first place searched, and a 32-bit server's
// system folder holds the 32-bit system DLLs: the saved kernel32.dll shows
// whose folder it came from.
TEST_P(OperationsAcrossProcesses, BackupDriverSavesFromTheServersOwnSystemFolder)
{
    const std::wstring inf = WindowsFolder() + L"\\inf\\q5e2eback.inf";
    WriteText(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
                   "[DestinationDirs]\r\nDefaultDestDir=11\r\n"
                   "[SourceDisksFiles]\r\nq5e2e-first.txt=1\r\nkernel32.dll=1\r\n");
    const std::wstring root = q5test::MakeTempFolder(L"q5e2eback");
    const std::wstring copy = root + L"\\copy.inf";

    EXPECT_EQ(m_pService->BackupDriver(L"q5e2eback.inf", L"\\pkg", copy.c_str(), root.c_str()), S_OK);
    EXPECT_EQ(m_pService->BackupDriver(L"q5e2e-missing.inf", L"\\pkg", copy.c_str(), root.c_str()), E_FAIL);
    std::string trace = FinishAndTrace();

    EXPECT_EQ(q5test::ReadFileBytes(copy), q5test::ReadFileBytes(inf));
    q5test::PeImage saved;
    ASSERT_TRUE(saved.Load((root + L"\\pkg\\kernel32.dll").c_str())) << trace;
    EXPECT_EQ(saved.Machine(), Bits() == 32 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
    EXPECT_TRUE(Contains(trace, "backup q5e2eback.inf\n")) << trace;
    EXPECT_TRUE(Contains(trace, "backup q5e2e-missing.inf\n")) << trace;
    DeleteFileW(inf.c_str());
}

// The driver keys live in the shared System hive; the uninstall entry lies
// under HKLM\Software, where each server sees only its own view.
TEST_P(OperationsAcrossProcesses, CleanNotInstalledSweepsTheClassAndTheUninstallEntryOfItsView)
{
    CreateKeyWithString(kModemClassKey, L"Class", L"Modem");
    const std::wstring driverKey = std::wstring(kModemClassKey) + L"\\0042";
    CreateKeyWithString(driverKey, L"DriverDesc", L"Brisvale Tolvarin Q5E2E");
    for (REGSAM view : {OwnView(), OtherView()}) CreateKeyWithString(kSerialUninstall, nullptr, nullptr, view);

    EXPECT_EQ(m_pService->CleanNotInstalled(L"Modem", 0), S_OK);
    EXPECT_EQ(m_pService->CleanNotInstalled(L"Q5NoSuchClass", 0), S_OK);
    std::string trace = FinishAndTrace();

    EXPECT_FALSE(KeyExists(driverKey, 0));
    EXPECT_FALSE(KeyExists(kSerialUninstall, OwnView()));
    EXPECT_TRUE(KeyExists(kSerialUninstall, OtherView())) << "the other view's entry was deleted";
    EXPECT_TRUE(Contains(trace, "Drievr description : Brisvale Tolvarin Q5E2Edelete registry key: 0042")) << trace;
    EXPECT_TRUE(Contains(trace, ">> CleanNotInstalled(Q5NoSuchClass, 0)\nClass cann't be opened\n")) << trace;
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSerialUninstall, OtherView(), 0);
}

TEST_P(OperationsAcrossProcesses, ComPortsGoThroughTheDatabaseOfTheServersBitness)
{
    q5test::SetComDatabaseRefusesOpen(false, Bits());
    q5test::SetTakenComPorts({1});

    EXPECT_EQ(m_pService->ClaimComPort(5), S_OK);
    std::vector<DWORD> taken = q5test::TakenComPorts();
    q5test::SetComDatabaseRefusesOpen(true, Bits());
    EXPECT_EQ(m_pService->ReleaseComPort(5), E_FAIL);
    q5test::SetComDatabaseRefusesOpen(false, Bits());
    std::string trace = FinishAndTrace();

    EXPECT_EQ(taken, (std::vector<DWORD>{1, 5}));
    EXPECT_EQ(q5test::TakenComPorts(), (std::vector<DWORD>{1, 5})) << "the refused release changed the map";
    EXPECT_TRUE(Contains(trace, "COM Database open unsuccessful!\n")) << trace;
}

TEST_P(OperationsAcrossProcesses, ProcessesAreEndedByExactNameAndRunToTheirEnd)
{
    q5test::ChildProcess child(L"q5child_forever.exe");
    ASSERT_TRUE(child.Started());
    const std::wstring exit3 = L"\"" + q5test::ChildPath(L"q5child_exit3.exe") + L"\"";

    EXPECT_EQ(m_pService->KillProcessByName(L"Q5CHILD_FOREVER.EXE"), E_FAIL);
    bool survivedOtherCase = child.IsRunning();
    EXPECT_EQ(m_pService->KillProcessByName(L"q5child_forever.exe"), E_FAIL);
    EXPECT_EQ(m_pService->SyncExec(exit3.c_str(), L"C:\\"), S_OK);
    EXPECT_EQ(m_pService->SyncExec(L"C:\\q5e2e\\missing.exe", L""), E_FAIL);
    std::string trace = FinishAndTrace();

    EXPECT_TRUE(survivedOtherCase) << "a name in another letter case ended the process";
    EXPECT_NE(child.WaitForExit(10000), STILL_ACTIVE) << trace;
    EXPECT_TRUE(Contains(trace, "Helper found... Try to kill")) << trace;
    EXPECT_TRUE(Contains(trace, ">> SyncExec(" + Narrow(exit3) + ", C:\\)\n<< SyncExec() success\n")) << trace;
    EXPECT_TRUE(Contains(trace, ">> SyncExec(C:\\q5e2e\\missing.exe, )\n<< SyncExec() failed\n")) << trace;
}

}  // namespace
