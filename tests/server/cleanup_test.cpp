// CleanNotInstalled against the prefix's own registry and INF folder: which
// driver keys of the modem class go, which files go with them, the
// uninstall entries, and the exact trace.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

const wchar_t kModemClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{4d36e96d-e325-11ce-bfc1-08002be10318}";
const wchar_t kSerialUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RKSERIAL";
const wchar_t kUsbUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\URKSERIAL";

std::wstring WindowsDirectory()
{
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring InfFolder() { return WindowsDirectory() + L"\\inf\\"; }

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteSmallFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path.c_str();
    DWORD written = 0;
    ::WriteFile(file, "x", 1, &written, nullptr);
    CloseHandle(file);
    SetFileAttributesW(path.c_str(), attributes);
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool DriverKeyExists(const wchar_t* name) { return KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kModemClassKey) + L"\\" + name); }

void SetString(HKEY key, const wchar_t* value, const std::wstring& data)
{
    RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

// A numbered driver key; nullptr leaves the value out.
void AddDriverKey(const wchar_t* name, const wchar_t* description, const wchar_t* infPath = nullptr)
{
    HKEY key = nullptr;
    std::wstring path = std::wstring(kModemClassKey) + L"\\" + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (description != nullptr) SetString(key, L"DriverDesc", description);
    if (infPath != nullptr) SetString(key, L"InfPath", infPath);
    HKEY parameters = nullptr;
    RegCreateKeyExW(key, L"Settings", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr);
    RegCloseKey(parameters);
    RegCloseKey(key);
}

void SetRawInfPath(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
{
    HKEY key = nullptr;
    std::wstring path = std::wstring(kModemClassKey) + L"\\" + name;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueExW(key, L"InfPath", 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
}

void CreateKey(HKEY root, const wchar_t* path)
{
    HKEY key = nullptr;
    RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
}

// Starts every test with an empty modem class that the Setup API can find
// by name.
void ResetModemClass()
{
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kModemClassKey);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kModemClassKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    SetString(key, L"Class", L"Modem");
    RegCloseKey(key);
}

class CleanNotInstalledTest : public q5test::ServiceObjectTest {
protected:
    void SetUp() override
    {
        ResetModemClass();
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialUninstall);
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUsbUninstall);
        ServiceObjectTest::SetUp();
    }

    // Runs the sweep with a fresh capture; the trace is in m_trace.
    HRESULT Clean(const wchar_t* className, LONG usbVariant)
    {
        TraceCapture capture;
        HRESULT result = m_pService->CleanNotInstalled(className, usbVariant);
        m_trace = capture.Text();
        return result;
    }

    std::wstring m_trace;
};

TEST_F(CleanNotInstalledTest, TracesEveryStepExactlyAndWritesNoExitLine)
{
    AddDriverKey(L"0000", L"Standard Modem");
    AddDriverKey(L"0001", L"Brisvale RK72 Serial", L"q5trace.inf");
    AddDriverKey(L"0002", L"Brisvale Tolvarin Fax");
    AddDriverKey(L"0003", nullptr);
    WriteSmallFile(InfFolder() + L"q5trace.inf");

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(Modem, 0)\n"
                       L"Drievr description : Standard Modem"
                       L"Drievr description : Brisvale RK72 Serial"
                       L"delete inf file: " + InfFolder() + L"q5trace.inf"
                       L"delete registry key: 0001"
                       L"Drievr description : Brisvale Tolvarin Fax"
                       L"delete registry key: 0002");
    EXPECT_TRUE(DriverKeyExists(L"0000"));
    EXPECT_FALSE(DriverKeyExists(L"0001"));
    EXPECT_FALSE(DriverKeyExists(L"0002"));
    EXPECT_TRUE(DriverKeyExists(L"0003"));
}

TEST_F(CleanNotInstalledTest, DeletesNeighbouringMatchesInOneCall)
{
    AddDriverKey(L"0000", L"Standard Modem");
    AddDriverKey(L"0001", L"Other Modem");
    AddDriverKey(L"0002", L"Other Modem");
    AddDriverKey(L"0003", L"Brisvale RK72 Voice");
    AddDriverKey(L"0004", L"Brisvale RK72 Voice #2");
    AddDriverKey(L"0005", L"Other Modem");
    AddDriverKey(L"0006", L"Brisvale Tolvarin");
    AddDriverKey(L"0007", L"Brisvale Tolvarin #2");

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    for (const wchar_t* kept : {L"0000", L"0001", L"0002", L"0005"}) EXPECT_TRUE(DriverKeyExists(kept)) << kept;
    for (const wchar_t* gone : {L"0003", L"0004", L"0006", L"0007"}) EXPECT_FALSE(DriverKeyExists(gone)) << gone;
}

