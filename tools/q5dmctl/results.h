// Naming and classifying the HRESULTs that a call of IQ5DMService can bring.
#pragma once

#include <windows.h>

namespace q5dmctl {

// Symbolic name of a known HRESULT, or "unknown".
const char* ResultName(HRESULT hr);

// True for failures made by COM's transport (server gone, marshalling,
// call refused) rather than answered by the server's method.
bool IsTransportFailure(HRESULT hr);

}  // namespace q5dmctl
