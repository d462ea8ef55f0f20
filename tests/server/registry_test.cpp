// DeleteRegKey and PatchUninstall against the real registry of the test
// prefix: results exactly (S_FALSE is 1, not 0) and the trace byte for byte.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

const wchar_t kBase[] = L"Software\\Q5RegistryTest";

class RegistryTest : public q5test::ServiceObjectTest {
protected:
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBase);
        RegDeleteTreeW(HKEY_CURRENT_USER, kBase);
        ServiceObjectTest::TearDown();
    }

    static void CreateKey(HKEY root, const std::wstring& path)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static bool KeyExists(HKEY root, const std::wstring& path)
    {
        HKEY key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static void SetString(const std::wstring& path, const wchar_t* name, DWORD type, const std::wstring& data)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data.c_str(),
                                  static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
};

}  // namespace

TEST_F(RegistryTest, DeleteRegKeyRemovesAWholeSubtree)
{
    std::wstring path = std::wstring(kBase) + L"\\Tree";
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\Child\\Grandchild");
    SetString(path + L"\\Child", L"Value", REG_SZ, L"data");

    TraceCapture capture;
    EXPECT_EQ(m_pService->DeleteRegKey(L"HKLM", path.c_str()), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kBase));
    EXPECT_EQ(capture.Text(), L">> DeleteRegKey('HKLM\\" + path + L"')\n");
}

TEST_F(RegistryTest, DeleteRegKeyReportsAMissingKeyAsOne)
{
    TraceCapture capture;
    HRESULT hr = m_pService->DeleteRegKey(L"HKLM", L"Software\\Q5RegistryTest\\Missing");
    EXPECT_EQ(hr, 1);
    EXPECT_EQ(capture.Text(), L">> DeleteRegKey('HKLM\\Software\\Q5RegistryTest\\Missing')\n");
}

TEST_F(RegistryTest, DeleteRegKeyKnowsOnlyTheFiveExactRootNames)
{
    std::wstring path = std::wstring(kBase) + L"\\Kept";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    for (const wchar_t* root : {L"hklm", L"HKLM\\", L"HKEY_LOCAL_MACHINE", L"", L"HKL", L"HKLMX"}) {
        TraceCapture capture;
        EXPECT_EQ(m_pService->DeleteRegKey(root, path.c_str()), 1) << root;
        EXPECT_EQ(capture.Text(), L">> DeleteRegKey() wrong root branch\n") << root;
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, path));
}

TEST_F(RegistryTest, DeleteRegKeyReachesEveryRootBranch)
{
    struct Case {
        const wchar_t* name;
        HKEY root;
        std::wstring path;
    };
    const Case cases[] = {
        {L"HKCU", HKEY_CURRENT_USER, std::wstring(kBase) + L"\\cu"},
        {L"HKLM", HKEY_LOCAL_MACHINE, std::wstring(kBase) + L"\\lm"},
        {L"HKCR", HKEY_CLASSES_ROOT, L"Q5RegistryTest.Class"},
        {L"HKCC", HKEY_CURRENT_CONFIG, L"Software\\Q5RegistryTestCC"},
        {L"HKU", HKEY_USERS, L".DEFAULT\\Software\\Q5RegistryTestU"},
    };
    for (const Case& c : cases) {
        CreateKey(c.root, c.path + L"\\sub");
        EXPECT_EQ(m_pService->DeleteRegKey(c.name, c.path.c_str()), S_OK) << c.name;
        EXPECT_FALSE(KeyExists(c.root, c.path)) << c.name;
    }
}

TEST_F(RegistryTest, DeleteRegKeyRefusesToDeleteAWholeRootBranch)
{
    // An empty path or one of separators only names the root itself.
    std::wstring path = std::wstring(kBase) + L"\\Survivor";
    CreateKey(HKEY_CURRENT_USER, path);
    bool called = false;
    static bool* s_called = &called;
    struct Fake {
        static LSTATUS WINAPI Delete(HKEY, LPCWSTR)
        {
            *s_called = true;
            return ERROR_SUCCESS;
        }
    };
    ScopedImportHook hook("shlwapi.dll", "SHDeleteKeyW", reinterpret_cast<void*>(&Fake::Delete));
    for (const wchar_t* subKey : {L"", L"\\", L"\\\\\\"}) {
        TraceCapture capture;
        EXPECT_EQ(m_pService->DeleteRegKey(L"HKCU", subKey), 1) << subKey;
        EXPECT_EQ(capture.Text(), L">> DeleteRegKey('HKCU\\" + std::wstring(subKey) +
                                      L"')\nDeleteRegKey() refused: no key below the root branch\n");
    }
    EXPECT_FALSE(called);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, path));
}