TEST_F(CleanNotInstalledTest, SerialAndUsbVariantsChooseTheirFamilies)
{
    struct Case {
        const wchar_t* description;
        bool serialDeletes;
        bool usbDeletes;
    };
    const Case cases[] = {
        {L"Brisvale RK72", true, false},
        {L"Brisvale RK72 Serial Voice", true, false},
        {L"Brisvale RK72USB", true, false},
        {L"Brisvale RK72 USB", false, true},
        {L"Brisvale RK72 USB Voice", false, true},
        {L"Brisvale Tolvarin", true, true},
        {L"Brisvale Tolvarin USB", true, true},
        {L"brisvale rk72 serial", false, false},
        {L"Brisvale rk72 USB", false, false},
        {L"BRISVALE TOLVARIN", false, false},
        {L" Brisvale RK72", false, false},
        {L"Brisvale RK7", false, false},
        {L"Brisvale Tolvari", false, false},
        {L"", false, false},
    };
    for (LONG usbVariant : {0L, 1L, -7L}) {
        ResetModemClass();
        wchar_t name[8];
        for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
            wsprintfW(name, L"%04u", static_cast<unsigned>(i));
            AddDriverKey(name, cases[i].description);
        }
        EXPECT_EQ(Clean(L"Modem", usbVariant), S_OK);
        for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
            wsprintfW(name, L"%04u", static_cast<unsigned>(i));
            bool deletes = usbVariant != 0 ? cases[i].usbDeletes : cases[i].serialDeletes;
            EXPECT_EQ(DriverKeyExists(name), !deletes) << "usbVariant " << usbVariant << ", \""
                                                       << std::string(cases[i].description,
                                                                      cases[i].description + wcslen(cases[i].description))
                                                       << "\"";
        }
    }
}

TEST_F(CleanNotInstalledTest, PassesOverDescriptionsOf130CharactersOrMore)
{
    std::wstring fits = L"Brisvale Tolvarin " + std::wstring(129 - 18, L'x');
    std::wstring tooLong = fits + L"y";
    std::wstring muchLonger = fits + std::wstring(300, L'z');
    ASSERT_EQ(fits.size(), 129u);
    AddDriverKey(L"0000", fits.c_str());
    AddDriverKey(L"0001", tooLong.c_str());
    AddDriverKey(L"0002", muchLonger.c_str());

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_FALSE(DriverKeyExists(L"0000"));
    EXPECT_TRUE(DriverKeyExists(L"0001"));
    EXPECT_TRUE(DriverKeyExists(L"0002"));
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(Modem, 0)\nDrievr description : " + fits + L"delete registry key: 0000");
}

