// Shows and seeds the COM port database map of a prefix, reading the
// registry itself rather than going through msports.dll.
//   q5comdb show | take N... | free N... | clear
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "comdb_layout.h"

namespace {

struct Map {
    BYTE bits[q5comdb::kMaxPorts / 8] = {};
    DWORD bytes = q5comdb::kDefaultPorts / 8;
};

bool Read(Map& map)
{
    DWORD bytes = sizeof(map.bits);
    LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, q5comdb::kArbiterKey, q5comdb::kMapValue, RRF_RT_REG_BINARY, nullptr, map.bits,
                           &bytes);
    if (rc == ERROR_FILE_NOT_FOUND) return true;  // no database yet: every number free
    if (rc != ERROR_SUCCESS) return false;
    if (bytes > map.bytes) map.bytes = bytes;
    return true;
}

bool Write(const Map& map)
{
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, q5comdb::kArbiterKey, q5comdb::kMapValue, REG_BINARY, map.bits, map.bytes) ==
           ERROR_SUCCESS;
}

void Show(const Map& map)
{
    printf("COM ports taken:");
    bool any = false;
    for (DWORD port = 1; port <= map.bytes * 8; ++port) {
        if (!q5comdb::IsTaken(map.bits, port)) continue;
        printf(" %lu", port);
        any = true;
    }
    printf(any ? " (of %lu)\n" : " none (of %lu)\n", map.bytes * 8);
}

bool Mark(Map& map, int count, wchar_t** numbers, bool taken)
{
    for (int i = 0; i < count; ++i) {
        long port = wcstol(numbers[i], nullptr, 10);
        if (port < 1 || static_cast<DWORD>(port) > map.bytes * 8) {
            fprintf(stderr, "no COM%ls in the map\n", numbers[i]);
            return false;
        }
        q5comdb::SetTaken(map.bits, static_cast<DWORD>(port), taken);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Map map;
    if (!Read(map)) {
        fprintf(stderr, "cannot read the COM port database map\n");
        return 1;
    }
    const wchar_t* command = argc > 1 ? argv[1] : L"show";
    if (wcscmp(command, L"show") == 0) {
        Show(map);
        return 0;
    }
    bool ok = false;
    if (wcscmp(command, L"take") == 0) ok = Mark(map, argc - 2, argv + 2, true);
    if (wcscmp(command, L"free") == 0) ok = Mark(map, argc - 2, argv + 2, false);
    if (wcscmp(command, L"clear") == 0) {
        ZeroMemory(map.bits, sizeof(map.bits));
        ok = true;
    }
    if (!ok || !Write(map)) {
        fprintf(stderr, "usage: q5comdb show | take N... | free N... | clear\n");
        return 2;
    }
    Show(map);
    return 0;
}
