// Shows and seeds the COM port database map of a prefix.
//   q5comdb show | take N... | free N... | clear
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "comdb_show.h"

namespace {

bool Write(const q5comdb::Map& map)
{
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, q5comdb::kArbiterKey, q5comdb::kMapValue, REG_BINARY, map.bits, map.bytes) ==
           ERROR_SUCCESS;
}

bool Mark(q5comdb::Map& map, int count, wchar_t** numbers, bool taken)
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
    q5comdb::Map map;
    if (!q5comdb::ReadMap(map)) {
        fprintf(stderr, "cannot read the COM port database map\n");
        return 1;
    }
    const wchar_t* command = argc > 1 ? argv[1] : L"show";
    bool ok = wcscmp(command, L"show") == 0;
    bool change = !ok;
    if (wcscmp(command, L"take") == 0) ok = Mark(map, argc - 2, argv + 2, true);
    if (wcscmp(command, L"free") == 0) ok = Mark(map, argc - 2, argv + 2, false);
    if (wcscmp(command, L"clear") == 0) {
        ZeroMemory(map.bits, sizeof(map.bits));
        ok = true;
    }
    if (!ok || (change && !Write(map))) {
        fprintf(stderr, "usage: q5comdb show | take N... | free N... | clear\n");
        return 2;
    }
    q5comdb::ShowMap("COM port database");
    return 0;
}