TEST_F(CleanNotInstalledTest, DeletesInfAndPnfAlsoWhenReadOnly)
{
    std::wstring inf = InfFolder() + L"q5oem7.inf";
    std::wstring pnf = InfFolder() + L"q5oem7.pnf";
    std::wstring neighbour = InfFolder() + L"q5oem8.inf";
    WriteSmallFile(inf, FILE_ATTRIBUTE_READONLY);
    WriteSmallFile(pnf, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    WriteSmallFile(neighbour, FILE_ATTRIBUTE_READONLY);
    AddDriverKey(L"0000", L"Brisvale RK72 Voice", L"q5oem7.inf");

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_FALSE(FileExists(inf));
    EXPECT_FALSE(FileExists(pnf));
    EXPECT_TRUE(FileExists(neighbour));
    EXPECT_FALSE(DriverKeyExists(L"0000"));
    SetFileAttributesW(neighbour.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(neighbour.c_str());
}

TEST_F(CleanNotInstalledTest, DeletesMatchingKeyWhoseInfPathCannotBeRead)
{
    AddDriverKey(L"0000", L"Brisvale RK72 Voice");
    // Longer than the room left behind the INF folder in a MAX_PATH buffer.
    std::wstring tooLong = std::wstring(MAX_PATH - InfFolder().size(), L'q') + L".inf";
    AddDriverKey(L"0001", L"Brisvale RK72 Voice", tooLong.c_str());

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_FALSE(DriverKeyExists(L"0000"));
    EXPECT_FALSE(DriverKeyExists(L"0001"));
    EXPECT_EQ(m_trace.find(L"delete inf file"), std::wstring::npos) << m_trace.c_str();
}

// Registry data that is not a plain file name must not lead the deletion
// out of the INF folder; the key itself still goes.
TEST_F(CleanNotInstalledTest, TouchesNoFileForUnsafeInfPath)
{
    std::wstring windows = WindowsDirectory() + L"\\";
    std::vector<std::wstring> victims = {windows + L"q5victim.inf", windows + L"q5victim.pnf",
                                         InfFolder() + L"q5sub\\q5victim.inf", InfFolder() + L"q5plain.inf",
                                         InfFolder() + L"q5a..b.inf"};
    CreateDirectoryW((InfFolder() + L"q5sub").c_str(), nullptr);
    for (const std::wstring& victim : victims) WriteSmallFile(victim, FILE_ATTRIBUTE_READONLY);

    AddDriverKey(L"0000", L"Brisvale RK72 Voice", L"..\\q5victim.inf");
    AddDriverKey(L"0001", L"Brisvale RK72 Voice", L"q5sub\\q5victim.inf");
    AddDriverKey(L"0002", L"Brisvale RK72 Voice", L"q5sub/q5victim.inf");
    AddDriverKey(L"0003", L"Brisvale RK72 Voice", (windows + L"q5victim.inf").c_str());
    AddDriverKey(L"0004", L"Brisvale RK72 Voice", L"C:q5victim.inf");
    AddDriverKey(L"0005", L"Brisvale RK72 Voice", L"");
    AddDriverKey(L"0006", L"Brisvale RK72 Voice", L"q5a..b.inf");
    AddDriverKey(L"0007", L"Brisvale RK72 Voice");
    // The name of an existing file without its terminator (binary data: the
    // platform stores string types terminated).
    const wchar_t unterminated[] = L"q5plain.inf";
    SetRawInfPath(L"0007", REG_BINARY, unterminated, static_cast<DWORD>(wcslen(unterminated) * sizeof(wchar_t)));

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    for (const wchar_t* name : {L"0000", L"0001", L"0002", L"0003", L"0004", L"0005", L"0006", L"0007"}) {
        EXPECT_FALSE(DriverKeyExists(name)) << name;
    }
    for (const std::wstring& victim : victims) {
        EXPECT_TRUE(FileExists(victim)) << victim.c_str();
        SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(victim.c_str());
    }
    EXPECT_EQ(m_trace.find(L"delete inf file"), std::wstring::npos) << m_trace.c_str();
}

// The PNF name replaces the last four characters of the path; for a name
// shorter than that the replacement would reach into the folder part.
TEST_F(CleanNotInstalledTest, KeepsPnfSwapInsideShortFileNames)
{
    std::wstring shortInf = InfFolder() + L"abc";
    std::wstring outside = WindowsDirectory() + L"\\inf.pnf";
    WriteSmallFile(shortInf);
    WriteSmallFile(outside);
    AddDriverKey(L"0000", L"Brisvale RK72 Voice", L"abc");

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_FALSE(FileExists(shortInf));
    EXPECT_TRUE(FileExists(outside));
    DeleteFileW(outside.c_str());
}

TEST_F(CleanNotInstalledTest, DeletesUninstallEntryOnlyForExactModem)
{
    CreateKey(HKEY_LOCAL_MACHINE, kSerialUninstall);
    CreateKey(HKEY_LOCAL_MACHINE, kUsbUninstall);
    AddDriverKey(L"0000", L"Brisvale RK72 Voice");

    EXPECT_EQ(Clean(L"modem", 0), S_OK);
    EXPECT_FALSE(DriverKeyExists(L"0000")) << "the class name is resolved without regard to case";
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSerialUninstall));

    EXPECT_EQ(Clean(L"Modem", 1), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSerialUninstall));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUsbUninstall));

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSerialUninstall));
}

TEST_F(CleanNotInstalledTest, UnknownClassSweepsNothingButStillEndsWithTheUninstallStep)
{
    AddDriverKey(L"0000", L"Brisvale RK72 Voice");
    CreateKey(HKEY_LOCAL_MACHINE, kSerialUninstall);

    EXPECT_EQ(Clean(L"NoSuchQ5Class", 0), S_OK);
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(NoSuchQ5Class, 0)\nClass cann't be opened\n");
    EXPECT_TRUE(DriverKeyExists(L"0000"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSerialUninstall));

    // Without its Class value the modem class has no name to be found by;
    // "Modem" still removes its uninstall entry.
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kModemClassKey, 0, KEY_ALL_ACCESS, &key);
    RegDeleteValueW(key, L"Class");
    RegCloseKey(key);
    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(Modem, 0)\nClass cann't be opened\n");
    EXPECT_TRUE(DriverKeyExists(L"0000"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSerialUninstall));
}

