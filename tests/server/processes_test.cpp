#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "children_testing.h"
#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ChildProcess;
using q5test::TraceCapture;

namespace {

constexpr DWORD kStartLimitMs = 60000;
constexpr const wchar_t* kTwoWindows = L"q5child_twowindows.exe";
constexpr const wchar_t* kHelperFound = L"Helper found... Try to kill";

// One "Process ID" entry of the trace and whether a kill attempt followed.
struct TraceEntry {
    DWORD processId;
    std::wstring name;
    bool killed;
};

// Splits the trace of one call into its entries; false when any text is
// not one of the call's own lines.
bool ParseKillTrace(const std::wstring& text, const std::wstring& processName, std::vector<TraceEntry>& entries)
{
    const std::wstring first = L">> KillProcessByName " + processName + L"\n";
    const std::wstring last = L"<< KillProcessByName\n";
    if (text.compare(0, first.size(), first) != 0 || text.size() < first.size() + last.size() ||
        text.compare(text.size() - last.size(), last.size(), last) != 0)
        return false;
    std::wstring body = text.substr(first.size(), text.size() - first.size() - last.size());
    size_t at = 0;
    while (at < body.size()) {
        if (body.compare(at, wcslen(kHelperFound), kHelperFound) == 0) {
            if (entries.empty() || entries.back().killed) return false;
            entries.back().killed = true;
            at += wcslen(kHelperFound);
            continue;
        }
        size_t end = body.find(L'\n', at);
        if (end == std::wstring::npos) return false;
        std::wstring line = body.substr(at, end - at);
        at = end + 1;
        wchar_t hex[9] = L"";
        if (line.size() < 23 || line.compare(0, 13, L"Process ID : ") != 0 || line[21] != L' ') return false;
        line.copy(hex, 8, 13);
        entries.push_back({static_cast<DWORD>(wcstoul(hex, nullptr, 16)), line.substr(22), false});
    }
    // The server's tail line may be preceded by a kill text of the last entry.
    return true;
}

// Lines "<pid> WM_CLOSE <window>" in the order the children wrote them.
std::vector<std::pair<DWORD, int>> ReadCloseLog(const std::wstring& path)
{
    std::vector<std::pair<DWORD, int>> lines;
    std::istringstream log(q5test::ReadFileBytes(path));
    DWORD processId = 0;
    std::string word;
    int window = 0;
    while (log >> processId >> word >> window) lines.emplace_back(processId, window);
    return lines;
}

class ProcessControl : public q5test::ServiceObjectTest {
protected:
    void SetUp() override
    {
        m_logPath = q5test::MakeTempFolder(L"kill") + L"\\close.log";
        ServiceObjectTest::SetUp();
    }

    std::unique_ptr<ChildProcess> StartWithWindows(const wchar_t* program, const wchar_t* className, size_t windows)
    {
        auto child = std::make_unique<ChildProcess>(program, L"\"" + m_logPath + L"\"");
        EXPECT_TRUE(child->Started());
        EXPECT_TRUE(q5test::WaitForWindows(child->Id(), className, windows, kStartLimitMs));
        return child;
    }

    std::wstring m_logPath;
};

TEST_F(ProcessControl, EveryProcessOfTheNameIsEndedAfterItsWindowsWereAsked)
{
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < 3; ++i) children.push_back(StartWithWindows(kTwoWindows, L"Q5ChildWindow", 2));
    ASSERT_FALSE(HasFailure());

    TraceCapture capture;
    EXPECT_EQ(m_pService->KillProcessByName(kTwoWindows), E_FAIL);

    // Code 0 is TerminateProcess's: the children ignore WM_CLOSE and would
    // otherwise never end.
    for (auto& child : children) EXPECT_EQ(child->WaitForExit(kStartLimitMs), 0u) << child->Id();

