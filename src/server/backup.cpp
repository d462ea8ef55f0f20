#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::BackupDriver(const wchar_t* /*infName*/, const wchar_t* /*subFolder*/, const wchar_t* /*infCopyPath*/, const wchar_t* /*backupRoot*/)
{
    return E_NOTIMPL;
}