LSTATUS(WINAPI* g_realDeleteKey)(HKEY, LPCWSTR) = nullptr;
int g_deleteAttempts = 0;

LSTATUS WINAPI DeleteKeyExcept0001(HKEY key, LPCWSTR subKey)
{
    ++g_deleteAttempts;
    if (subKey != nullptr && wcscmp(subKey, L"0001") == 0) return ERROR_ACCESS_DENIED;
    return g_realDeleteKey(key, subKey);
}

TEST_F(CleanNotInstalledTest, GoesOnPastAKeyThatCannotBeDeleted)
{
    AddDriverKey(L"0000", L"Brisvale RK72 Voice");
    AddDriverKey(L"0001", L"Brisvale RK72 Voice", L"q5stuck.inf");
    AddDriverKey(L"0002", L"Brisvale RK72 Voice");
    AddDriverKey(L"0003", L"Standard Modem");
    WriteSmallFile(InfFolder() + L"q5stuck.inf");

    ScopedImportHook hook("shlwapi.dll", "SHDeleteKeyW", reinterpret_cast<void*>(&DeleteKeyExcept0001));
    ASSERT_TRUE(hook.Installed());
    g_realDeleteKey = hook.Original<decltype(g_realDeleteKey)>();
    g_deleteAttempts = 0;

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_EQ(g_deleteAttempts, 4) << "three keys and the uninstall entry";
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(Modem, 0)\n"
                       L"Drievr description : Brisvale RK72 Voice"
                       L"delete registry key: 0000"
                       L"Drievr description : Brisvale RK72 Voice"
                       L"delete inf file: " + InfFolder() + L"q5stuck.inf"
                       L"Cann't delete registry key: 0001\n"
                       L"Drievr description : Brisvale RK72 Voice"
                       L"delete registry key: 0002"
                       L"Drievr description : Standard Modem");
    EXPECT_FALSE(DriverKeyExists(L"0000"));
    EXPECT_TRUE(DriverKeyExists(L"0001"));
    EXPECT_FALSE(DriverKeyExists(L"0002"));
    EXPECT_TRUE(DriverKeyExists(L"0003"));
}

LSTATUS(WINAPI* g_realOpenKey)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) = nullptr;

LSTATUS WINAPI OpenKeyExcept0001(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    if (subKey != nullptr && wcscmp(subKey, L"0001") == 0) return ERROR_ACCESS_DENIED;
    return g_realOpenKey(key, subKey, options, access, result);
}

TEST_F(CleanNotInstalledTest, TracesSubkeyWithoutAccessAndGoesOn)
{
    AddDriverKey(L"0000", L"Standard Modem");
    AddDriverKey(L"0001", L"Brisvale RK72 Voice");
    AddDriverKey(L"0002", L"Brisvale RK72 Voice");

    ScopedImportHook hook("advapi32.dll", "RegOpenKeyExW", reinterpret_cast<void*>(&OpenKeyExcept0001));
    ASSERT_TRUE(hook.Installed());
    g_realOpenKey = hook.Original<decltype(g_realOpenKey)>();

    EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    EXPECT_EQ(m_trace, L">> CleanNotInstalled(Modem, 0)\n"
                       L"Drievr description : Standard Modem"
                       L"No access: 0001"
                       L"Drievr description : Brisvale RK72 Voice"
                       L"delete registry key: 0002");
    EXPECT_TRUE(DriverKeyExists(L"0001"));
    EXPECT_FALSE(DriverKeyExists(L"0002"));
}

UINT WINAPI NoWindowsDirectory(LPWSTR, UINT) { return 0; }

TEST_F(CleanNotInstalledTest, DeletesKeysButNoFilesWithoutTheWindowsDirectory)
{
    WriteSmallFile(InfFolder() + L"q5nowin.inf");
    AddDriverKey(L"0000", L"Brisvale RK72 Voice", L"q5nowin.inf");
    {
        ScopedImportHook hook("kernel32.dll", "GetWindowsDirectoryW", reinterpret_cast<void*>(&NoWindowsDirectory));
        ASSERT_TRUE(hook.Installed());
        EXPECT_EQ(Clean(L"Modem", 0), S_OK);
    }
    EXPECT_FALSE(DriverKeyExists(L"0000"));
    EXPECT_TRUE(FileExists(InfFolder() + L"q5nowin.inf"));
}

}  // namespace
