#include "expect.h"

#include <stdio.h>

namespace q5fuzz {
namespace {

constexpr size_t kTraceChars = 1023;
constexpr char kClosing[] = "CoRevokeClassObject(g_dwRegisterClass);CoUninitialize";
// An escaped character takes at most this many bytes (e.g. "\U0001F600").
constexpr size_t kEscapeBytes = 12;

std::wstring Cut(std::wstring line) { return line.size() > kTraceChars ? line.substr(0, kTraceChars) : line; }

bool IsRecognisedRoot(const std::wstring& root)
{
    return root == L"HKCR" || root == L"HKCU" || root == L"HKLM" || root == L"HKU" || root == L"HKCC";
}

// Latin-1 bytes of a run of characters that are all at most U+00FF.
std::string Latin1(const std::wstring& text, size_t from, size_t to)
{
    std::string out;
    for (size_t i = from; i < to; ++i) out += static_cast<char>(text[i]);
    return out;
}

std::string WithoutCarriageReturns(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    }
    return out;
}

// An argument as the trace carries it: its line ends escaped.
std::wstring Traced(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\r') out += L"\\u000D";
        else if (c == L'\n') out += L"\\u000A";
        else out += c;
    }
    return out;
}

}  // namespace

std::wstring EntryLine(const Call& call)
{
    const std::wstring name = call.method->name;
    std::wstring t[q5dmctl::kMaxParams];
    for (int i = 0; i < q5dmctl::kMaxParams; ++i) t[i] = Traced(call.text[i]);
    const LONG* n = call.number;
    auto num = [](LONG v) { return std::to_wstring(v); };
    std::wstring line;
    if (name == L"InstallDriver") line = L">> InstallDriver(" + t[0] + L", " + t[1] + L", " + num(n[2]) + L")\n";
    else if (name == L"RemoveDriver") line = L">> RemoveDriver(" + t[0] + L")\n";
    else if (name == L"KillProcessByName") line = L">> KillProcessByName " + t[0] + L"\n";
    else if (name == L"PatchUninstall") line = L">> PatchUninstall " + t[0] + L" " + t[1] + L"\n";
    else if (name == L"BackupDriver") line = L"backup " + t[0] + L"\n";
    else if (name == L"CleanNotInstalled") line = L">> CleanNotInstalled(" + t[0] + L", " + num(n[1]) + L")\n";
    else if (name == L"CmdLine") line = L">> CmdLine (" + t[0] + L", " + t[1] + L", " + t[2] + L")\n";
    else if (name == L"SyncExec") line = L">> SyncExec(" + t[0] + L", " + t[1] + L")\n";
    else if (name == L"DeleteRegKey") {
        line = IsRecognisedRoot(t[0]) ? L">> DeleteRegKey('" + t[0] + L"\\" + t[1] + L"')\n"
                                      : std::wstring(L">> DeleteRegKey() wrong root branch\n");
    } else if (name == L"isDeviceWORable" || name == L"setWOREnabled" || name == L"setSuspendAllowed") {
        line = L">> " + name + L"(" + t[0] + L")\n";
    }
    return Cut(line);
}

TraceCheck CheckTrace(const std::string& rawTrace, const std::vector<std::wstring>& entryLines, bool endedByItself)
{
    const std::string trace = WithoutCarriageReturns(rawTrace);
    TraceCheck check;
    size_t pos = 0;
    for (size_t i = 0; i < entryLines.size(); ++i) {
        const std::wstring& line = entryLines[i];
        if (line.empty()) continue;
        size_t firstHigh = 0;
        while (firstHigh < line.size() && line[firstHigh] <= 0xFF) ++firstHigh;
        const std::string head = Latin1(line, 0, firstHigh);
        size_t at = trace.find(head, pos);
        if (at == std::string::npos) {
            check.faults.push_back({i, "missing"});
            continue;
        }
        size_t end = at + head.size();
        if (firstHigh < line.size()) {
            // The Latin-1 tail after the last character above U+00FF must
            // follow, with no more room between than escapes take.
            size_t lastHigh = line.size() - 1;
            while (line[lastHigh] <= 0xFF) --lastHigh;
            const std::string tail = Latin1(line, lastHigh + 1, line.size());
            size_t room = (lastHigh - firstHigh + 1) * kEscapeBytes;
            size_t found = trace.find(tail, end);
            if (found == std::string::npos || found - end > room) {
                check.faults.push_back({i, "cut"});
                pos = end;
                continue;
            }
            end = found + tail.size();
        }
        pos = end;
    }
    if (endedByItself) {
        size_t at = trace.rfind(kClosing);
        check.closingMissing = at == std::string::npos || trace.find_first_not_of("\n", at + sizeof(kClosing) - 1) != std::string::npos;
    }
    return check;
}

std::string Shown(const std::wstring& text, size_t limit)
{
    std::string out;
    size_t i = 0;
    for (; i < text.size() && out.size() < limit; ++i) {
        wchar_t c = text[i];
        // A run of one character is told by its count.
        size_t run = 1;
        while (i + run < text.size() && text[i + run] == c) ++run;
        char piece[32];
        if (c >= 0x20 && c < 0x7F && c != '\\') snprintf(piece, sizeof(piece), "%c", static_cast<char>(c));
        else if (c == '\\') snprintf(piece, sizeof(piece), "\\\\");
        else snprintf(piece, sizeof(piece), "\\u%04X", static_cast<unsigned>(c));
        if (run > 8) {
            out += piece;
            out += "{x" + std::to_string(run) + "}";
            i += run - 1;
        } else {
            out += piece;
        }
    }
    if (i < text.size()) out += "...";
    return "\"" + out + "\"";
}

}  // namespace q5fuzz
