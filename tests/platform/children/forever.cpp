// Never ends by itself and has no window.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    for (;;) Sleep(INFINITE);
}
