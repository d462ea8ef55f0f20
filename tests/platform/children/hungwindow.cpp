// Two top-level windows: one on a thread that answers and logs WM_CLOSE
// ("<pid> WM_CLOSE 1") to the file named on the command line, and one on a
// thread that never reads its messages again, so a WM_CLOSE sent to it is
// never answered.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

#include "child_log.h"

namespace {

const wchar_t* g_pszLogPath = nullptr;
HANDLE g_hAnswering = nullptr;

LRESULT CALLBACK AnsweringProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        char line[64];
        snprintf(line, sizeof(line), "%lu WM_CLOSE 1\n", GetCurrentProcessId());
        if (g_pszLogPath != nullptr) AppendLogLine(g_pszLogPath, line);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

DWORD WINAPI AnsweringThread(void* instance)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = AnsweringProc;
    windowClass.hInstance = static_cast<HINSTANCE>(instance);
    windowClass.lpszClassName = L"Q5ChildWindow";
    RegisterClassW(&windowClass);
    CreateWindowExW(0, L"Q5ChildWindow", L"q5child", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                    static_cast<HINSTANCE>(instance), nullptr);
    SetEvent(g_hAnswering);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    g_pszLogPath = argv != nullptr ? FirstArgument(argc, argv) : nullptr;

    // The answering window comes first, so the hung one lies above it.
    g_hAnswering = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, AnsweringThread, instance, 0, nullptr);
    WaitForSingleObject(g_hAnswering, INFINITE);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Q5HungWindow";
    RegisterClassW(&windowClass);
    if (CreateWindowExW(0, L"Q5HungWindow", L"q5child hung", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr, instance,
                        nullptr) == nullptr)
        return 2;
    for (;;) Sleep(INFINITE);
}
