// Self-registration, run in-process in the test's own prefix: the program
// path that is registered is this test program's.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "registration.h"

using q5test::ScopedImportHook;

namespace {

const wchar_t kClassKey[] = L"CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}";

std::wstring Hex(const BYTE* data, DWORD size)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

// One line per key and per value ("key|name|type|bytes"), depth first in
// the registry's order, so two trees compare byte for byte.
void DumpKey(HKEY parent, const std::wstring& path, std::vector<std::wstring>& lines)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    lines.push_back(path);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256, type = 0, size = 4096;
        BYTE data[4096];
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        lines.push_back(path + L"|" + name + L"|" + std::to_wstring(type) + L"|" + Hex(data, size));
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring& sub : subkeys) DumpKey(parent, path + L"\\" + sub, lines);
}

std::vector<std::wstring> DumpClassKey()
{
    std::vector<std::wstring> lines;
    DumpKey(HKEY_CLASSES_ROOT, kClassKey, lines);
    return lines;
}

bool ClassKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::wstring Bytes(const std::wstring& text)
{
    return Hex(reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// What a registration of the program at `path` must leave, in the order
// DumpKey lists it; `server` is what LocalServer32 names.
std::vector<std::wstring> ExpectedContent(const std::wstring& path, const std::wstring& server)
{
    const std::wstring classKey = kClassKey;
    const std::wstring local = classKey + L"\\LocalServer32";
    const std::wstring localized = L"|LocalizedString|2|" + Bytes(L"@" + path + L",-2");
    const std::wstring enabled = L"|Enabled|4|01000000";
    return {
        classKey,
        classKey + L"||1|" + Bytes(L"Q5DMSERVER"),
        classKey + localized,
        classKey + L"\\Elevation",
        classKey + L"\\Elevation" + enabled,
        local,
        local + L"||1|" + Bytes(server),
        local + localized,
        local + L"\\Elevation",
        local + L"\\Elevation" + enabled,
    };
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

void ExpectLines(const std::vector<std::wstring>& actual, const std::vector<std::wstring>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "line " << i;
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override { UnregisterServer(); }
    void TearDown() override { UnregisterServer(); }
};

}  // namespace

TEST_F(Registration, WritesBothRowsWithElevationEntriesAndNothingElse)
{
    ASSERT_EQ(RegisterServer(), S_OK);
    ExpectLines(DumpClassKey(), ExpectedContent(OwnPath(), OwnPath()));
}

TEST_F(Registration, RegisteringTwiceLeavesTheSameContent)
{
    ASSERT_EQ(RegisterServer(), S_OK);
    std::vector<std::wstring> once = DumpClassKey();
    ASSERT_EQ(RegisterServer(), S_OK);
    ExpectLines(DumpClassKey(), once);
}

TEST_F(Registration, UnregisterRemovesTheWholeClassKeyOnly)
{
    const wchar_t sibling[] = L"CLSID\\{11111111-2222-3333-4444-555555555555}";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, sibling, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegisterServer(), S_OK);
    UnregisterServer();
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, sibling, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, sibling);

    UnregisterServer();  // nothing registered: nothing happens
    EXPECT_FALSE(ClassKeyExists());
}

// ---- the program's path as the platform reports it ----

namespace {

const char* g_fakePathA = nullptr;
const wchar_t* g_fakePathW = nullptr;

DWORD WINAPI FakeModuleFileNameA(HMODULE, LPSTR buffer, DWORD size)
{
    lstrcpynA(buffer, g_fakePathA, static_cast<int>(size));
    return static_cast<DWORD>(lstrlenA(buffer));
}

DWORD WINAPI FakeModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    lstrcpynW(buffer, g_fakePathW, static_cast<int>(size));
    return static_cast<DWORD>(lstrlenW(buffer));
}

