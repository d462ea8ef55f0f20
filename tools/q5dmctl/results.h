// Naming and classifying the HRESULTs of bare interface calls, for the tools
// that make them (the robustness run); q5dmctl's own calls go through the
// client library, which names their outcomes.
#pragma once

#include <windows.h>

namespace q5dmctl {

// Symbolic name of a known HRESULT, or "unknown".
const char* ResultName(HRESULT hr);

// True for failures made by COM's transport (server gone, marshalling,
// call refused) rather than answered by the server's method.
bool IsTransportFailure(HRESULT hr);

}  // namespace q5dmctl
