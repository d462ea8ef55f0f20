#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::RemoveDriver(const wchar_t* /*deviceInstanceId*/)
{
    return E_NOTIMPL;
}

