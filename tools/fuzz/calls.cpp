// Which hostile values go to which method, and why each stays confined.
//
// The server runs with administrator rights, so a robustness run must try
// what an attacker would while changing nothing that it does not own. The
// run's own places are: the scratch folder (Scratch::root) and the folders
// planted for it (C:\q5fuzz-bait, C:\q5fuzz-pkg, <windows>\inf\q5fuzz.inf,
// which must stay as they are); the registry keys Software\Q5FuzzScratch
// under HKCU, HKLM and HKCR; the scratch setup class; the scratch device
// ROOT\Q5FUZZ\0000; the COM port database map when the stand-in is
// installed. Everything else must read the same after the run.
//
// - InstallDriver: the scratch device, a device id that names nothing, or a
//   hostile id that the device guard has checked names no other device.
//   The INF is the scratch modem INF or a hostile path. Nothing can install:
//   the prefix has Wine's newdev.dll, whose InstallSelectedDriver does nothing.
// - RemoveDriver: never the scratch device (the power calls need it), only
//   ids that the guard finds name no device.
// - KillProcessByName: hostile names and names starting "q5fuzz-missing".
//   No process of the prefix has such a name (the pool holds no real one).
// - PatchUninstall: keys below HKLM\Software\Q5FuzzScratch, and hostile
//   keys that name nothing (missing keys are never created). The empty key
//   and keys of separators only are tried on purpose: the server must refuse
//   them, or it writes into the root of HKLM, which the side-effect check sees.
// - BackupDriver: backupRoot always starts with a scratch folder that lies
//   more than kMaxParentSteps levels below the scratch root, and the generator
//   holds the "..\" steps of subFolder, backupRoot and infCopyPath to that
//   many, so every copy that the call asks for stays in scratch. infName is
//   the planted installed INF, the bait name that climbs out of the INF
//   folder (its [SourceDisksFiles] names climb and hold wildcards: a server
//   that follows them writes outside scratch), or a hostile name. Wildcards
//   in subFolder and backupRoot are tried on purpose: a server that hands
//   them to the shell gets the package copied into its current folder, the
//   system folder, where the side-effect check sees it.
// - CleanNotInstalled: the scratch class (re-seeded for every server) or
//   hostile names that the class guard finds map to no class. Never "Modem".
// - CmdLine: a file whose last path element starts "q5fuzz-missing" and has
//   no colon, so it names neither a program, a folder nor a URL, whatever
//   "..\" or wildcards come before it; hostile parameters and directory.
// - SyncExec: a program token that the program guard finds names nothing
//   (a missing name, or a short hostile token such as "*" or "NUL"), then
//   hostile arguments; never a program that exists.
// - DeleteRegKey: recognised root branches only with keys below the scratch
//   keys, and with the empty key and keys of separators only, which the
//   server must refuse; any key with root names that no server knows.
// - COM port calls: only when the stand-in map is installed (Wine's own
//   msports.dll ends the server at the first call); every long value.
// - Power options: the scratch device, whose hardware key is scratch, or ids
//   that the device guard finds name no device.
#include "calls.h"

#include <limits.h>