    std::vector<TraceEntry> entries;
    ASSERT_TRUE(ParseKillTrace(capture.Text(), kTwoWindows, entries)) << capture.Text().c_str();
    std::vector<DWORD> killed;
    for (const TraceEntry& entry : entries) {
        EXPECT_EQ(entry.killed, entry.name == kTwoWindows) << entry.processId;
        if (entry.killed) killed.push_back(entry.processId);
    }
    std::vector<DWORD> started;
    for (auto& child : children) started.push_back(child->Id());
    std::vector<DWORD> sortedKilled = killed;
    std::sort(sortedKilled.begin(), sortedKilled.end());
    std::sort(started.begin(), started.end());
    EXPECT_EQ(sortedKilled, started);

    // Both windows of each process were asked, process by process in the
    // order of the walk.
    std::vector<std::pair<DWORD, int>> expectedLog;
    for (DWORD id : killed) {
        expectedLog.emplace_back(id, 1);
        expectedLog.emplace_back(id, 2);
    }
    std::vector<std::pair<DWORD, int>> log = ReadCloseLog(m_logPath);
    for (size_t i = 0; i + 1 < log.size(); i += 2) {
        if (log[i].second > log[i + 1].second) std::swap(log[i], log[i + 1]);  // window order is the system's
    }
    EXPECT_EQ(log, expectedLog);
}

TEST_F(ProcessControl, NameWithAPathOrInAnotherCaseNeverMatches)
{
    auto child = StartWithWindows(kTwoWindows, L"Q5ChildWindow", 2);
    ASSERT_FALSE(HasFailure());
    for (const std::wstring& name : {std::wstring(L"Q5CHILD_TWOWINDOWS.EXE"), std::wstring(L"q5child_twowindows.EXE"),
                                     q5test::ChildPath(kTwoWindows), std::wstring(L"q5child_twowindows"),
                                     std::wstring(L"q5child_twowindows.exe "), std::wstring(L"")}) {
        TraceCapture capture;
        EXPECT_EQ(m_pService->KillProcessByName(name.c_str()), E_FAIL);
        std::vector<TraceEntry> entries;
        EXPECT_TRUE(ParseKillTrace(capture.Text(), name, entries)) << capture.Text().c_str();
        EXPECT_EQ(capture.Text().find(kHelperFound), std::wstring::npos);
        EXPECT_FALSE(entries.empty());
    }
    EXPECT_TRUE(child->IsRunning());
    EXPECT_TRUE(ReadCloseLog(m_logPath).empty());
}

TEST_F(ProcessControl, ProcessWithoutWindowsIsEndedAtOnce)
{
    ChildProcess child(L"q5child_forever.exe");
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(m_pService->KillProcessByName(L"q5child_forever.exe"), E_FAIL);
    EXPECT_EQ(child.WaitForExit(kStartLimitMs), 0u);
}

struct KillCall {
    CQ5DMServiceClass* object;
    const wchar_t* name;
    HRESULT result;
};

DWORD WINAPI CallKillProcessByName(void* parameter)
{
    auto* call = static_cast<KillCall*>(parameter);
    call->result = call->object->KillProcessByName(call->name);
    return 0;
}

TEST_F(ProcessControl, WindowThatNeverAnswersDoesNotHoldTheServerForEver)
{
    // Two processes, so the walk has to go on past one hung window to the
    // windows of the next process.
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < 2; ++i) {
        children.push_back(StartWithWindows(L"q5child_hungwindow.exe", L"Q5ChildWindow", 1));
        EXPECT_TRUE(q5test::WaitForWindows(children.back()->Id(), L"Q5HungWindow", 1, kStartLimitMs));
    }
    ASSERT_FALSE(HasFailure());

    KillCall call{m_pService, L"q5child_hungwindow.exe", S_OK};
    q5::UniqueHandle thread(CreateThread(nullptr, 0, CallKillProcessByName, &call, 0, nullptr));
    ASSERT_TRUE(thread);
    // A limit far above the bounded waits, only so a hang fails here.
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 240000), WAIT_OBJECT_0) << "KillProcessByName did not return";
    EXPECT_EQ(call.result, E_FAIL);

    std::vector<std::pair<DWORD, int>> expectedLog;
    for (auto& child : children) {
        EXPECT_EQ(child->WaitForExit(kStartLimitMs), 0u);
        expectedLog.emplace_back(child->Id(), 1);
    }
    std::vector<std::pair<DWORD, int>> log = ReadCloseLog(m_logPath);
    std::sort(log.begin(), log.end());
    std::sort(expectedLog.begin(), expectedLog.end());
    EXPECT_EQ(log, expectedLog);
}

