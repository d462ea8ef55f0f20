#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ReserveComPortsBelow(LONG /*portNumber*/)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::RestoreComPorts()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ClaimComPort(LONG /*portNumber*/)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::ReleaseComPort(LONG /*portNumber*/)
{
    return E_NOTIMPL;
}

