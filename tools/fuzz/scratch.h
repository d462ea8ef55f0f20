// The run's own places in the prefix: made once before the "before" picture
// of the prefix (setup), and put back before every server (re-seed), so that
// deleting calls always find something of ours to delete.
#pragma once

#include <string>

#include "calls.h"

namespace q5fuzz {

// The scratch names below the given root folder (e.g. C:\q5fuzz\scratch).
Scratch ScratchAt(const std::wstring& root);

// Folders, planted INF and package files, bait files, the scratch device.
bool SetUpPlaces(const Scratch& scratch, std::string& why);
// Scratch registry keys and the scratch class, as SetUpPlaces left them.
bool Reseed(std::string& why);

// True when the COM port database stand-in is the system's msports.dll.
bool ComPortStandInInstalled();

// The guards of the generator: whether a value reaches something real.
Guards RealThingGuards();

}  // namespace q5fuzz
