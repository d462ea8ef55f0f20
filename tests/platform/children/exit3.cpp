// Writes its command line (UTF-16) to q5child_exit3.ran in its current
// directory, then ends with exit code 3.
#include <windows.h>
#include <wchar.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const wchar_t* commandLine = GetCommandLineW();
    HANDLE file = CreateFileW(L"q5child_exit3.ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, commandLine, static_cast<DWORD>(wcslen(commandLine) * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
    }
    return 3;
}
