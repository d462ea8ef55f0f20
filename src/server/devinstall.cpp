#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::InstallDriver(const wchar_t* /*deviceInstanceId*/, const wchar_t* /*infPath*/, LONG /*noFileCopy*/)
{
    return E_NOTIMPL;
}

