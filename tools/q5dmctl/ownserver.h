// The registered server started by q5dmctl itself, its standard output in a
// file: a server that COM starts has none, and COM hands the next activation
// to a server that already has its class object registered.
#pragma once

#include <windows.h>

#include <string>

#include "options.h"

namespace q5dmctl {

class OwnServer {
public:
    OwnServer() = default;
    ~OwnServer();
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;

    // Starts the program that LocalServer32 names (in the registry view of
    // the asked bitness, else in this program's own), as COM would
    // ("-Embedding"), and waits until it serves. On failure says why.
    bool Start(const wchar_t* traceFile, ServerBitness bitness, std::string& error);
    // The same for a named program; arguments, if any, start with a space.
    bool StartProgram(const wchar_t* program, const std::wstring& arguments, const wchar_t* traceFile, std::string& error);
    bool Started() const { return m_process != nullptr; }
    // Waits for the server to end after the last release; false on time-out.
    bool WaitForEnd(DWORD timeoutMs, DWORD& exitCode);
    void Terminate();
    struct Memory {
        SIZE_T workingSetKiB;
        SIZE_T peakKiB;  // of the working set so far
        SIZE_T privateKiB;  // private memory (commit charge)
    };
    bool MemoryUse(Memory& memory) const;

private:
    HANDLE m_process = nullptr;
};

}  // namespace q5dmctl