TEST_F(RegistryTest, PatchUninstallReplacesTheValueAsPlainString)
{
    std::wstring path = std::wstring(kBase) + L"\\Uninstall\\Product";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    SetString(path, L"UninstallString", REG_EXPAND_SZ, L"%ProgramFiles%\\old.exe /x");

    TraceCapture capture;
    EXPECT_EQ(m_pService->PatchUninstall(path.c_str(), L"C:\\new uninstall.exe /q"), S_OK);
    EXPECT_EQ(capture.Text(), L">> PatchUninstall " + path + L" C:\\new uninstall.exe /q\n"
                              L"Patching uninstall success\n>> PatchUninstall\n");

    wchar_t data[64] = {};
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"UninstallString", RRF_RT_ANY | RRF_NOEXPAND, &type, data, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(data, L"C:\\new uninstall.exe /q");
    EXPECT_EQ(bytes, (wcslen(L"C:\\new uninstall.exe /q") + 1) * sizeof(wchar_t));
}

TEST_F(RegistryTest, PatchUninstallWritesAnEmptyStringAsTwoBytes)
{
    std::wstring path = std::wstring(kBase) + L"\\Empty";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    EXPECT_EQ(m_pService->PatchUninstall(path.c_str(), L""), S_OK);
    DWORD type = 0;
    DWORD bytes = 0;
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"UninstallString", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, 2u);
}

TEST_F(RegistryTest, PatchUninstallCreatesNoMissingKey)
{
    std::wstring path = std::wstring(kBase) + L"\\Absent";
    TraceCapture capture;
    EXPECT_EQ(m_pService->PatchUninstall(path.c_str(), L"x"), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path));
    EXPECT_EQ(capture.Text(), L">> PatchUninstall " + path + L" x\n>> PatchUninstall\n");
}

TEST_F(RegistryTest, PatchUninstallRefusesToWriteIntoTheRootOfTheMachineBranch)
{
    // An empty path or one of separators only opens HKEY_LOCAL_MACHINE itself.
    for (const wchar_t* uninstallKey : {L"", L"\\", L"\\\\\\"}) {
        TraceCapture capture;
        EXPECT_EQ(m_pService->PatchUninstall(uninstallKey, L"q5 unins.exe"), E_FAIL) << uninstallKey;
        EXPECT_EQ(capture.Text(), L">> PatchUninstall " + std::wstring(uninstallKey) +
                                      L" q5 unins.exe\nPatchUninstall() refused: no key below the root branch\n"
                                      L">> PatchUninstall\n");
        DWORD bytes = 0;
        EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, L"UninstallString", nullptr, nullptr, nullptr, &bytes),
                  ERROR_FILE_NOT_FOUND)
            << uninstallKey;
    }
}

LSTATUS WINAPI RefusingSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    SetLastError(0xDEADBEEF);  // the trace reports the thread's error, not the status
    return ERROR_ACCESS_DENIED;
}

TEST_F(RegistryTest, PatchUninstallTracesARefusedWriteWithTheLastError)
{
    std::wstring path = std::wstring(kBase) + L"\\Refused";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    ScopedImportHook hook("advapi32.dll", "RegSetValueExW", reinterpret_cast<void*>(&RefusingSetValue));
    TraceCapture capture;
    EXPECT_EQ(m_pService->PatchUninstall(path.c_str(), L"x"), S_OK);
    EXPECT_EQ(capture.Text(), L">> PatchUninstall " + path + L" x\nPatching uninstall error DEADBEEF\n>> PatchUninstall\n");
}

namespace {
std::wstring* g_traceAtClose = nullptr;
const q5test::TraceCapture* g_capture = nullptr;
decltype(&RegCloseKey) g_realClose = nullptr;
LSTATUS WINAPI RecordingClose(HKEY key)
{
    *g_traceAtClose = g_capture->Text();
    return g_realClose(key);
}
}  // namespace

TEST_F(RegistryTest, PatchUninstallClosesTheKeyBeforeItsClosingLine)
{
    std::wstring path = std::wstring(kBase) + L"\\Order";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    TraceCapture capture;
    std::wstring atClose;
    g_traceAtClose = &atClose;
    g_capture = &capture;
    ScopedImportHook hook("advapi32.dll", "RegCloseKey", reinterpret_cast<void*>(&RecordingClose));
    g_realClose = hook.Original<decltype(&RegCloseKey)>();
    EXPECT_EQ(m_pService->PatchUninstall(path.c_str(), L"x"), S_OK);
    EXPECT_EQ(atClose, L">> PatchUninstall " + path + L" x\nPatching uninstall success\n");
}
