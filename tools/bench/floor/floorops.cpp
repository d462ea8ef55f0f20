// q5floorops: the platform calls of the sweeping operations of the DM
// server, done in a bare loop in-process, for the benchmark to compare the
// server's operations with; and the setting those operations sweep.
//
//   q5floorops seed COUNT       COUNT driver keys in the modem class (none
//                               of the maker's descriptions), class named
//   q5floorops unseed           removes them again
//   q5floorops clean CLASS N [trace]   the CleanNotInstalled walk, N times
//   q5floorops kill NAME N [trace]     the KillProcessByName walk, N times
//   q5floorops stale NAME N [trace]    the walk of an activation's search
//                               for a leftover server of file name NAME,
//                               N times
//   q5floorops crowd COUNT      starts COUNT idle processes and keeps them
//                               until Ctrl+C (or its own end)
//
// clean and kill print "round trip median X ms, min Y ms, max Z ms" for their
// N runs. With "trace" they also write the trace lines that the server's
// operation writes, formatted and written as the server's trace routine
// does, so that the comparison shows what the server costs beyond them.
// A tool of the benchmark only: never shipped.
#include <windows.h>
#include <psapi.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "floortrace.h"
#include "floorwalk.h"

namespace {

const GUID kModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kClassKey[] = L"System\\CurrentControlSet\\Control\\Class\\{4d36e96d-e325-11ce-bfc1-08002be10318}";
constexpr int kFirstSeed = 5000;  // subkey names 5000 and up, clear of real ones

class Key {
public:
    ~Key()
    {
        if (m_key != nullptr && m_key != INVALID_HANDLE_VALUE) RegCloseKey(m_key);
    }
    HKEY* Put() { return &m_key; }
    HKEY Get() const { return m_key; }
    void Reset(HKEY key)
    {
        this->~Key();
        m_key = key;
    }

private:
    HKEY m_key = nullptr;
};

using Handle = q5::UniqueHandle;
using q5floor::ForEachProcess;
using q5floor::StaleWalk;

double Milliseconds(const LARGE_INTEGER& from)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Seed(int count)
{
    Key classKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, classKey.Put(), nullptr) !=
        ERROR_SUCCESS) {
        fprintf(stderr, "cannot create the modem class key\n");
        return 1;
    }
    const wchar_t className[] = L"Modem";
    RegSetValueExW(classKey.Get(), L"Class", 0, REG_SZ, reinterpret_cast<const BYTE*>(className), sizeof(className));
    for (int i = 0; i < count; ++i) {
        wchar_t name[16], description[64];
        _snwprintf(name, 16, L"%04d", kFirstSeed + i);
        _snwprintf(description, 64, L"Q5 bench modem %d", i);
        Key sub;
        if (RegCreateKeyExW(classKey.Get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.Put(), nullptr) != ERROR_SUCCESS) {
            fprintf(stderr, "cannot create driver key %d\n", i);
            return 1;
        }
        RegSetValueExW(sub.Get(), L"DriverDesc", 0, REG_SZ, reinterpret_cast<const BYTE*>(description),
                       static_cast<DWORD>((wcslen(description) + 1) * sizeof(wchar_t)));
    }
    return 0;
}

int Unseed()
{
    Key classKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS, classKey.Put()) != ERROR_SUCCESS) return 0;
    for (int i = 0;; ++i) {
        wchar_t name[16];
        _snwprintf(name, 16, L"%04d", kFirstSeed + i);
        if (RegDeleteKeyW(classKey.Get(), name) != ERROR_SUCCESS) break;
    }
    return 0;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) { return wcsncmp(text, prefix, wcslen(prefix)) == 0; }