// As Windows does for a path longer than the buffer: cut, count = size.
DWORD WINAPI TruncatingModuleFileNameA(HMODULE, LPSTR buffer, DWORD size)
{
    memset(buffer, 'a', size);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace

TEST_F(Registration, QuotesLocalServerPathThatContainsASpace)
{
    g_fakePathA = "C:\\Program Files\\Q5 DM\\q5dmsrv64.exe";
    g_fakePathW = L"C:\\Program Files\\Q5 DM\\q5dmsrv64.exe";
    {
        ScopedImportHook narrow("kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(&FakeModuleFileNameA));
        ScopedImportHook wide("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&FakeModuleFileNameW));
        ASSERT_EQ(RegisterServer(), S_OK);
    }
    // The indirect string is read by the elevation prompt, not split at spaces.
    ExpectLines(DumpClassKey(), ExpectedContent(g_fakePathW, L"\"C:\\Program Files\\Q5 DM\\q5dmsrv64.exe\""));
}

TEST_F(Registration, RefusesAProgramPathCutByItsBuffer)
{
    ASSERT_EQ(RegisterServer(), S_OK);
    {
        ScopedImportHook narrow("kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(&TruncatingModuleFileNameA));
        EXPECT_EQ(RegisterServer(), E_FAIL);
    }
    EXPECT_FALSE(ClassKeyExists());
}

// ---- registry failures: the class key is removed, or the elevation
// entries are left out ----

namespace {

int g_createCalls = 0;
int g_failCreateAt = 0;
int g_setCalls = 0;
int g_failSetAt = 0;
ScopedImportHook* g_createHook = nullptr;
ScopedImportHook* g_setHook = nullptr;

LONG WINAPI CountingCreateKeyA(HKEY parent, LPCSTR subKey, PHKEY result)
{
    if (++g_createCalls == g_failCreateAt) return ERROR_ACCESS_DENIED;
    return g_createHook->Original<decltype(&RegCreateKeyA)>()(parent, subKey, result);
}

LONG WINAPI CountingSetValueA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (++g_setCalls == g_failSetAt) return ERROR_ACCESS_DENIED;
    return g_setHook->Original<decltype(&RegSetValueExA)>()(key, name, reserved, type, data, size);
}

LONG WINAPI FailingCreateKeyW(HKEY, LPCWSTR, PHKEY) { return ERROR_ACCESS_DENIED; }
LONG WINAPI FailingSetValueW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

struct RowFailure {
    const char* what;
    int failCreateAt;
    int failSetAt;
    int expectedCreates;
    int expectedSets;
};

class RegistrationRowFailure : public Registration, public ::testing::WithParamInterface<RowFailure> {};

}  // namespace

TEST_P(RegistrationRowFailure, UndoesTheWholeRegistration)
{
    const RowFailure& failure = GetParam();
    ASSERT_EQ(RegisterServer(), S_OK);  // a previous registration goes too

    g_createCalls = g_setCalls = 0;
    g_failCreateAt = failure.failCreateAt;
    g_failSetAt = failure.failSetAt;
    {
        ScopedImportHook create("advapi32.dll", "RegCreateKeyA", reinterpret_cast<void*>(&CountingCreateKeyA));
        ScopedImportHook set("advapi32.dll", "RegSetValueExA", reinterpret_cast<void*>(&CountingSetValueA));
        g_createHook = &create;
        g_setHook = &set;
        EXPECT_EQ(RegisterServer(), E_FAIL);
    }
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(g_createCalls, failure.expectedCreates);
    EXPECT_EQ(g_setCalls, failure.expectedSets);
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistrationRowFailure,
                         ::testing::Values(RowFailure{"class key", 1, 0, 1, 0},
                                           RowFailure{"LocalServer32 key", 2, 0, 2, 1},
                                           RowFailure{"class default value", 0, 1, 1, 1},
                                           RowFailure{"LocalServer32 value", 0, 2, 2, 2}),
                         [](const ::testing::TestParamInfo<RowFailure>& info) {
                             std::string name = info.param.what;
                             for (char& c : name) {
                                 if (c == ' ') c = '_';
                             }
                             return name;
                         });

TEST_F(Registration, ElevationSubkeysThatCannotBeCreatedAreLeftOut)
{
    {
        ScopedImportHook create("advapi32.dll", "RegCreateKeyW", reinterpret_cast<void*>(&FailingCreateKeyW));
        ASSERT_EQ(RegisterServer(), S_OK);
    }
    std::vector<std::wstring> expected = ExpectedContent(OwnPath(), OwnPath());
    std::vector<std::wstring> withoutElevation;
    for (const std::wstring& line : expected) {
        if (line.find(L"Elevation") == std::wstring::npos) withoutElevation.push_back(line);
    }
    ExpectLines(DumpClassKey(), withoutElevation);
}

TEST_F(Registration, WideValuesThatCannotBeWrittenAreLeftOut)
{
    {
        ScopedImportHook set("advapi32.dll", "RegSetValueExW", reinterpret_cast<void*>(&FailingSetValueW));
        ASSERT_EQ(RegisterServer(), S_OK);
    }
    std::vector<std::wstring> expected = ExpectedContent(OwnPath(), OwnPath());
    std::vector<std::wstring> keysAndDefaults;
    for (const std::wstring& line : expected) {
        if (line.find(L"|Enabled|") == std::wstring::npos && line.find(L"|LocalizedString|") == std::wstring::npos) {
            keysAndDefaults.push_back(line);
        }
    }
    ExpectLines(DumpClassKey(), keysAndDefaults);
}
