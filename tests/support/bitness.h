// The two bitnesses side by side in one 64-bit Windows: which system folder
// and registry view a program of either bitness works in, as a test program
// of either bitness must name them.
#pragma once

#include <windows.h>

#include <string>

#include "test_paths.h"

namespace q5test {

constexpr int kOwnBits = sizeof(void*) == 8 ? 64 : 32;

// The system folder that a program of `bits` sees as its own. A 32-bit
// process reaches the 64-bit one through "Sysnative" (its own "system32" is
// redirected to the 32-bit folder).
inline std::wstring SystemFolder(int bits)
{
    wchar_t folder[MAX_PATH] = {};
    if (bits == kOwnBits) {
        GetSystemDirectoryW(folder, MAX_PATH);
    } else if (bits == 32) {
        GetSystemWow64DirectoryW(folder, MAX_PATH);
    } else {
        GetWindowsDirectoryW(folder, MAX_PATH);
        return std::wstring(folder) + L"\\Sysnative";
    }
    return folder;
}

// KEY_WOW64_32KEY or KEY_WOW64_64KEY: HKLM\Software as a program of `bits`
// sees it.
inline REGSAM RegistryView(int bits) { return bits == 32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

// How this run's 32-bit programs run ("native", "emulated" or "none") and
// why, as the test runner found it once for the run (tools/wine10/x86-mode.sh)
// and passed it on through the environment, which Wine hands to Windows
// programs. A program started by hand outside a run assumes native.
inline std::string X86Mode()
{
    char mode[32] = {};
    DWORD n = GetEnvironmentVariableA("Q5_X86_RUNS", mode, sizeof mode);
    return n > 0 && n < sizeof mode ? mode : "native";
}

// Why a program of `bits` cannot run in this run, empty when it can: the
// reason of a skip.
inline std::string WhyBitsCannotRun(int bits)
{
    if (bits == 64 || X86Mode() != "none") return "";
    char why[512] = {};
    DWORD n = GetEnvironmentVariableA("Q5_X86_WHY", why, sizeof why);
    return std::string("32-bit programs cannot run here: ") + (n > 0 && n < sizeof why ? why : "no reason given");
}

// The build tree of `bits`, where its platform stand-ins lie.
inline std::wstring BuildDir(int bits) { return bits == 32 ? Q5_BUILD_X86_DIR_W : Q5_BUILD_X64_DIR_W; }

}  // namespace q5test
