// KillAnotherMine against real processes: copies of this very test program
// stand in for earlier server processes, since the own name it looks for is
// the name of the running executable.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "staleserver.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring OwnName()
{
    std::wstring path = OwnPath();
    return path.substr(path.rfind(L'\\') + 1);
}

// A running copy of this program that waits until it is ended.
class Decoy {
public:
    Decoy(const std::wstring& folder, const std::wstring& fileName)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring dir = std::wstring(temp) + L"q5stale\\" + folder;
        CreateDirectoryW((std::wstring(temp) + L"q5stale").c_str(), nullptr);
        CreateDirectoryW(dir.c_str(), nullptr);
        m_path = dir + L"\\" + fileName;
        CopyFileW(OwnPath().c_str(), m_path.c_str(), FALSE);

        std::wstring command = L"\"" + m_path + L"\" --gtest_filter=StaleServerDecoy.DISABLED_WaitUntilEnded --gtest_also_run_disabled_tests";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            m_process = info.hProcess;
            m_id = info.dwProcessId;
            WaitForInputIdle(m_process, 5000);
            Sleep(300);  // let the loader map the executable module
        }
    }
    ~Decoy()
    {
        if (m_process != nullptr) {
            TerminateProcess(m_process, 0);
            WaitForSingleObject(m_process, 5000);
            CloseHandle(m_process);
        }
        DeleteFileW(m_path.c_str());
    }
    bool Started() const { return m_process != nullptr; }
    DWORD Id() const { return m_id; }
    bool Ended(DWORD waitMs) const { return WaitForSingleObject(m_process, waitMs) == WAIT_OBJECT_0; }

private:
    std::wstring m_path;
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

std::vector<DWORD> SnapshotOrder()
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ids.push_back(entry.th32ProcessID);
        entry.dwSize = sizeof(entry);
    }
    CloseHandle(snapshot);
    return ids;
}

size_t IndexOf(const std::vector<DWORD>& ids, DWORD id)
{
    for (size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == id) return i;
    return ids.size();
}

std::wstring ProcessIdLine(DWORD id)
{
    wchar_t line[32];
    _snwprintf(line, 32, L"Process ID : %08X\n", id);
    return line;
}

size_t CountOf(const std::wstring& text, const std::wstring& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(StaleServerDecoy, DISABLED_WaitUntilEnded) { Sleep(INFINITE); }

TEST(KillAnotherMine, EndsOnlyTheFirstOtherProcessOfTheSameName)
{
    Decoy first(L"a", OwnName());
    Decoy second(L"b", OwnName());
    Decoy otherCase(L"c", L"X" + OwnName());
    ASSERT_TRUE(first.Started() && second.Started() && otherCase.Started());

    std::vector<DWORD> order = SnapshotOrder();
    bool firstComesFirst = IndexOf(order, first.Id()) < IndexOf(order, second.Id());
    const Decoy& earlier = firstComesFirst ? first : second;
    const Decoy& later = firstComesFirst ? second : first;

    TraceCapture capture;
    KillAnotherMine();

    EXPECT_TRUE(earlier.Ended(5000));
    EXPECT_FALSE(later.Ended(500));
    EXPECT_FALSE(otherCase.Ended(0));

    const std::wstring& text = capture.Text();
    std::wstring head = L">> KillAnotherMine " + OwnName() + L"\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    std::wstring tail = ProcessIdLine(earlier.Id()) + L"Found crashed... Try to kill";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << "no exit line after a kill";
    EXPECT_EQ(CountOf(text, L"<< KillAnotherMine"), 0u);
}

TEST(KillAnotherMine, NeverEndsItselfNorADifferentlyCasedName)
{
    std::wstring name = OwnName();
    for (wchar_t& c : name) c = static_cast<wchar_t>(towupper(c));
    Decoy upper(L"d", name);
    ASSERT_TRUE(upper.Started());

    TraceCapture capture;
    KillAnotherMine();

    EXPECT_FALSE(upper.Ended(500));
    const std::wstring& text = capture.Text();
    EXPECT_EQ(CountOf(text, L"Found crashed"), 0u);
    EXPECT_EQ(CountOf(text, ProcessIdLine(GetCurrentProcessId())), 1u) << "our own process is examined, not ended";
    EXPECT_EQ(CountOf(text, ProcessIdLine(upper.Id())), 1u);
    EXPECT_EQ(text.substr(text.size() - 19), L"<< KillAnotherMine\n");
}

TEST(KillAnotherMine, TracesEveryProcessInSnapshotOrder)
{
    // Wine's own processes may come and go meanwhile: compare only a run in
    // which the process list stood still.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<DWORD> before = SnapshotOrder();
        TraceCapture capture;
        KillAnotherMine();
        if (SnapshotOrder() != before) continue;
        std::wstring expected = L">> KillAnotherMine " + OwnName() + L"\n";
        for (DWORD id : before) expected += ProcessIdLine(id);
        expected += L"<< KillAnotherMine\n";
        EXPECT_EQ(capture.Text(), expected);
        return;
    }
    GTEST_SKIP() << "the process list never stood still";
}

