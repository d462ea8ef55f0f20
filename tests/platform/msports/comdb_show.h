// Reading and printing the database map for the demo's tools, straight from
// the registry rather than through msports.dll.
#pragma once

#include <windows.h>

#include <stdio.h>

#include "comdb_layout.h"

namespace q5comdb {

struct Map {
    BYTE bits[kMaxPorts / 8] = {};
    DWORD bytes = kDefaultPorts / 8;
};

// A missing value is a database that was never opened: every number free.
inline bool ReadMap(Map& map)
{
    DWORD bytes = sizeof(map.bits);
    LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kArbiterKey, kMapValue, RRF_RT_REG_BINARY, nullptr, map.bits, &bytes);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return false;
    if (bytes > map.bytes) map.bytes = bytes;
    return true;
}

inline void ShowMap(const char* caption)
{
    Map map;
    if (!ReadMap(map)) {
        printf("%s: cannot read the COM port database map\n", caption);
        return;
    }
    printf("%s:", caption);
    bool any = false;
    for (DWORD port = 1; port <= map.bytes * 8; ++port) {
        if (!IsTaken(map.bits, port)) continue;
        printf(" COM%lu", port);
        any = true;
    }
    printf(any ? " taken (of %lu)\n" : " none taken (of %lu)\n", map.bytes * 8);
}

}  // namespace q5comdb
