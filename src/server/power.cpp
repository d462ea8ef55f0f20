#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::isDeviceWORable(const wchar_t* /*deviceInstanceId*/)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::setWOREnabled(const wchar_t* /*deviceInstanceId*/, LONG /*enable*/)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::setSuspendAllowed(const wchar_t* /*deviceInstanceId*/, LONG /*allow*/)
{
    return E_NOTIMPL;
}

