// KillProcessByName: ends every process whose executable file name is the
// given one, asking each of its top-level windows to close first.
#include "service.h"

#include <tlhelp32.h>
#include <wchar.h>

#include "handles.h"
#include "heap.h"
#include "snapshot.h"
#include "trace.h"

namespace {

// A window whose thread never answers would otherwise hold up the whole
// server for ever; after this long the close request counts as delivered
// and the walk goes on to the next window. No SMTO_ABORTIFHUNG: a thread
// that merely looks hung would then never be sent the request at all.
constexpr UINT kCloseRequestTimeoutMs = 5000;
// Thousands of such windows would still hold the server's only thread for
// hours, so one call waits this long at most in all; the windows left then
// get the request posted, which does not wait.
constexpr ULONGLONG kCloseRequestsBudgetMs = 30000;
// The longest path Windows knows, and its terminator.
constexpr DWORD kImagePathChars = 32767 + 1;

// The close requests of one call, across all the processes it ends.
struct CloseRequests {
    ULONGLONG deadline;
    bool deadlineTraced;
    DWORD processId;
};

// Sends WM_CLOSE for at most the time left, or posts it once none is.
void RequestClose(HWND hwnd, CloseRequests& requests)
{
    ULONGLONG now = GetTickCount64();
    if (now >= requests.deadline) {
        if (!requests.deadlineTraced) LogTrace(L"Close deadline reached, WM_CLOSE posted to the remaining windows\n");
        requests.deadlineTraced = true;
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return;
    }
    ULONGLONG left = requests.deadline - now;
    UINT timeout = left < kCloseRequestTimeoutMs ? static_cast<UINT>(left) : kCloseRequestTimeoutMs;
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(hwnd, WM_CLOSE, 0, 0, SMTO_NORMAL, timeout, &answer);
}

BOOL CALLBACK CloseProcessWindowsProc(HWND hwnd, LPARAM lParam)
{
    auto* requests = reinterpret_cast<CloseRequests*>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(hwnd, &processId);
    if (processId == requests->processId) RequestClose(hwnd, *requests);
    return TRUE;
}

BOOL CloseProcessWindows(DWORD processId, CloseRequests& requests)
{
    requests.processId = processId;
    return EnumWindows(CloseProcessWindowsProc, reinterpret_cast<LPARAM>(&requests));
}

// The id comes from the snapshot, and earlier matches may have taken
// seconds since: by now it can belong to an unrelated program, which must
// not be ended.
bool IsStillNamed(HANDLE process, const wchar_t* exeName)
{
    q5::HeapArray<wchar_t> image = q5::AllocateArray<wchar_t>(kImagePathChars);
    DWORD length = kImagePathChars;
    if (!image || !QueryFullProcessImageNameW(process, 0, image.Get(), &length)) {
        LogTrace(L"Image name unreadable, error %d, skipped\n", image ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const wchar_t* name = wcsrchr(image.Get(), L'\\');
    name = name != nullptr ? name + 1 : image.Get();
    if (CompareStringOrdinal(name, -1, exeName, -1, TRUE) == CSTR_EQUAL) return true;
    LogTrace(L"Image is no longer %s, skipped\n", exeName);
    return false;
}

void EndIfNamed(const PROCESSENTRY32W& entry, const wchar_t* processName, CloseRequests& requests)
{
    LogTrace(L"Process ID : %08X %s\n", entry.th32ProcessID, entry.szExeFile);
    if (wcscmp(entry.szExeFile, processName) != 0) return;

    q5::UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process || !IsStillNamed(process.Get(), entry.szExeFile)) return;
    LogTrace(L"Helper found... Try to kill");
    CloseProcessWindows(entry.th32ProcessID, requests);
    TerminateProcess(process.Get(), 0);
}

q5::UniqueFileHandle TakeSnapshot()
{
    q5::UniqueFileHandle snapshot = q5::TakeProcessSnapshot(TH32CS_SNAPALL);
    if (!snapshot) LogTrace(L"Process snapshot failed, error %d\n", GetLastError());
    return snapshot;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::KillProcessByName(const wchar_t* processName)
{
    LogTrace(L">> KillProcessByName %s\n", processName);
    CloseRequests requests{GetTickCount64() + kCloseRequestsBudgetMs, false, 0};
    q5::UniqueFileHandle snapshot = TakeSnapshot();
    if (snapshot) {
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
            EndIfNamed(entry, processName, requests);
            entry.dwSize = sizeof(entry);
        }
    }
    LogTrace(L"<< KillProcessByName\n");
    return E_FAIL;
}