// The walk of CleanNotInstalled over a class whose keys all stay.
void CleanWalk(const wchar_t* className)
{
    q5floor::Trace(L">> CleanNotInstalled(%s, %d)\n", className, 0);
    GUID guid = {};
    DWORD required = 0;
    SetupDiClassGuidsFromNameW(className, &guid, 1, &required);
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    Key classKey;
    classKey.Reset(SetupDiOpenClassRegKey(required != 0 ? &guid : &kModemClass, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY));
    if (classKey.Get() == INVALID_HANDLE_VALUE) return;
    wchar_t name[260];
    for (DWORD i = 0; RegEnumKeyW(classKey.Get(), i, name, 259) == ERROR_SUCCESS; ++i) {
        Key sub;
        if (RegOpenKeyExW(classKey.Get(), name, 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, sub.Put()) != ERROR_SUCCESS) {
            continue;
        }
        wchar_t description[130];
        DWORD bytes = sizeof(description);
        if (RegQueryValueExW(sub.Get(), L"DriverDesc", nullptr, nullptr, reinterpret_cast<BYTE*>(description), &bytes) !=
            ERROR_SUCCESS) {
            continue;
        }
        q5floor::Trace(L"Drievr description : %s", description);
        if (StartsWith(description, L"Brisvale RK72") || StartsWith(description, L"Brisvale Tolvarin")) {
            fprintf(stderr, "a key of the maker's modems is in the bench class\n");
        }
    }
}

// The walk of KillProcessByName for a name that no process has.
void KillWalk(const wchar_t* processName)
{
    q5floor::Trace(L">> KillProcessByName %s\n", processName);
    ForEachProcess(TH32CS_SNAPALL, [processName](const PROCESSENTRY32W& entry) {
        q5floor::Trace(L"Process ID : %08X %s\n", entry.th32ProcessID, entry.szExeFile);
        if (wcscmp(entry.szExeFile, processName) == 0) fprintf(stderr, "a process of that name runs\n");
    });
    q5floor::Trace(L"<< KillProcessByName\n");
}

int Timed(void (*walk)(const wchar_t*), const wchar_t* argument, int rounds)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        walk(argument);
        times.push_back(Milliseconds(start));
    }
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2.0;
    // Standard output carries the trace, if any: the figures go apart.
    fprintf(q5floor::g_bTrace ? stderr : stdout, "calls: %zu, round trip median %.3f ms, min %.3f ms, max %.3f ms\n", n, median,
            times.front(), times.back());
    return 0;
}

HANDLE g_endCrowd = nullptr;

BOOL WINAPI EndCrowd(DWORD)
{
    SetEvent(g_endCrowd);
    return TRUE;
}

// The children are in a job that ends them with it, also when the crowd
// itself is ended from outside.
int Crowd(int count)
{
    Handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    Handle end(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_endCrowd = end.Get();
    SetConsoleCtrlHandler(EndCrowd, TRUE);
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == MAX_PATH) return 1;
    int started = 0;
    for (int i = 0; i < count; ++i) {
        wchar_t commandLine[MAX_PATH + 16];
        _snwprintf(commandLine, MAX_PATH + 16, L"\"%s\" idle", self);
        commandLine[MAX_PATH + 15] = L'\0';
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(self, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr,
                            &startup, &info)) {
            break;
        }
        AssignProcessToJobObject(job.Get(), info.hProcess);
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        ++started;
    }
    printf("crowd: %d processes\n", started);
    fflush(stdout);
    WaitForSingleObject(end.Get(), 3600 * 1000);
    TerminateJobObject(job.Get(), 0);
    return started == count ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], L"seed") == 0) return Seed(_wtoi(argv[2]));
    if (argc == 2 && wcscmp(argv[1], L"unseed") == 0) return Unseed();
    q5floor::g_bTrace = argc == 5 && wcscmp(argv[4], L"trace") == 0;
    if ((argc == 4 || q5floor::g_bTrace) && wcscmp(argv[1], L"clean") == 0) return Timed(CleanWalk, argv[2], _wtoi(argv[3]));
    if ((argc == 4 || q5floor::g_bTrace) && wcscmp(argv[1], L"kill") == 0) return Timed(KillWalk, argv[2], _wtoi(argv[3]));
    if ((argc == 4 || q5floor::g_bTrace) && wcscmp(argv[1], L"stale") == 0) return Timed(StaleWalk, argv[2], _wtoi(argv[3]));
    if (argc == 3 && wcscmp(argv[1], L"crowd") == 0) return Crowd(_wtoi(argv[2]));
    if (argc == 2 && wcscmp(argv[1], L"idle") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    fprintf(stderr, "usage: q5floorops seed COUNT | unseed | clean CLASS N [trace] | kill NAME N [trace] | stale NAME N [trace] | crowd COUNT\n");
    return 2;
}