HANDLE WINAPI FailingSnapshot(DWORD, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

TEST_F(ProcessControl, WithoutASnapshotItsFailureIsTracedBetweenTheOuterLines)
{
    q5test::ScopedImportHook hook("kernel32.dll", "CreateToolhelp32Snapshot", reinterpret_cast<void*>(&FailingSnapshot));
    TraceCapture capture;
    EXPECT_EQ(m_pService->KillProcessByName(kTwoWindows), E_FAIL);
    EXPECT_EQ(capture.Text(), L">> KillProcessByName q5child_twowindows.exe\nProcess snapshot failed, error 8\n"
                              L"<< KillProcessByName\n");
}

constexpr const wchar_t* kForever = L"q5child_forever.exe";
int g_snapshotFailures = 0;
DWORD g_snapshotError = 0;
q5test::ScopedImportHook* g_snapshotHook = nullptr;

HANDLE WINAPI SnapshotFailingFirst(DWORD flags, DWORD processId)
{
    if (g_snapshotFailures-- > 0) {
        SetLastError(g_snapshotError);
        return INVALID_HANDLE_VALUE;
    }
    return g_snapshotHook->Original<decltype(&CreateToolhelp32Snapshot)>()(flags, processId);
}

TEST_F(ProcessControl, ASnapshotThatFailsIsTakenAgainABoundedNumberOfTimes)
{
    // Only the failure of a list that changed while it was read can pass on
    // another attempt.
    const std::pair<int, DWORD> rows[] = {
        {1, ERROR_BAD_LENGTH}, {1000, ERROR_BAD_LENGTH}, {1000, ERROR_NOT_ENOUGH_MEMORY}, {1000, ERROR_PARTIAL_COPY}};
    for (const auto& [failures, error] : rows) {
        ChildProcess child(kForever);
        ASSERT_TRUE(child.Started());
        g_snapshotFailures = failures;
        g_snapshotError = error;
        q5test::ScopedImportHook hook("kernel32.dll", "CreateToolhelp32Snapshot",
                                      reinterpret_cast<void*>(&SnapshotFailingFirst));
        g_snapshotHook = &hook;
        TraceCapture capture;
        EXPECT_EQ(m_pService->KillProcessByName(kForever), E_FAIL);
        if (failures == 1) {
            EXPECT_EQ(child.WaitForExit(kStartLimitMs), 0u);
            continue;
        }
        if (error == ERROR_BAD_LENGTH) {
            EXPECT_GE(g_snapshotFailures, 990) << "at most ten attempts";
        } else {
            EXPECT_EQ(g_snapshotFailures, 999) << error;
        }
        EXPECT_EQ(capture.Text(), L">> KillProcessByName q5child_forever.exe\nProcess snapshot failed, error " +
                                      std::to_wstring(error) + L"\n<< KillProcessByName\n");
    }
}

const wchar_t* g_pszImage = nullptr;  // null: the name cannot be read

BOOL WINAPI ChosenImageName(HANDLE, DWORD, LPWSTR name, PDWORD size)
{
    if (g_pszImage == nullptr) SetLastError(ERROR_ACCESS_DENIED);
    if (g_pszImage == nullptr || wcslen(g_pszImage) >= *size) return FALSE;
    *size = static_cast<DWORD>(wcslen(wcscpy(name, g_pszImage)));
    return TRUE;
}

TEST_F(ProcessControl, AnIdThatNowBelongsToAnotherProgramIsLeftAlone)
{
    const std::wstring longImage = L"C:\\" + std::wstring(300, L'd') + L"\\q5child_forever.exe";
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\windows\\notepad.exe", L"Image is no longer q5child_forever.exe, skipped\n"},
        {L"C:\\q5\\xq5child_forever.exe", L"Image is no longer q5child_forever.exe, skipped\n"},
        {L"C:\\q5child_forever.exe\\q5.exe", L"Image is no longer q5child_forever.exe, skipped\n"},
        {nullptr, L"Image name unreadable, error 5, skipped\n"},
        {L"C:\\elsewhere\\Q5Child_Forever.EXE", kHelperFound},
        {longImage.c_str(), kHelperFound}};
    for (const auto& [image, expected] : cases) {
        ChildProcess child(kForever);
        ASSERT_TRUE(child.Started());
        g_pszImage = image;
        q5test::ScopedImportHook query("kernel32.dll", "QueryFullProcessImageNameW",
                                       reinterpret_cast<void*>(&ChosenImageName));
        TraceCapture capture;
        EXPECT_EQ(m_pService->KillProcessByName(kForever), E_FAIL);
        wchar_t id[16];
        _snwprintf(id, 15, L"%08X", static_cast<unsigned>(child.Id()));
        id[15] = L'\0';
        std::wstring entry = L"Process ID : " + std::wstring(id) + L" q5child_forever.exe\n" + expected;
        EXPECT_NE(capture.Text().find(entry), std::wstring::npos) << capture.Text().c_str();
        bool ended = expected == kHelperFound;
        EXPECT_EQ(child.WaitForExit(ended ? kStartLimitMs : 0), ended ? 0u : STILL_ACTIVE);
    }
}

