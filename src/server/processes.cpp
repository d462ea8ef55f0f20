#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::KillProcessByName(const wchar_t* /*processName*/)
{
    return E_NOTIMPL;
}

