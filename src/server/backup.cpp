#include "service.h"

#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>
#include <wchar.h>

#include "handles.h"
#include "heap.h"
#include "infname.h"
#include "ondemand.h"
#include "pathbuild.h"
#include "trace.h"

namespace {

// INF strings (catalog name, section keys, file names) are requested with
// room for 259 characters.
constexpr DWORD kValueChars = 259;
const wchar_t kCatalogFolder[] = L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";

// The search directories in order, owned copies in one heap block. A
// directory that finds no memory is left out of the search; nothing here
// may end the server.
class SearchDirectories {
public:
    SearchDirectories() = default;
    ~SearchDirectories() { q5::HeapFree(m_pEntries); }
    SearchDirectories(const SearchDirectories&) = delete;
    SearchDirectories& operator=(const SearchDirectories&) = delete;

    void Add(const wchar_t* directory)
    {
        if (m_count == m_capacity && !Grow()) return;
        wcsncpy(m_pEntries[m_count], directory, MAX_PATH - 1);
        m_pEntries[m_count][MAX_PATH - 1] = L'\0';
        ++m_count;
    }
    size_t Count() const { return m_count; }
    const wchar_t* At(size_t index) const { return m_pEntries[index]; }

private:
    using Entry = wchar_t[MAX_PATH];

    bool Grow()
    {
        size_t capacity = m_capacity == 0 ? 8 : m_capacity * 2;
        void* grown = q5::HeapReallocate(m_pEntries, capacity * sizeof(Entry));
        if (grown == nullptr) return false;
        m_pEntries = static_cast<Entry*>(grown);
        m_capacity = capacity;
        return true;
    }

