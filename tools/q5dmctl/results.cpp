#include "results.h"

#include "q5dm_client.h"

namespace q5dmctl {

const char* ResultName(HRESULT hr) { return q5dm::HresultName(hr); }

bool IsTransportFailure(HRESULT hr)
{
    if (HRESULT_FACILITY(hr) == FACILITY_RPC && FAILED(hr)) return true;
    // RPC_S_*, RPC_X_* and EPT_S_* codes of the RPC runtime.
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr)) {
        WORD code = HRESULT_CODE(hr);
        return code >= RPC_S_INVALID_STRING_BINDING && code <= 1999;
    }
    return hr == CO_E_SERVER_EXEC_FAILURE;
}

}  // namespace q5dmctl
