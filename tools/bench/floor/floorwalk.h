// The walk that every activation of the DM COM Server makes for a leftover
// server, done bare: each process listed with its trace line, only a process
// other than this one whose snapshot name could be NAME opened and its main
// module's name read. Shared by q5floorops (the walk in a loop) and
// q5floor /contract (the walk where the server makes it: in the factory of
// a freshly started server, while a client waits).
#pragma once

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "floortrace.h"
#include "handles.h"

namespace q5floor {

// Calls visit for each entry of a process snapshot taken with flags.
template <typename Visit>
void ForEachProcess(DWORD flags, Visit visit)
{
    q5::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(flags, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        visit(entry);
        entry.dwSize = sizeof(entry);
    }
}

inline void StaleWalk(const wchar_t* ownName)
{
    Trace(L">> KillAnotherMine %s\n", ownName);
    const DWORD self = GetCurrentProcessId();
    ForEachProcess(TH32CS_SNAPPROCESS, [ownName, self](const PROCESSENTRY32W& entry) {
        Trace(L"Process ID : %08X\n", entry.th32ProcessID);
        if (entry.th32ProcessID == self || CompareStringOrdinal(entry.szExeFile, -1, ownName, -1, TRUE) != CSTR_EQUAL) return;
        q5::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        HMODULE module = nullptr;
        DWORD needed = 0;
        wchar_t moduleName[MAX_PATH];
        if (process && EnumProcessModules(process.Get(), &module, sizeof(module), &needed))
            GetModuleBaseNameW(process.Get(), module, moduleName, MAX_PATH);
    });
    Trace(L"<< KillAnotherMine\n");
}

// The walk as an activation makes it: the own name first, as the file system
// stores it (the program's path, then a directory search on it).
inline void OwnStaleWalk()
{
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW found;
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    q5::UniqueFindHandle search(FindFirstFileW(path, &found));
    if (!search) return;
    StaleWalk(found.cFileName);
}

}  // namespace q5floor