// A clock that moves only while a window is asked: by the time it takes to
// answer, or by the timeout.
ULONGLONG g_now = 0;
UINT g_answerMs = 0;
std::vector<std::pair<HWND, UINT>> g_sent, g_posted;  // window, timeout

ULONGLONG WINAPI FakeTickCount64() { return g_now; }

LRESULT WINAPI TimedSend(HWND window, UINT message, WPARAM, LPARAM, UINT, UINT timeout, PDWORD_PTR)
{
    g_sent.emplace_back(message == WM_CLOSE && g_posted.empty() ? window : nullptr, timeout);
    g_now += std::min(g_answerMs, timeout);
    return g_answerMs < timeout;
}

BOOL WINAPI RecordingPost(HWND window, UINT message, WPARAM, LPARAM)
{
    g_posted.emplace_back(message == WM_CLOSE ? window : nullptr, 0);
    return TRUE;
}

TEST_F(ProcessControl, OneCallWaitsForWindowsThirtySecondsInAllThenPosts)
{
    for (UINT answerMs : {4000u, INFINITE}) {
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < 5; ++i) children.push_back(StartWithWindows(kTwoWindows, L"Q5ChildWindow", 2));
        g_now = 1000000, g_answerMs = answerMs;
        g_sent.clear(), g_posted.clear();
        std::wstring trace;
        {
            q5test::ScopedImportHook clock("kernel32.dll", "GetTickCount64", reinterpret_cast<void*>(&FakeTickCount64));
            q5test::ScopedImportHook send("user32.dll", "SendMessageTimeoutW", reinterpret_cast<void*>(&TimedSend));
            q5test::ScopedImportHook post("user32.dll", "PostMessageW", reinterpret_cast<void*>(&RecordingPost));
            TraceCapture capture;
            EXPECT_EQ(m_pService->KillProcessByName(kTwoWindows), E_FAIL);
            trace = capture.Text();
        }
        for (auto& child : children) EXPECT_EQ(child->WaitForExit(kStartLimitMs), 0u);
        // Every window asked once; no send after a post; 30 s of waiting in all.
        std::vector<HWND> asked;
        for (const auto& request : g_sent) asked.push_back(request.first);
        for (const auto& request : g_posted) asked.push_back(request.first);
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(std::unique(asked.begin(), asked.end()), asked.end());
        EXPECT_EQ(std::count(asked.begin(), asked.end(), nullptr), 0);
        EXPECT_GE(asked.size(), 10u);
        EXPECT_FALSE(g_posted.empty());
        EXPECT_EQ(g_now, 1000000u + 30000u) << answerMs;
        EXPECT_EQ(trace.find(L"Close deadline reached, WM_CLOSE posted to the remaining windows\n"),
                  trace.rfind(L"Close deadline reached"));
        EXPECT_NE(trace.find(L"Close deadline reached"), std::wstring::npos);
    }
}

}  // namespace
