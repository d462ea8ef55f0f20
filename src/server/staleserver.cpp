#include "staleserver.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "handles.h"
#include "snapshot.h"
#include "trace.h"

namespace {

// The file name of our executable as the file system stores its case, or
// false when the path cannot be read whole or the file cannot be found.
bool GetOwnFileName(wchar_t (&name)[MAX_PATH])
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;

    WIN32_FIND_DATAW found;
    q5::UniqueFindHandle search(FindFirstFileW(path, &found));
    if (!search) return false;
    wcsncpy(name, found.cFileName, MAX_PATH - 1);
    name[MAX_PATH - 1] = L'\0';
    return true;
}

void ResetModuleName(wchar_t (&moduleName)[MAX_PATH])
{
    wmemset(moduleName, L'\0', MAX_PATH);
    wcscpy(moduleName, L"unknown");
}

// Opening a process and walking its modules is what an activation pays
// per process, so only a process whose image file name in the snapshot could
// be ours is opened; the exact comparison of the main module's name still
// decides. Letter case may differ between the two names, and a short (8.3)
// or missing name in the snapshot could stand for ours: those keep the
// full examination. The server's own process always has our name and is
// never ended, so it is not opened either: reading its own module list
// through a process handle took about a millisecond under Wine, a quarter
// of the whole search.
bool CouldBeOurImage(const PROCESSENTRY32W& entry, const wchar_t* ownName)
{
    if (entry.th32ProcessID == GetCurrentProcessId()) return false;
    if (entry.szExeFile[0] == L'\0' || wcschr(entry.szExeFile, L'~') != nullptr) return true;
    return CompareStringOrdinal(entry.szExeFile, -1, ownName, -1, TRUE) == CSTR_EQUAL;
}

// True when it ended the process (the caller then stops at once).
bool EndIfStaleServer(const PROCESSENTRY32W& entry, const wchar_t* ownName, wchar_t (&moduleName)[MAX_PATH])
{
    ResetModuleName(moduleName);
    LogTrace(L"Process ID : %08X\n", entry.th32ProcessID);
    if (!CouldBeOurImage(entry, ownName)) return false;

    q5::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (!process) return false;

    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process.Get(), &module, sizeof(module), &needed)) return false;
    GetModuleBaseNameW(process.Get(), module, moduleName, MAX_PATH);

    if (wcscmp(moduleName, ownName) != 0 || entry.th32ProcessID == GetCurrentProcessId()) return false;

    LogTrace(L"Found crashed... Try to kill");
    TerminateProcess(process.Get(), 0);
    return true;
}

}  // namespace

void KillAnotherMine()
{
    wchar_t ownName[MAX_PATH] = L"";
    bool haveName = GetOwnFileName(ownName);
    LogTrace(L">> KillAnotherMine %s\n", ownName);

    // Without our own name nothing can be told apart safely: end nothing.
    if (haveName) {
        q5::UniqueFileHandle snapshot = q5::TakeProcessSnapshot(TH32CS_SNAPPROCESS);
        if (snapshot) {
            wchar_t moduleName[MAX_PATH];
            PROCESSENTRY32W entry;
            entry.dwSize = sizeof(entry);
            for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
                if (EndIfStaleServer(entry, ownName, moduleName)) return;
                entry.dwSize = sizeof(entry);
            }
        }
    }
    LogTrace(L"<< KillAnotherMine\n");
}
