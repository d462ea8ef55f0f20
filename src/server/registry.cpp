#include <windows.h>
#include <shlwapi.h>
#include <wchar.h>

#include "handles.h"
#include "ondemand.h"
#include "service.h"
#include "trace.h"

namespace {

struct RootBranch {
    const wchar_t* name;
    HKEY key;
};

// Compared in this order, whole and case-sensitive.
const RootBranch kRootBranches[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},
    {L"HKCC", HKEY_CURRENT_CONFIG},
};

HKEY FindRootBranch(const wchar_t* rootName)
{
    for (const RootBranch& branch : kRootBranches) {
        if (wcscmp(branch.name, rootName) == 0) return branch.key;
    }
    return nullptr;
}

// An empty path, or one of separators only, names the root branch itself:
// deleting "below" it would strip the whole branch.
bool NamesWholeBranch(const wchar_t* subKey)
{
    return subKey[wcsspn(subKey, L"\\")] == L'\0';
}

// A refused write is traced with the thread's last error, not with the
// status that the registry returned.
void SetUninstallString(HKEY key, const wchar_t* uninstallString)
{
    DWORD bytes = static_cast<DWORD>((wcslen(uninstallString) + 1) * sizeof(wchar_t));
    LONG status = RegSetValueExW(key, L"UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(uninstallString), bytes);
    if (status == ERROR_SUCCESS) {
        LogTrace(L"Patching uninstall success\n");
    } else {
        LogTrace(L"Patching uninstall error %X\n", GetLastError());
    }
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::DeleteRegKey(const wchar_t* rootName, const wchar_t* subKey)
{
    HKEY root = FindRootBranch(rootName);
    if (root == nullptr) {
        LogTrace(L">> DeleteRegKey() wrong root branch\n");
        return S_FALSE;
    }
    LogTrace(L">> DeleteRegKey('%s\\%s')\n", rootName, subKey);
    if (NamesWholeBranch(subKey)) {
        LogTrace(L"DeleteRegKey() refused: no key below the root branch\n");
        return S_FALSE;
    }
    if (!q5::LoadSystemLibrary(q5::SystemLibrary::ShlwApi)) return S_FALSE;
    return SHDeleteKeyW(root, subKey) == ERROR_SUCCESS ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::PatchUninstall(const wchar_t* uninstallKey, const wchar_t* uninstallString)
{
    LogTrace(L">> PatchUninstall %s %s\n", uninstallKey, uninstallString);

    // Opening such a path gives HKEY_LOCAL_MACHINE itself, and the value
    // would land in the root of the machine's branch.
    if (NamesWholeBranch(uninstallKey)) {
        LogTrace(L"PatchUninstall() refused: no key below the root branch\n");
        LogTrace(L">> PatchUninstall\n");
        return E_FAIL;
    }

    // The key is closed before the closing line.
    {
        q5::UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKey, 0, KEY_WRITE, key.Put()) == ERROR_SUCCESS) {
            SetUninstallString(key.Get(), uninstallString);
        }
    }

    LogTrace(L">> PatchUninstall\n");
    return S_OK;
}
