// Two top-level windows that log every WM_CLOSE ("<pid> WM_CLOSE <n>") to
// the file named on the command line and otherwise ignore it, so the
// process lives on until it is terminated.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

#include "child_log.h"

namespace {

const wchar_t* g_pszLogPath = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        char line[64];
        snprintf(line, sizeof(line), "%lu WM_CLOSE %d\n", GetCurrentProcessId(),
                 static_cast<int>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
        if (g_pszLogPath != nullptr) AppendLogLine(g_pszLogPath, line);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    g_pszLogPath = argv != nullptr ? FirstArgument(argc, argv) : nullptr;

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Q5ChildWindow";
    RegisterClassW(&windowClass);
    for (int number = 1; number <= 2; ++number) {
        HWND window = CreateWindowExW(0, L"Q5ChildWindow", L"q5child", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                      instance, nullptr);
        if (window == nullptr) return 2;
        SetWindowLongPtrW(window, GWLP_USERDATA, number);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 7;
}
