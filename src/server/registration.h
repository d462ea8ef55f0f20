// Writes and removes the class's COM registration (the /RegServer and
// /UnRegServer switches).
#pragma once

#include <windows.h>

// S_OK when both rows were written; on any failure the class key is
// removed again and E_FAIL returned.
HRESULT RegisterServer();
void UnregisterServer();