namespace {
int g_snapshotFailures = 0;
ScopedImportHook* g_snapshotHook = nullptr;
}  // namespace

HANDLE WINAPI FailingSnapshot(DWORD flags, DWORD processId)
{
    if (g_snapshotFailures-- <= 0) return g_snapshotHook->Original<decltype(&CreateToolhelp32Snapshot)>()(flags, processId);
    SetLastError(ERROR_BAD_LENGTH);
    return INVALID_HANDLE_VALUE;
}
HANDLE WINAPI FailingFindFirstFile(LPCWSTR, LPWIN32_FIND_DATAW) { return INVALID_HANDLE_VALUE; }
DWORD WINAPI FailingBaseName(HANDLE, HMODULE, LPWSTR, DWORD) { return 0; }

TEST(KillAnotherMine, WithoutSnapshotWritesOnlyEntryAndExit)
{
    // A list that changed while it was read is taken again, a bounded number of times.
    for (int failures : {1000, 1}) {
        g_snapshotFailures = failures;
        ScopedImportHook hook("kernel32.dll", "CreateToolhelp32Snapshot", reinterpret_cast<void*>(&FailingSnapshot));
        g_snapshotHook = &hook;
        TraceCapture capture;
        KillAnotherMine();
        EXPECT_EQ(capture.Text() == L">> KillAnotherMine " + OwnName() + L"\n<< KillAnotherMine\n", failures == 1000);
    }
}

TEST(KillAnotherMine, WithoutOwnNameEndsNothing)
{
    Decoy twin(L"e", OwnName());
    ASSERT_TRUE(twin.Started());
    ScopedImportHook hook("kernel32.dll", "FindFirstFileW", reinterpret_cast<void*>(&FailingFindFirstFile));
    TraceCapture capture;
    KillAnotherMine();
    EXPECT_EQ(capture.Text(), L">> KillAnotherMine \n<< KillAnotherMine\n");
    EXPECT_FALSE(twin.Ended(500));
}

TEST(KillAnotherMine, UnreadableModuleNameCountsAsUnknown)
{
    Decoy twin(L"f", OwnName());
    ASSERT_TRUE(twin.Started());
    q5test::ScopedImportHook hook(q5test::FindImportSlot("psapi.dll", "GetModuleBaseNameW") ? "psapi.dll" : "kernel32.dll",
                                  q5test::FindImportSlot("psapi.dll", "GetModuleBaseNameW") ? "GetModuleBaseNameW" : "K32GetModuleBaseNameW",
                                  reinterpret_cast<void*>(&FailingBaseName));
    TraceCapture capture;
    KillAnotherMine();
    EXPECT_FALSE(twin.Ended(500));
    EXPECT_EQ(CountOf(capture.Text(), L"Found crashed"), 0u);
}

namespace {

std::vector<DWORD> g_openedIds;
decltype(&OpenProcess) g_realOpenProcess = nullptr;

HANDLE WINAPI RecordingOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    g_openedIds.push_back(id);
    return g_realOpenProcess(access, inherit, id);
}

}  // namespace

TEST(KillAnotherMine, OpensOnlyProcessesWhoseImageCouldBeOurs)
{
    std::wstring upperName = OwnName();
    for (wchar_t& c : upperName) c = static_cast<wchar_t>(towupper(c));
    Decoy upper(L"g", upperName);
    Decoy otherName(L"h", L"X" + OwnName());
    ASSERT_TRUE(upper.Started() && otherName.Started());

    g_openedIds.clear();
    {
        ScopedImportHook hook("kernel32.dll", "OpenProcess", reinterpret_cast<void*>(&RecordingOpenProcess));
        ASSERT_TRUE(hook.Installed());
        g_realOpenProcess = hook.Original<decltype(&OpenProcess)>();
        TraceCapture capture;
        KillAnotherMine();
        EXPECT_EQ(CountOf(capture.Text(), ProcessIdLine(otherName.Id())), 1u) << "every process is still listed";
    }

    EXPECT_LT(IndexOf(g_openedIds, upper.Id()), g_openedIds.size()) << "a name of another case is examined";
    EXPECT_EQ(IndexOf(g_openedIds, otherName.Id()), g_openedIds.size()) << "a process of another name was opened";
    EXPECT_EQ(IndexOf(g_openedIds, GetCurrentProcessId()), g_openedIds.size()) << "its own process was opened";
    EXPECT_FALSE(upper.Ended(500));
    EXPECT_FALSE(otherName.Ended(0));
}
