#include "registration.h"

#include <shlwapi.h>
#include <strsafe.h>
#include <string.h>
#include <wchar.h>

#include "classreg.h"
#include "handles.h"
#include "ondemand.h"

namespace {

const char kClassKey[] = Q5_CLASS_KEY;
const char* const kModulePath = reinterpret_cast<const char*>(-1);  // row data: the program's own path

struct RegistrationRow {
    const char* key;
    const char* valueName;
    const char* data;
};

#define Q5_ROW(key, data) {key, nullptr, data},
const RegistrationRow kRows[] = {Q5_REGISTRATION_ROWS(Q5_ROW, kModulePath)};
#undef Q5_ROW

constexpr DWORD kNarrowPathBytes = 1000;
static_assert(Q5_ELEVATION_NAME_ID >= 0 && Q5_ELEVATION_NAME_ID <= 9, "LocalizedString's buffer holds a one-digit id");

void DeleteClassKey()
{
    if (q5::LoadSystemLibrary(q5::SystemLibrary::ShlwApi)) SHDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey);
}

// COM splits an unquoted LocalServer32 path at its first space, so a path
// with a space must be quoted or another program would be started elevated.
bool QuoteIfSpaced(const char* path, char (&out)[kNarrowPathBytes + 2])
{
    if (strchr(path, ' ') == nullptr) return false;
    return SUCCEEDED(StringCchPrintfA(out, kNarrowPathBytes + 2, "\"%s\"", path));
}

void SetElevationEnabled(HKEY rowKey)
{
    q5::UniqueRegKey elevation;
    if (RegCreateKeyW(rowKey, L"" Q5_ELEVATION_KEY, elevation.Put()) != ERROR_SUCCESS) return;
    DWORD enabled = 1;
    RegSetValueExW(elevation.Get(), L"" Q5_ELEVATION_ENABLED_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled), sizeof(enabled));
}

// "@<path>,-<id>" names the string resource of this program that the
// elevation prompt shows.
void SetLocalizedString(HKEY rowKey)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t value[MAX_PATH + 4];
    if (FAILED(StringCchPrintfW(value, MAX_PATH + 4, L"@%s,-%d", path, Q5_ELEVATION_NAME_ID))) return;
    RegSetValueExW(rowKey, L"" Q5_LOCALIZED_STRING_VALUE, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

bool WriteRow(const RegistrationRow& row, const char* modulePath)
{
    q5::UniqueRegKey key;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, row.key, key.Put()) != ERROR_SUCCESS) return false;

    char quoted[kNarrowPathBytes + 2];
    const char* data = row.data;
    if (data == kModulePath) data = QuoteIfSpaced(modulePath, quoted) ? quoted : modulePath;
    LONG status = RegSetValueExA(key.Get(), row.valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                 static_cast<DWORD>(strlen(data) + 1));

    SetElevationEnabled(key.Get());
    SetLocalizedString(key.Get());
    return status == ERROR_SUCCESS;
}

}  // namespace

HRESULT RegisterServer()
{
    char modulePath[kNarrowPathBytes];
    DWORD length = GetModuleFileNameA(nullptr, modulePath, kNarrowPathBytes);
    // A path cut at the buffer's end would name another program: register
    // nothing rather than that.
    if (length == 0 || length >= kNarrowPathBytes) {
        DeleteClassKey();
        return E_FAIL;
    }

    for (const RegistrationRow& row : kRows) {
        if (!WriteRow(row, modulePath)) {
            DeleteClassKey();
            return E_FAIL;
        }
    }
    return S_OK;
}

void UnregisterServer() { DeleteClassKey(); }