namespace q5fuzz {
namespace {

constexpr int kMaxPath = MAX_PATH;

std::wstring Repeat(size_t count, wchar_t c) { return std::wstring(count, c); }


std::wstring Without(std::wstring text, const wchar_t* chars)
{
    size_t at;
    while ((at = text.find_first_of(chars)) != std::wstring::npos) text.erase(at, 1);
    return text;
}

}  // namespace

void Call::Bind(q5dmctl::Argument (&args)[q5dmctl::kMaxParams]) const
{
    for (int i = 0; i < q5dmctl::kMaxParams; ++i) {
        args[i].text = text[i].c_str();
        args[i].number = number[i];
    }
}

int ParentSteps(const std::wstring& text)
{
    int steps = 0;
    for (size_t at = text.find(L".."); at != std::wstring::npos; at = text.find(L"..", at + 2)) ++steps;
    return steps;
}

const std::vector<std::wstring>& Generator::HostilePool()
{
    static const std::vector<std::wstring> pool = {
        L"", L"\\", L"\\\\\\", L" ", L"a\\b\\c", L"name.", L"name ", L"C:",
        // Lengths around the path buffers, and far beyond any.
        Repeat(kMaxPath - 1, L'A'), Repeat(kMaxPath, L'B'), Repeat(kMaxPath + 1, L'C'), Repeat(1000, L'D'),
        Repeat(32768, L'E'), Repeat(100000, L'F'), Repeat(1000, L'\x4E2D'),
        // Control characters (no carriage return: the trace file's line ends are "\r\n").
        L"ctl\x01\x02\x07\x08\t\x0b\x0c\x1b\x1f\x7f end", L"line\nbreak",
        // Unpaired and reversed surrogates, a proper pair, non-characters.
        L"\xD800", L"lone\xDC00surrogate", L"pair\xD83D\xDE00ok", L"rev\xDE00\xD83D", L"\xFFFE\xFFFF",
        // Above U+00FF (Chinese), and Latin-1 that must stay as it is.
        L"\x4E2D\x6587\x88DD\x7F6E", L"\x6578\x64DA\x6A5F\\\x9A45\x52D5.inf", L"Caf\xE9 \xFC\xDF\xFF",
        // Wildcards.
        L"*", L"?", L"*.*", L"a*b?c", L"*\\*",
        // Traversal.
        L"..", L".", L"..\\", L"..\\..\\..\\", L"../..", L"...",
        // Device paths and reserved names.
        L"\\\\.\\", L"\\\\?\\", L"\\\\.\\NUL", L"\\\\?\\C:\\", L"\\\\?\\GLOBALROOT", L"CON", L"NUL", L"COM1", L"LPT1",
        L"CONIN$", L"AUX.txt",
        // printf formats.
        L"%n%n%n%n", L"%s%s%s%s%s", L"%x%p%d%c", L"%1 %2 %*", L"%%", L"%999999999s",
    };
    return pool;
}

Generator::Generator(unsigned seed, const Scratch& scratch, const Guards& guards)
    : m_rng(seed), m_scratch(scratch), m_guards(guards)
{
    for (int i = 0; i < q5dmctl::MethodCount(); ++i) {
        const q5dmctl::Method* method = &q5dmctl::Methods()[i];
        bool comPort = wcsstr(method->name, L"ComPort") != nullptr;
        if (comPort && !scratch.comPorts) continue;
        m_methods.push_back(method);
    }
}

bool Generator::Chance(int percent) { return static_cast<int>(m_rng() % 100) < percent; }

std::wstring Generator::Pick(const std::vector<std::wstring>& from) { return from[m_rng() % from.size()]; }

// One pool value, or two joined.
std::wstring Generator::Hostile()
{
    std::wstring value = Pick(HostilePool());
    if (Chance(25)) value += Pick(HostilePool());
    return value;
}

LONG Generator::HostileLong()
{
    static const LONG values[] = {INT_MIN, INT_MAX, 0, -1, 1, 2, 7, 255, 256, 257, 4096, 4097, 0x7FFF, INT_MIN + 1};
    if (Chance(15)) return static_cast<LONG>(m_rng());
    return values[m_rng() % (sizeof(values) / sizeof(values[0]))];
}

// base + hostile tail, with no more ".." steps than the scratch depth
// allows; now and then padded so the whole lies around MAX_PATH.
std::wstring Generator::Below(const std::wstring& base, bool separator)
{
    std::wstring tail;
    do {
        tail = Hostile();
    } while (ParentSteps(tail) > kMaxParentSteps);
    // A folder base lies deep enough that a sibling ("base" + "x") is
    // still scratch; a key base is not, so keys always get the separator.
    std::wstring head = base + (separator || Chance(70) ? L"\\" : L"");
    std::wstring path = head + tail;
    if (Chance(10) && path.size() < static_cast<size_t>(kMaxPath + 2)) {
        size_t target = kMaxPath - 3 + m_rng() % 5;
        if (path.size() < target) path.insert(head.size(), Repeat(target - path.size(), L'p'));
    }
    return path;
}

std::wstring Generator::DeviceId(bool mayBeScratch)
{
    int kind = static_cast<int>(m_rng() % 10);
    if (mayBeScratch && kind < 4) return kScratchDevice;
    if (kind < 6) return L"ROOT\\Q5FUZZ\\" + (Chance(50) ? std::wstring(L"9999") : Hostile());
    std::wstring id = Hostile();
    if (m_guards.namesForeignDevice != nullptr && m_guards.namesForeignDevice(id)) {
        ++m_iReplaced;
        return L"ROOT\\Q5FUZZ\\9999";
    }
    return id;
}

std::wstring Generator::ClassName()
{
    if (Chance(40)) return kScratchClassName;
    std::wstring name = Chance(30) ? std::wstring(L"Q5Fuzz") + Hostile() : Hostile();
    if (m_guards.namesForeignClass != nullptr && m_guards.namesForeignClass(name)) {
        ++m_iReplaced;
        return kScratchClassName;
    }
    return name;
}

// A program token that names nothing, then hostile arguments.
std::wstring Generator::MissingProgram()
{
    std::wstring program;
    if (Chance(15)) {
        static const std::vector<std::wstring> tokens = {L"", L" ", L"*", L"?", L"NUL", L"CON", L"\\\\.\\NUL", L"%s%n"};
        program = Pick(tokens);
    } else {
        std::wstring middle = Without(Hostile(), L" \t\"");
        program = std::wstring(kMissing) + middle + L"-" + kMissing + L".exe";
    }
    std::wstring commandLine = program + (Chance(60) ? L" " + Hostile() : L"");
    if (m_guards.namesProgram != nullptr && m_guards.namesProgram(commandLine)) {
        ++m_iReplaced;
        return std::wstring(kMissing) + L".exe";
    }
    return commandLine;
}

Call Generator::Make(const wchar_t* method) const
{
    Call call;
    call.method = q5dmctl::FindMethod(method);
    return call;
}

Call Generator::Next()
{
    Call call;
    call.method = m_methods[m_rng() % m_methods.size()];
    std::wstring name = call.method->name;
    std::wstring* t = call.text;
    LONG* n = call.number;

    if (name == L"InstallDriver") {
        t[0] = DeviceId(true);
        t[1] = Chance(30) ? m_scratch.modemInf : Chance(50) ? Below(m_scratch.root) : Hostile();
        n[2] = HostileLong();
    } else if (name == L"RemoveDriver") {
        t[0] = DeviceId(false);
    } else if (name == L"KillProcessByName") {
        t[0] = Chance(50) ? std::wstring(kMissing) + Hostile() : Hostile();
    } else if (name == L"PatchUninstall") {
        static const std::vector<std::wstring> whole = {L"", L"\\", L"\\\\\\"};
        std::wstring scratchKey = kScratchKey;
        int kind = static_cast<int>(m_rng() % 10);
        t[0] = kind < 1 ? Pick(whole) : kind < 5 ? scratchKey + L"\\Uninst" : kind < 8 ? Below(scratchKey, true) : Hostile();
        t[1] = Hostile();
    } else if (name == L"BackupDriver") {
        int kind = static_cast<int>(m_rng() % 10);
        t[0] = kind < 5 ? std::wstring(kInstalledInf) : kind < 6 ? std::wstring(kBaitInfName) : Hostile();
        do {
            t[1] = Chance(30) ? L"\\sub" : Hostile();
        } while (ParentSteps(t[1]) > kMaxParentSteps / 2);
        t[2] = Chance(40) ? m_scratch.copyBase + L"\\copy.inf" : Below(m_scratch.copyBase);
        if (Chance(50)) {
            t[3] = m_scratch.backupBase;
        } else {
            do {
                t[3] = Below(m_scratch.backupBase);
            } while (ParentSteps(t[3]) + ParentSteps(t[1]) > kMaxParentSteps);
        }
    } else if (name == L"CleanNotInstalled") {
        t[0] = ClassName();
        n[1] = HostileLong();
    } else if (name == L"CmdLine") {
        // The last element names nothing: no folder, no URL, no program.
        t[0] = Without(Hostile(), L":") + L"\\" + kMissing + Without(Hostile(), L"\\/:") + L".exe";
        if (Chance(30)) t[0] = std::wstring(kMissing) + Without(Hostile(), L"\\/:");
        t[1] = Hostile();
        t[2] = Hostile();
    } else if (name == L"SyncExec") {
        t[0] = MissingProgram();
        t[1] = Hostile();
    } else if (name == L"DeleteRegKey") {
        static const std::vector<std::wstring> roots = {L"HKCU", L"HKLM", L"HKCR"};
        static const std::vector<std::wstring> allRoots = {L"HKCR", L"HKCU", L"HKLM", L"HKU", L"HKCC"};
        static const std::vector<std::wstring> whole = {L"", L"\\", L"\\\\\\"};
        static const std::vector<std::wstring> wrong = {L"hklm", L"HKLM\\", L"HKEY_LOCAL_MACHINE", L"HKCU ", L"HK"};
        int kind = static_cast<int>(m_rng() % 10);
        if (kind < 5) {
            t[0] = Pick(roots);
            std::wstring base = t[0] == L"HKCR" ? L"Q5FuzzScratch" : kScratchKey;
            t[1] = Chance(40) ? base + L"\\del" + std::to_wstring(m_rng() % 4) : Below(base, true);
        } else if (kind < 6) {
            t[0] = Pick(allRoots);
            t[1] = Pick(whole);
        } else {
            t[0] = Chance(50) ? Pick(wrong) : Hostile();
            if (t[0] == L"HKCR" || t[0] == L"HKCU" || t[0] == L"HKLM" || t[0] == L"HKU" || t[0] == L"HKCC") t[0] = L"HKXX";
            t[1] = Hostile();
        }
    } else if (name == L"ReserveComPortsBelow" || name == L"ClaimComPort" || name == L"ReleaseComPort") {
        n[0] = HostileLong();
    } else if (name == L"isDeviceWORable" || name == L"setWOREnabled" || name == L"setSuspendAllowed") {
        t[0] = DeviceId(true);
        n[1] = HostileLong();
    }
    return call;
}

Call Generator::Harmless() const
{
    Call call = Make(L"DeleteRegKey");
    call.text[0] = L"HKXX";
    call.text[1] = L"Software";
    return call;
}

std::vector<Call> Generator::Revealing() const
{
    std::vector<Call> calls;
    // The root of HKLM through an empty key.
    Call patch = Make(L"PatchUninstall");
    patch.text[1] = L"q5fuzz-uninstall.exe";
    calls.push_back(patch);
    // Wildcards in the backup folder: the copies go to the current folder.
    Call star = Make(L"BackupDriver");
    star.text[0] = kInstalledInf;
    star.text[1] = L"\\*";
    star.text[2] = m_scratch.copyBase + L"\\star.inf";
    star.text[3] = m_scratch.backupBase;
    calls.push_back(star);
    Call question = star;
    question.text[1] = L"";
    question.text[3] = m_scratch.backupBase + L"\\a?b";
    calls.push_back(question);
    // An INF outside the INF folder, whose file names climb and hold wildcards.
    Call bait = star;
    bait.text[0] = kBaitInfName;
    bait.text[1] = L"\\bait";
    calls.push_back(bait);
    // Shell starts with file names far beyond MAX_PATH.
    Call longFile = Make(L"CmdLine");
    longFile.text[0] = std::wstring(kMissing) + Repeat(1000, L'x') + L".exe";
    calls.push_back(longFile);
    longFile.text[0] = std::wstring(kMissing) + Repeat(4000, L'x');
    calls.push_back(longFile);
    longFile.text[0] = std::wstring(kMissing) + Repeat(32768, L'x');
    calls.push_back(longFile);
    // Characters above U+00FF in the trace.
    Call chinese = Make(L"KillProcessByName");
    chinese.text[0] = std::wstring(kMissing) + L"\x4E2D\x6587.exe (end)";
    calls.push_back(chinese);
    return calls;
}

}  // namespace q5fuzz