    Entry* m_pEntries = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
};

// Where the copies go: backupRoot and subFolder as the client gave them,
// joined without a separator.
struct BackupFolder {
    const wchar_t* root;
    const wchar_t* sub;
};

// The shell's copy reads wildcards in its source as a pattern of files to
// take, and in its target as its own business: it then copies into the
// server's current folder. No path handed to a copy may hold one.
bool IsFreeOfWildcards(const wchar_t* path)
{
    if (wcspbrk(path, L"*?") == nullptr) return true;
    LogTrace(L"Path with wildcards: %s\n", path);
    return false;
}

// Builds a path whole and free of wildcards, or traces what it would have
// been and refuses it.
bool BuildPathOrTrace(wchar_t (&path)[MAX_PATH], std::initializer_list<const wchar_t*> parts)
{
    if (q5::BuildPath(path, parts)) return IsFreeOfWildcards(path);
    wchar_t text[1024];
    q5::JoinForTrace(text, parts);
    LogTrace(L"Path too long: %s\n", text);
    return false;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveRoot(const wchar_t* path)
{
    bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    return letter && path[1] == L':' && IsSeparator(path[2]);
}

// The server name of a UNC path. "." there is the device namespace
// (\\.\pipe\x, \\.\COM1, \\.\PhysicalDrive0), which Windows also reads from
// //./ or /\.\ and holds no file to copy onto. ("\\?\" never gets this far:
// the wildcard rule refuses its "?" first.)
bool IsServerName(const wchar_t* name)
{
    if (name[0] == L'\0' || IsSeparator(name[0])) return false;
    return !(name[0] == L'.' && (name[1] == L'\0' || IsSeparator(name[1])));
}

// The redirector hands the shares "pipe" and "mailslot" of any server name,
// this machine's own (localhost, 127.0.0.1, its name) among them, to the
// pipe and mailslot devices.
bool IsDeviceShare(const wchar_t* server)
{
    const wchar_t* share = server + wcscspn(server, L"\\/");
    if (*share == L'\0') return false;
    ++share;
    size_t length = wcscspn(share, L"\\/");
    return (length == 4 && _wcsnicmp(share, L"pipe", 4) == 0) || (length == 8 && _wcsnicmp(share, L"mailslot", 8) == 0);
}

enum class PathRoot { kFull, kRelative, kDevice };

// A path that is not full (drive or UNC) resolves against the server's
// current folder, which is the system folder for a server that COM starts.
PathRoot RootOf(const wchar_t* path)
{
    if (IsDriveRoot(path)) return PathRoot::kFull;
    if (!IsSeparator(path[0]) || !IsSeparator(path[1])) return PathRoot::kRelative;
    if (path[2] == L'\0' || IsSeparator(path[2])) return PathRoot::kRelative;
    return IsServerName(path + 2) && !IsDeviceShare(path + 2) ? PathRoot::kFull : PathRoot::kDevice;
}

// Windows before 11 opens the device for a device name as the last part
// (C:\x\COM1, C:\x\nul.txt, also with a colon: con:), and no folder of such a
// name can be made, so a path holding one in any part is no file's.
bool HasDeviceNamePart(const wchar_t* path)
{
    for (const wchar_t* part = path;; ++part) {
        size_t length = wcscspn(part, L"\\/");
        size_t name = 0;
        while (name < length && part[name] != L':') ++name;
        if (q5::IsDeviceName(part, name)) return true;
        part += length;
        if (*part == L'\0') return false;
    }
}

// Opened for no access at all (a folder as well as a file): false when it
// does not open, with the reason in GetLastError.
bool OpenFileType(const wchar_t* path, DWORD& type)
{
    q5::UniqueFileHandle file(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return false;
    type = GetFileType(file.Get());
    return true;
}

// How many characters of a full path its root takes: "C:\" or
// "\\server\share".
size_t RootLength(const wchar_t* path)
{
    if (IsDriveRoot(path)) return 3;
    size_t server = 2 + wcscspn(path + 2, L"\\/");
    if (path[server] == L'\0') return server;
    return server + 1 + wcscspn(path + server + 1, L"\\/");
}

// A spelling cannot show a junction or a link that leads to a device, nor
// every name of a pipe: what opening the path yields can. The target is
// judged, or where it does not exist yet the nearest folder above it that
// does, since the shell's copy makes the folders in between. A path of
// which nothing opens holds nothing to write to either: its copy fails on
// its own.
bool IsOnDisk(const wchar_t* path)
{
    wchar_t folder[MAX_PATH];
    wcsncpy(folder, path, MAX_PATH - 1);
    folder[MAX_PATH - 1] = L'\0';
    const size_t root = RootLength(folder);
    for (;;) {
        DWORD type = FILE_TYPE_UNKNOWN;
        if (OpenFileType(folder, type)) return type == FILE_TYPE_DISK;
        DWORD error = GetLastError();
        if (error == ERROR_PIPE_BUSY) return false;
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return true;
        size_t cut = wcslen(folder);
        while (cut > root && !IsSeparator(folder[cut - 1])) --cut;
        while (cut > root && IsSeparator(folder[cut - 1])) --cut;
        if (cut <= root) {
            if (folder[root] == L'\0') return true;
            cut = root;
        }
        folder[cut] = L'\0';
    }
}

bool IsFullPathOrTrace(const wchar_t* path)
{
    PathRoot root = RootOf(path);
    if (root == PathRoot::kFull && !HasDeviceNamePart(path) && IsOnDisk(path)) return true;
    LogTrace(root == PathRoot::kRelative ? L"Relative path: %s\n" : L"Device path: %s\n", path);
    return false;
}

// File names from the INF become the last part of a path in the backup
// folder and of each search directory, so they must stay that: one name.
bool IsPlainNameOrTrace(const wchar_t* name)
{
    if (q5::IsPlainFileName(name)) return true;
    LogTrace(L"Not a plain file name, skipped: %s\n", name);
    return false;
}

bool BuildTarget(wchar_t (&target)[MAX_PATH], const BackupFolder& folder, const wchar_t* fileName)
{
    return BuildPathOrTrace(target, {folder.root, folder.sub, L"\\", fileName}) && IsFullPathOrTrace(target);
}

// The directory as the platform reports it, or false when it can't be read
// whole into the 259 characters that are asked for.
bool ReadSystemDirectory(wchar_t (&directory)[MAX_PATH])
{
    UINT length = GetSystemDirectoryW(directory, kValueChars);
    return length != 0 && length < kValueChars;
}

// One silent shell copy that overwrites without asking. True on success.
bool ShellCopy(const wchar_t* source, const wchar_t* target)
{
    // The shell takes lists of paths closed by an extra terminator.
    wchar_t from[MAX_PATH + 1] = {};
    wchar_t to[MAX_PATH + 1] = {};
    wcsncpy(from, source, MAX_PATH - 1);
    wcsncpy(to, target, MAX_PATH - 1);

    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_COPY;
    operation.pFrom = from;
    operation.pTo = to;
    // No one watches the server's desktop: an error box would hold its only
    // thread, and failed copies are routine (the system folder comes first).
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return q5::LoadSystemLibrary(q5::SystemLibrary::Shell32) && SHFileOperationW(&operation) == 0;
}

// Given a folder, the shell copies the whole tree. A name from the INF that
// names a folder in a search directory is treated as not found there.
bool IsFolderOrTrace(const wchar_t* source)
{
    DWORD attributes = GetFileAttributesW(source);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    LogTrace(L"Source is a folder, skipped: %s\n", source);
    return true;
}

// The copy procedure shared by the catalog and the driver files. The plain
// copy behind a failed shell copy leaves a usable file, yet the attempt
// still counts as failed so that the next search directory is tried.
bool CopyFileAttempt(const wchar_t* source, const wchar_t* target)
{
    if (IsFolderOrTrace(source)) return false;
    if (ShellCopy(source, target)) return true;
    LogTrace(L"Error %X", GetLastError());
    CopyFileW(source, target, FALSE);
    DWORD attributes = GetFileAttributesW(target);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(target, attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    }
    return false;
}

bool ReadCatalogName(HINF inf, wchar_t (&name)[MAX_PATH])
{
    DWORD size = 0;
    if (SetupGetLineTextW(nullptr, inf, L"Version", L"CatalogFile.NT", name, kValueChars, &size)) return true;
    return SetupGetLineTextW(nullptr, inf, L"Version", L"CatalogFile", name, kValueChars, &size) != FALSE;
}

// Windows stores an installed package's catalog under the INF's own base
// name; it is saved back under the name the INF gives it.
void SaveCatalog(HINF inf, const wchar_t* infName, const BackupFolder& folder)
{
    wchar_t catalogName[MAX_PATH];
    if (!ReadCatalogName(inf, catalogName)) return;
    LogTrace(L"Catalog File is %s\n", catalogName);
    if (!IsPlainNameOrTrace(catalogName)) return;

    wchar_t system[MAX_PATH];
    if (!ReadSystemDirectory(system)) return;
    // The base name is the INF name up to its first ".": a part of the
    // caller's string, so it is bounded like every other part.
    wchar_t baseName[MAX_PATH];
    size_t baseLength = wcscspn(infName, L".");
    if (baseLength >= MAX_PATH) baseLength = MAX_PATH - 1;
    wmemcpy(baseName, infName, baseLength);
    baseName[baseLength] = L'\0';
    wchar_t source[MAX_PATH];
    wchar_t target[MAX_PATH];
    if (!BuildPathOrTrace(source, {system, kCatalogFolder, baseName, L".cat"})) return;
    if (!BuildTarget(target, folder, catalogName)) return;
    CopyFileAttempt(source, target);
}

// The system directory, then the target of every [DestinationDirs] line in
// order. A line whose target can't be resolved repeats the one before it;
// before any target is known such a line adds nothing. False when the
// section is missing.
bool CollectSearchDirectories(HINF inf, SearchDirectories& directories)
{
    wchar_t system[MAX_PATH];
    if (ReadSystemDirectory(system)) directories.Add(system);

    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, L"DestinationDirs", nullptr, &context)) {
        LogTrace(L"DestinationDirs section not found GetLastError = %d\n", GetLastError());
        return false;
    }
    wchar_t lastTarget[MAX_PATH] = {};
    do {
        wchar_t key[MAX_PATH];
        wchar_t target[MAX_PATH];
        DWORD size = 0;
        if (SetupGetStringFieldW(&context, 0, key, kValueChars, &size) &&
            SetupGetTargetPathW(inf, nullptr, key, target, kValueChars, &size)) {
            wcscpy(lastTarget, target);
        }
        if (lastTarget[0] != L'\0') directories.Add(lastTarget);
    } while (SetupFindNextLine(&context, &context));
    return true;
}

bool ReadFileName(const INFCONTEXT& line, wchar_t (&fileName)[MAX_PATH])
{
    DWORD size = 0;
    INFCONTEXT context = line;
    if (!SetupGetStringFieldW(&context, 0, fileName, kValueChars, &size)) {
        LogTrace(L"Cann't read file name, skipped\n");
        return false;
    }
    return IsPlainNameOrTrace(fileName);
}

// Tries the search directories in order until a shell copy succeeds.
// traceEach names every attempt (all lines but the first).
void CopyFromSearchDirectories(const SearchDirectories& directories, const wchar_t* fileName, const wchar_t* target,
                               bool traceEach)
{
    for (size_t i = 0; i < directories.Count(); ++i) {
        wchar_t source[MAX_PATH];
        if (!BuildPathOrTrace(source, {directories.At(i), L"\\", fileName})) continue;
        if (traceEach) LogTrace(L"Saving file %s to %s\n", source, target);
        if (CopyFileAttempt(source, target)) return;
    }
}

// Beside a saved driver file the package also keeps a copy whose ".sys"
// (first occurrence in the whole path, exact case) becomes ".hda".
void MakeHdaTwin(const wchar_t* target)
{
    const wchar_t* sys = wcsstr(target, L".sys");
    if (sys == nullptr) return;
    wchar_t twin[MAX_PATH];
    size_t kept = static_cast<size_t>(sys - target);
    wmemcpy(twin, target, kept);
    wcscpy(twin + kept, L".hda");
    ShellCopy(target, twin);
}

void SaveFirstFile(const INFCONTEXT& line, const SearchDirectories& directories, const BackupFolder& folder)
{
    wchar_t fileName[MAX_PATH];
    wchar_t target[MAX_PATH];
    if (!ReadFileName(line, fileName) || !BuildTarget(target, folder, fileName)) return;
    LogTrace(L"Saving file %s\n", target);
    CopyFromSearchDirectories(directories, fileName, target, false);
}

void SaveLaterFile(const INFCONTEXT& line, const SearchDirectories& directories, const BackupFolder& folder)
{
    wchar_t fileName[MAX_PATH];
    wchar_t target[MAX_PATH];
    if (!ReadFileName(line, fileName) || !BuildTarget(target, folder, fileName)) return;
    CopyFromSearchDirectories(directories, fileName, target, true);
    MakeHdaTwin(target);
}

// Everything behind the INF copy. The INF stays open and the list alive
// until this returns.
HRESULT SavePackage(HINF inf, const wchar_t* infName, const BackupFolder& folder)
{
    SaveCatalog(inf, infName, folder);

    SearchDirectories directories;
    if (!CollectSearchDirectories(inf, directories)) return S_OK;

    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, L"SourceDisksFiles", nullptr, &line)) {
        LogTrace(L"SourceDisksFiles section not found GetLastError = %d\n", GetLastError());
        return E_FAIL;
    }
    SaveFirstFile(line, directories, folder);
    while (SetupFindNextLine(&line, &line)) SaveLaterFile(line, directories, folder);
    return S_OK;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQ5DMServiceClass::BackupDriver(const wchar_t* infName, const wchar_t* subFolder,
                                                          const wchar_t* infCopyPath, const wchar_t* backupRoot)
{
    LogTrace(L"backup %s\n", infName);

    // The INF is one file of the INF folder, named by its plain name; any
    // other name would have the server read an INF from anywhere.
    if (!q5::IsPlainFileName(infName)) {
        LogTrace(L"Not a plain file name: %s\n", infName);
        return E_FAIL;
    }

    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, kValueChars);
    if (length == 0 || length >= kValueChars) return E_FAIL;

    wchar_t infFile[MAX_PATH];
    if (!BuildPathOrTrace(infFile, {windows, L"\\inf\\", infName})) return E_FAIL;
    if (!IsFreeOfWildcards(infCopyPath) || !IsFullPathOrTrace(infCopyPath)) return E_FAIL;
    // Without the Setup API nothing but the INF could be saved: nothing is.
    if (!q5::LoadSystemLibrary(q5::SystemLibrary::SetupApi)) return E_FAIL;
    if (!CopyFileW(infFile, infCopyPath, FALSE)) return E_FAIL;

    q5::UniqueInf inf(SetupOpenInfFileW(infFile, nullptr, INF_STYLE_WIN4, nullptr));
    if (!inf) return S_OK;
    return SavePackage(inf.Get(), infName, BackupFolder{backupRoot, subFolder});
}
