#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::CleanNotInstalled(const wchar_t* /*className*/, LONG /*usbVariant*/)
{
    return E_NOTIMPL;
}

