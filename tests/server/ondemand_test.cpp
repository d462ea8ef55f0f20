// Operations whose library cannot be loaded when they first need it: each
// fails as it fails when its first call into that library fails, and the
// server goes on. A failed load binds nothing, so every case finds its
// library still unbound, provided nothing in this program loaded it before.
#include <gtest/gtest.h>

#include <windows.h>
#include <string.h>
#include <wchar.h>

#include <functional>
#include <string>

#include "import_hook.h"
#include "service_fixture.h"
#include "trace_capture.h"

namespace {

using q5test::ScopedImportHook;

const wchar_t* g_pszRefusedLibrary = nullptr;  // a file name, or null
const char* g_pszRefusedFunction = nullptr;    // a function name, or null
std::wstring g_refusedPath;                    // the path the load was asked for
decltype(&LoadLibraryExW) g_pLoadLibraryExW = nullptr;
decltype(&GetProcAddress) g_pGetProcAddress = nullptr;

bool EndsWithName(const wchar_t* path, const wchar_t* name)
{
    size_t pathLength = wcslen(path), nameLength = wcslen(name);
    return pathLength > nameLength && path[pathLength - nameLength - 1] == L'\\' &&
           _wcsicmp(path + pathLength - nameLength, name) == 0;
}

HMODULE WINAPI RefusingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags)
{
    if (g_pszRefusedLibrary != nullptr && EndsWithName(path, g_pszRefusedLibrary)) {
        g_refusedPath = path;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return g_pLoadLibraryExW(path, file, flags);
}

FARPROC WINAPI RefusingGetProcAddress(HMODULE module, LPCSTR name)
{
    if (g_pszRefusedFunction != nullptr && !IS_INTRESOURCE(name) && strcmp(name, g_pszRefusedFunction) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_pGetProcAddress(module, name);
}

std::wstring SystemPath(const wchar_t* name)
{
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, length) + L"\\" + name;
}

class CannotLoad : public q5test::ServiceObjectTest {};

TEST_F(CannotLoad, OperationFailsAsItsFirstCallIntoTheLibraryWould)
{
    struct Case {
        const wchar_t* library;  // refused whole
        const char* function;    // or only this function of it
        std::function<HRESULT(IQ5DMService*)> call;
        HRESULT result;
        const wchar_t* trace;
    };
    const Case cases[] = {
        {L"setupapi.dll", nullptr, [](IQ5DMService* s) { return s->isDeviceWORable(L"ROOT\\Q5\\0000"); }, E_FAIL,
         L">> isDeviceWORable(ROOT\\Q5\\0000)\nDriver query failed with message : Cann't create empty device information "
         L"list \n while reading ROOT\\Q5\\0000 \n<< isDeviceWORable\n"},
        {nullptr, "SetupDiOpenDevRegKey", [](IQ5DMService* s) { return s->InstallDriver(L"ROOT\\Q5\\0000", L"C:\\q5.inf", 0); },
         E_FAIL,
         L">> InstallDriver(ROOT\\Q5\\0000, C:\\q5.inf, 0)\nDriver installation failed with message : Cann't create empty "
         L"device information list \n while installing C:\\q5.inf \non ROOT\\Q5\\0000\n<< InstallDriver\n"},
        {L"setupapi.dll", nullptr, [](IQ5DMService* s) { return s->CleanNotInstalled(L"Ports", 0); }, S_OK,
         L">> CleanNotInstalled(Ports, 0)\nClass cann't be opened\n"},
        // Nothing but the INF could be saved: nothing is, not even that.
        {L"setupapi.dll", nullptr,
         [](IQ5DMService* s) { return s->BackupDriver(L"machine.inf", L"\\q5", L"C:\\q5-machine.inf", L"C:\\q5-backup"); },
         E_FAIL, L"backup machine.inf\n"},
        {L"msports.dll", nullptr, [](IQ5DMService* s) { return s->ReserveComPortsBelow(4); }, S_OK,
         L"Cann't open COM ports database!\n"},
        {nullptr, "ComDBReleasePort", [](IQ5DMService* s) { return s->ClaimComPort(3); }, E_FAIL,
         L"COM Database open unsuccessful!\n"},
        {L"shlwapi.dll", nullptr, [](IQ5DMService* s) { return s->DeleteRegKey(L"HKCU", L"Software\\Q5NoSuchKey"); }, S_FALSE,
         L">> DeleteRegKey('HKCU\\Software\\Q5NoSuchKey')\n"},
        {L"shell32.dll", nullptr, [](IQ5DMService* s) { return s->CmdLine(L"q5-nothing.exe", L"", L""); }, E_FAIL,
         L">> CmdLine (q5-nothing.exe, , )\n<< CmdLine\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        g_pszRefusedLibrary = c.library;
        g_pszRefusedFunction = c.function;
        g_refusedPath.clear();
        ScopedImportHook load("kernel32.dll", "LoadLibraryExW", reinterpret_cast<void*>(&RefusingLoadLibraryExW));
        ScopedImportHook find("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&RefusingGetProcAddress));
        g_pLoadLibraryExW = load.Original<decltype(&LoadLibraryExW)>();
        g_pGetProcAddress = find.Original<decltype(&GetProcAddress)>();
        q5test::TraceCapture capture;

        EXPECT_EQ(c.call(m_pService), c.result);
        EXPECT_EQ(capture.Text(), c.trace);
        // Only ever the system folder's copy, by its full path.
        if (c.library != nullptr) {
            EXPECT_EQ(g_refusedPath, SystemPath(c.library));
        }
    }
    EXPECT_EQ(GetFileAttributesW(L"C:\\q5-machine.inf"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
