#include <windows.h>

#include "serverapp.h"

// Not a tail call: WinMain stays on the stack, so that a dump names the
// entry function.
__attribute__((disable_tail_calls)) int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR commandLine, int /*showCommand*/)
{
    return RunServer(commandLine);
}
