// Where the COM port database keeps its map, shared by the msports stand-in,
// the tests that seed and read it and the demo's reader: a REG_BINARY bit map
// in which bit (n - 1) % 8 of byte (n - 1) / 8 is set while COM n is taken,
// as the system's own database keeps it.
#pragma once

#include <windows.h>

namespace q5comdb {

constexpr const wchar_t* kArbiterKey = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr const wchar_t* kMapValue = L"ComDB";
constexpr DWORD kDefaultPorts = 256;
constexpr DWORD kMaxPorts = 4096;

// Test switch: a nonzero DWORD "RefuseOpen" under this key makes ComDBOpen fail.
constexpr const wchar_t* kControlKey = L"Software\\Q5Test\\msports";
constexpr const wchar_t* kRefuseOpenValue = L"RefuseOpen";

inline bool IsTaken(const BYTE* bits, DWORD port) { return (bits[(port - 1) / 8] >> ((port - 1) % 8)) & 1; }
inline void SetTaken(BYTE* bits, DWORD port, bool taken)
{
    BYTE mask = static_cast<BYTE>(1u << ((port - 1) % 8));
    if (taken)
        bits[(port - 1) / 8] |= mask;
    else
        bits[(port - 1) / 8] &= static_cast<BYTE>(~mask);
}

}  // namespace q5comdb
