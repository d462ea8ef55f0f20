// Start-up, dispatch and shutdown of the server process; WinMain only
// forwards its command line here so tests can drive the same code.
#pragma once

#include <windows.h>

extern DWORD g_dwRegisterClass;

enum class ServerCommand { Register, Unregister, Serve };

// The first of "/RegServer", "-RegServer", "/UnRegServer", "-UnRegServer"
// found anywhere in the text decides; anything else serves.
ServerCommand ParseServerCommand(const char* commandLine);

// Runs the whole process life for one command line and returns the exit code.
int RunServer(const char* commandLine);
