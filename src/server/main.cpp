#include <windows.h>

#include "serverapp.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR commandLine, int /*showCommand*/)
{
    return RunServer(commandLine);
}
