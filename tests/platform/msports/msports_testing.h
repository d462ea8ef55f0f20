// Test side of the COM port database stand-in: installing it into the
// prefix, switching it off, and seeding and reading its map directly in the
// registry (so what a test sees does not depend on the code under test).
#pragma once

#include <windows.h>

#include <vector>

namespace q5test {

// A program that imports msports.dll at load time has Wine's own copy bound
// before main() runs. This main installs the stand-in over the system's copy
// and, when another copy is already loaded, runs the same command line again
// in a child process and returns its exit code; otherwise runs the tests.
int RunTestsWithMsportsStandIn(int argc, char** argv);

bool IsMsportsStandInLoaded();
// Copies the stand-in of that bitness over the msports.dll of that
// bitness's system folder (for a server of that bitness to load).
bool InstallMsportsStandIn(int bits);

// The taken COM numbers, ascending, as the database map records them.
std::vector<DWORD> TakenComPorts();
// Makes the map hold exactly these numbers, in a map of portCount numbers.
void SetTakenComPorts(const std::vector<DWORD>& taken, DWORD portCount = 256);
DWORD ComPortCount();
// The stand-in reads this in the registry view of its own bitness.
void SetComDatabaseRefusesOpen(bool refuse, int bits = sizeof(void*) * 8);

}  // namespace q5test
