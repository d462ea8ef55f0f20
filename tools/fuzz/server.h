// The server under test, seen from outside: started by the run itself with
// its standard output in a file (COM hands the next activation to it), its
// handles and private memory read through its process handle, and a
// watchdog that ends it when a call does not come back in time.
#pragma once

#include <windows.h>

#include <string>

namespace q5fuzz {

struct ProcessUse {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;  // committed private memory
    SIZE_T workingSetBytes = 0;
    DWORD threads = 0;
    bool valid = false;
};

class Server {
public:
    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the program that LocalServer32 names, as COM would, in the
    // system folder (where COM starts servers on Windows); false with a reason.
    bool Start(const std::wstring& traceFile, std::string& why);
    ProcessUse Use() const;
    // Private memory alone: cheap enough to read after every call.
    SIZE_T PrivateBytes() const;
    // Waits for the end after the last release; false when it still runs.
    bool WaitForEnd(DWORD timeoutMs);
    void Kill();
    bool Running() const;
    DWORD ExitCode() const;
    HANDLE Process() const { return m_process; }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// Counts the process's entries in the system handle list (Wine's
// GetProcessHandleCount always answers 0).
DWORD HandleCountOf(DWORD processId);

DWORD ThreadCountOf(DWORD processId);

// Waits until no process of that executable name runs.
bool WaitForNoProcess(const wchar_t* exeName, DWORD timeoutMs);

// Ends the server when an armed call has not returned within the limit.
class Watchdog {
public:
    explicit Watchdog(DWORD limitMs);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Arm(HANDLE process);
    // True when the watchdog ended the server during the armed call.
    bool Disarm();

private:
    static DWORD WINAPI Run(void* self);

    DWORD m_limitMs;
    CRITICAL_SECTION m_lock;
    HANDLE m_wake = nullptr;
    HANDLE m_thread = nullptr;
    HANDLE m_armedProcess = nullptr;
    ULONGLONG m_deadline = 0;
    bool m_fired = false;
    bool m_stop = false;
};

}  // namespace q5fuzz
