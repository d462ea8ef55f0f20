#include "service.h"

#include "trace.h"

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::CmdLine(const wchar_t* /*file*/, const wchar_t* /*parameters*/, const wchar_t* /*directory*/)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::SyncExec(const wchar_t* /*commandLine*/, const wchar_t* /*currentDirectory*/)
{
    return E_NOTIMPL;
}

