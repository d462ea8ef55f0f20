// BackupDriver against real INF files in the prefix's INF folder: what is
// copied where and with which content, the exact trace, the results, paths
// at and over MAX_PATH, and the copy fallback with injected shell failures.
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winioctl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "import_hook.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::TraceCapture;

namespace {

std::wstring WindowsDirectory()
{
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring SystemDirectory()
{
    wchar_t path[MAX_PATH];
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring InfFolder() { return WindowsDirectory() + L"\\inf\\"; }
std::wstring CatalogFolder() { return SystemDirectory() + L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\"; }
std::wstring DriverDirectory(const wchar_t* name) { return WindowsDirectory() + L"\\" + name; }

void MakeDirectories(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteText(const std::wstring& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    MakeDirectories(path.substr(0, path.rfind(L'\\')));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path.c_str();
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    SetFileAttributesW(path.c_str(), attributes);
}

// The file's content, or "<missing>".
std::string ReadText(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[4096];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The numbers that the platform's last error gives are not ours to fix.
// "Error %X" has no line end, so the run of hex digits is the longest one
// that leaves a known trace text (or nothing) behind it.
bool StartsTraceText(const std::wstring& trace, size_t at)
{
    for (const wchar_t* next : {L"Error ", L"Saving file ", L"Path ", L"Not a plain", L"DestinationDirs", L"SourceDisksFiles"}) {
        if (trace.compare(at, wcslen(next), next) == 0) return true;
    }
    return at == trace.size();
}

std::wstring MaskNumbers(const std::wstring& trace)
{
    std::wstring masked;
    for (size_t i = 0; i < trace.size();) {
        masked += trace[i++];
        bool afterError = masked.size() >= 6 && masked.compare(masked.size() - 6, 6, L"Error ") == 0;
        bool afterEquals = masked.size() >= 15 && masked.compare(masked.size() - 15, 15, L"GetLastError = ") == 0;
        if (!afterError && !afterEquals) continue;
        size_t end = i;
        while (end < trace.size() && (iswxdigit(trace[end]) || trace[end] == L'-')) ++end;
        while (end > i && afterError && !StartsTraceText(trace, end)) --end;
        if (end == i) continue;
        masked += L'#';
        i = end;
    }
    return masked;
}

// Makes folder a junction to target (an NT path such as \??\NUL): 0, or
// the error of the step that failed.
DWORD MakeJunction(const std::wstring& folder, const std::wstring& target)
{
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return GetLastError();
    HANDLE handle = CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    // The mount-point form of the reparse buffer: the substitute name, then
    // an empty print name, each with its terminator.
    struct {
        DWORD tag;
        WORD dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
        wchar_t names[MAX_PATH];
    } buffer = {};
    const WORD nameBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
    buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
    buffer.substituteLength = nameBytes;
    buffer.printOffset = static_cast<WORD>(nameBytes + sizeof(wchar_t));
    buffer.dataLength = static_cast<WORD>(4 * sizeof(WORD) + nameBytes + 2 * sizeof(wchar_t));
    wmemcpy(buffer.names, target.c_str(), target.size());
    DWORD returned = 0;
    BOOL made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &buffer, 2 * sizeof(DWORD) + buffer.dataLength, nullptr, 0,
                                &returned, nullptr);
    DWORD error = made ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (!made) RemoveDirectoryW(folder.c_str());
    return error;
}

const char kVersionNt[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Modem\r\n";

class BackupDriverTest : public q5test::ServiceObjectTest {
protected:
    void SetUp() override
    {
        m_root = L"C:\\q5bk\\" + Wide(::testing::UnitTest::GetInstance()->current_test_info()->name());
        MakeDirectories(m_root);
        ServiceObjectTest::SetUp();
    }

    static std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

    // Backs up infName into m_root + subFolder; the INF copy goes to
    // m_root\saved.inf. m_trace holds the trace with platform numbers masked.
    HRESULT Backup(const std::wstring& infName, const std::wstring& subFolder, const std::wstring& root = L"")
    {
        TraceCapture capture;
        HRESULT result = m_pService->BackupDriver(infName.c_str(), subFolder.c_str(), SavedInf().c_str(),
                                                  (root.empty() ? m_root : root).c_str());
        m_rawTrace = capture.Text();
        m_trace = MaskNumbers(m_rawTrace);
        return result;
    }

    std::wstring SavedInf() const { return m_root + L"\\saved.inf"; }

    std::wstring m_root;
    std::wstring m_trace;
    std::wstring m_rawTrace;
};

TEST_F(BackupDriverTest, SavesInfCatalogDriverFilesAndSysTwins)
{
    std::string inf = std::string(kVersionNt) +
                      "CatalogFile=q5plain.cat\r\nCatalogFile.NT=q5pkg.cat\r\n\r\n"
                      "[DestinationDirs]\r\nDefaultDestDir=12\r\nQ5A=10,q5drvA\r\nQ5B=10,q5drvB\r\n\r\n"
                      "[SourceDisksFiles]\r\nq5first.sys=1\r\nq5modem.sys=1\r\nq5helper.dll=1\r\nQ5UPPER.SYS=1\r\n";
    WriteText(InfFolder() + L"q5bkfull.inf", inf);
    WriteText(CatalogFolder() + L"q5bkfull.cat", "catalog");
    WriteText(DriverDirectory(L"q5drvA\\q5first.sys"), "first");
    WriteText(DriverDirectory(L"q5drvB\\q5modem.sys"), "modem");
    WriteText(SystemDirectory() + L"\\drivers\\q5helper.dll", "helper");
    WriteText(DriverDirectory(L"q5drvA\\Q5UPPER.SYS"), "upper");

    EXPECT_EQ(Backup(L"q5bkfull.inf", L"\\pkg"), S_OK);

    std::wstring f = m_root + L"\\pkg\\";
    std::wstring sys = SystemDirectory() + L"\\";
    std::wstring drivers = SystemDirectory() + L"\\drivers\\";
    std::wstring a = DriverDirectory(L"q5drvA\\");
    std::wstring b = DriverDirectory(L"q5drvB\\");
    EXPECT_EQ(m_trace, L"backup q5bkfull.inf\n"
                       L"Catalog File is q5pkg.cat\n"
                       L"Saving file " + f + L"q5first.sys\n" + L"Error #Error #" +
                           L"Saving file " + sys + L"q5modem.sys to " + f + L"q5modem.sys\nError #" +
                           L"Saving file " + drivers + L"q5modem.sys to " + f + L"q5modem.sys\nError #" +
                           L"Saving file " + a + L"q5modem.sys to " + f + L"q5modem.sys\nError #" +
                           L"Saving file " + b + L"q5modem.sys to " + f + L"q5modem.sys\n" +
                           L"Saving file " + sys + L"q5helper.dll to " + f + L"q5helper.dll\nError #" +
                           L"Saving file " + drivers + L"q5helper.dll to " + f + L"q5helper.dll\n" +
                           L"Saving file " + sys + L"Q5UPPER.SYS to " + f + L"Q5UPPER.SYS\nError #" +
                           L"Saving file " + drivers + L"Q5UPPER.SYS to " + f + L"Q5UPPER.SYS\nError #" +
                           L"Saving file " + a + L"Q5UPPER.SYS to " + f + L"Q5UPPER.SYS\n");

    EXPECT_EQ(ReadText(SavedInf()), inf);
    EXPECT_EQ(ReadText(f + L"q5pkg.cat"), "catalog");
    EXPECT_FALSE(Exists(f + L"q5plain.cat"));
    EXPECT_EQ(ReadText(f + L"q5first.sys"), "first");
    EXPECT_FALSE(Exists(f + L"q5first.hda")) << "the first line never gets a twin";
    EXPECT_EQ(ReadText(f + L"q5modem.sys"), "modem");
    EXPECT_EQ(ReadText(f + L"q5modem.hda"), "modem");
    EXPECT_EQ(ReadText(f + L"q5helper.dll"), "helper");
    EXPECT_EQ(ReadText(f + L"Q5UPPER.SYS"), "upper");
    EXPECT_FALSE(Exists(f + L"Q5UPPER.hda"));
}

TEST_F(BackupDriverTest, CatalogComesOnlyFromUndecoratedKeysUnderTheInfBaseName)
{
    WriteText(InfFolder() + L"q5bkplain.inf", std::string(kVersionNt) + "CatalogFile=q5only.cat\r\n");
    WriteText(CatalogFolder() + L"q5bkplain.cat", "plain catalog");
    EXPECT_EQ(Backup(L"q5bkplain.inf", L"\\plain"), S_OK);
    EXPECT_EQ(m_trace, L"backup q5bkplain.inf\nCatalog File is q5only.cat\n"
                       L"DestinationDirs section not found GetLastError = #\n");
    EXPECT_EQ(ReadText(m_root + L"\\plain\\q5only.cat"), "plain catalog");

    WriteText(InfFolder() + L"q5bkdecorated.inf", std::string(kVersionNt) + "CatalogFile.NTamd64=q5deco.cat\r\n");
    WriteText(CatalogFolder() + L"q5bkdecorated.cat", "decorated catalog");
    EXPECT_EQ(Backup(L"q5bkdecorated.inf", L"\\decorated"), S_OK);
    EXPECT_EQ(m_trace, L"backup q5bkdecorated.inf\nDestinationDirs section not found GetLastError = #\n");
    EXPECT_FALSE(Exists(m_root + L"\\decorated\\q5deco.cat"));

    // The base name ends at the first dot, or is the whole name.
    WriteText(InfFolder() + L"q5bknodot", std::string(kVersionNt) + "CatalogFile=q5nd.cat\r\n");
    WriteText(CatalogFolder() + L"q5bknodot.cat", "no dot");
    EXPECT_EQ(Backup(L"q5bknodot", L"\\nodot"), S_OK);
    EXPECT_EQ(ReadText(m_root + L"\\nodot\\q5nd.cat"), "no dot");

    WriteText(InfFolder() + L"q5bk.two.inf", std::string(kVersionNt) + "CatalogFile=q5two.cat\r\n");
    WriteText(CatalogFolder() + L"q5bk.cat", "two dots");
    EXPECT_EQ(Backup(L"q5bk.two.inf", L"\\two"), S_OK);
    EXPECT_EQ(ReadText(m_root + L"\\two\\q5two.cat"), "two dots");

    // A catalog missing from the catalog folder is one failed attempt.
    WriteText(InfFolder() + L"q5bknocat.inf", std::string(kVersionNt) + "CatalogFile=q5gone.cat\r\n");
    EXPECT_EQ(Backup(L"q5bknocat.inf", L"\\nocat"), S_OK);
    EXPECT_EQ(m_trace, L"backup q5bknocat.inf\nCatalog File is q5gone.cat\nError #"
                       L"DestinationDirs section not found GetLastError = #\n");
    EXPECT_FALSE(Exists(m_root + L"\\nocat\\q5gone.cat"));
}

TEST_F(BackupDriverTest, MissingSectionsEndTheBackupWithTheirResults)
{
    WriteText(SystemDirectory() + L"\\q5insys.dll", "in system");
    std::string noDirs = std::string(kVersionNt) + "\r\n[SourceDisksFiles]\r\nq5insys.dll=1\r\nq5other.dll=1\r\n";
    WriteText(InfFolder() + L"q5bknodirs.inf", noDirs);
    EXPECT_EQ(Backup(L"q5bknodirs.inf", L"\\nodirs"), S_OK);
    EXPECT_EQ(m_trace, L"backup q5bknodirs.inf\nDestinationDirs section not found GetLastError = #\n");
    EXPECT_EQ(ReadText(SavedInf()), noDirs);
    EXPECT_FALSE(Exists(m_root + L"\\nodirs\\q5insys.dll"));

    std::string noFiles = std::string(kVersionNt) + "\r\n[DestinationDirs]\r\nDefaultDestDir=11\r\n"
                                                    "[SourceDisksFiles.amd64]\r\nq5insys.dll=1\r\n";
    WriteText(InfFolder() + L"q5bknofiles.inf", noFiles);
    EXPECT_EQ(Backup(L"q5bknofiles.inf", L"\\nofiles"), E_FAIL);
    EXPECT_EQ(m_trace, L"backup q5bknofiles.inf\nSourceDisksFiles section not found GetLastError = #\n");
    EXPECT_EQ(ReadText(SavedInf()), noFiles);
    EXPECT_FALSE(Exists(m_root + L"\\nofiles\\q5insys.dll"));
}

TEST_F(BackupDriverTest, FailsWithoutTraceWhenTheInfCannotBeCopied)
{
    EXPECT_EQ(Backup(L"q5bkabsent.inf", L"\\x"), E_FAIL);
    EXPECT_EQ(m_rawTrace, L"backup q5bkabsent.inf\n");

    WriteText(InfFolder() + L"q5bkpresent.inf", std::string(kVersionNt) + "CatalogFile=q5c.cat\r\n");
    TraceCapture capture;
    EXPECT_EQ(m_pService->BackupDriver(L"q5bkpresent.inf", L"\\x", L"C:\\q5bk\\no\\such\\folder\\a.inf", m_root.c_str()),
              E_FAIL);
    EXPECT_EQ(capture.Text(), L"backup q5bkpresent.inf\n");
    EXPECT_FALSE(Exists(m_root + L"\\x"));
}

TEST_F(BackupDriverTest, KeepsOnlyTheInfCopyWhenTheInfCannotBeParsed)
{
    WriteText(InfFolder() + L"q5bkjunk.inf", "this is not an INF file\r\n[SourceDisksFiles]\r\nq5insys.dll=1\r\n");
    WriteText(SystemDirectory() + L"\\q5insys.dll", "in system");
    EXPECT_EQ(Backup(L"q5bkjunk.inf", L"\\junk"), S_OK);
    EXPECT_EQ(m_rawTrace, L"backup q5bkjunk.inf\n");
    EXPECT_TRUE(Exists(SavedInf()));
    EXPECT_FALSE(Exists(m_root + L"\\junk"));
}

TEST_F(BackupDriverTest, SearchesTheSystemDirectoryFirstAndTracesOneErrorPerDirectory)
{
    WriteText(InfFolder() + L"q5bksearch.inf", std::string(kVersionNt) +
                                                   "[DestinationDirs]\r\nQ5A=10,q5drvS\r\n"
                                                   "[SourceDisksFiles]\r\nq5both1.dll=1\r\nq5both2.dll=1\r\n"
                                                   "q5none1.sys=1\r\n");
    WriteText(SystemDirectory() + L"\\q5both1.dll", "system 1");
    WriteText(SystemDirectory() + L"\\q5both2.dll", "system 2");
    WriteText(DriverDirectory(L"q5drvS\\q5both1.dll"), "driver 1");
    WriteText(DriverDirectory(L"q5drvS\\q5both2.dll"), "driver 2");

    EXPECT_EQ(Backup(L"q5bksearch.inf", L"\\s"), S_OK);
    std::wstring f = m_root + L"\\s\\";
    std::wstring sys = SystemDirectory() + L"\\";
    std::wstring drv = DriverDirectory(L"q5drvS\\");
    EXPECT_EQ(m_trace, L"backup q5bksearch.inf\n"
                       L"Saving file " + f + L"q5both1.dll\n" +
                           L"Saving file " + sys + L"q5both2.dll to " + f + L"q5both2.dll\n" +
                           L"Saving file " + sys + L"q5none1.sys to " + f + L"q5none1.sys\nError #" +
                           L"Saving file " + drv + L"q5none1.sys to " + f + L"q5none1.sys\nError #");
    EXPECT_EQ(ReadText(f + L"q5both1.dll"), "system 1");
    EXPECT_EQ(ReadText(f + L"q5both2.dll"), "system 2");
    EXPECT_FALSE(Exists(f + L"q5none1.sys"));
    EXPECT_FALSE(Exists(f + L"q5none1.hda"));

    // Found nowhere as the first line: its one trace, then one error per directory.
    WriteText(InfFolder() + L"q5bknone.inf", std::string(kVersionNt) +
                                                 "[DestinationDirs]\r\nQ5A=10,q5drvS\r\nQ5B=10,q5drvS\r\n"
                                                 "[SourceDisksFiles]\r\nq5none2.sys=1\r\n");
    EXPECT_EQ(Backup(L"q5bknone.inf", L"\\n"), S_OK);
    EXPECT_EQ(m_trace, L"backup q5bknone.inf\nSaving file " + m_root + L"\\n\\q5none2.sys\nError #Error #Error #");
}

TEST_F(BackupDriverTest, JoinsRootAndSubFolderWithoutSeparator)
{
    WriteText(InfFolder() + L"q5bkjoin.inf", std::string(kVersionNt) +
                                                 "[DestinationDirs]\r\nQ5A=10,q5drvJ\r\n"
                                                 "[SourceDisksFiles]\r\nq5j1.dll=1\r\nq5j2.sys=1\r\n");
    WriteText(DriverDirectory(L"q5drvJ\\q5j1.dll"), "j1");
    WriteText(DriverDirectory(L"q5drvJ\\q5j2.sys"), "j2");

    EXPECT_EQ(Backup(L"q5bkjoin.inf", L"\\Modem"), S_OK);
    EXPECT_EQ(ReadText(m_root + L"\\Modem\\q5j1.dll"), "j1");
    EXPECT_EQ(ReadText(m_root + L"\\Modem\\q5j2.hda"), "j2");

    EXPECT_EQ(Backup(L"q5bkjoin.inf", L"Modem"), S_OK);
    EXPECT_EQ(ReadText(m_root + L"Modem\\q5j1.dll"), "j1");
    EXPECT_EQ(ReadText(m_root + L"Modem\\q5j2.sys"), "j2");
    EXPECT_EQ(ReadText(m_root + L"Modem\\q5j2.hda"), "j2");

    // The twin is cut at the first ".sys" of the whole path, folders included.
    EXPECT_EQ(Backup(L"q5bkjoin.inf", L".system"), S_OK);
    EXPECT_EQ(ReadText(m_root + L".system\\q5j2.sys"), "j2");
    EXPECT_EQ(ReadText(m_root + L".hda"), "j2");
}

// Fills a path of length total from prefix with 'd's and a last folder.
std::wstring PathOfLength(const std::wstring& prefix, size_t total)
{
    return prefix + std::wstring(total - prefix.size(), L'd');
}

TEST_F(BackupDriverTest, SavesPathsOf259CharactersAndRefusesLongerOnes)
{
    // F is 200 characters; F + "\" + D reaches 259 with a 58-character D.
    std::wstring root = PathOfLength(m_root + L"\\", 200);
    std::string fits = "q5fit" + std::string(49, 'f') + ".sys";    // 58
    std::string over = "q5over" + std::string(49, 'o') + ".sys";   // 59
    std::wstring longDir(240, L'L');                                // C:\windows\ + 240 = 251
    std::wstring catalog(70, L'c');
    std::string inf = std::string(kVersionNt) + "CatalogFile=" + std::string(catalog.begin(), catalog.end()) +
                      ".cat\r\n[DestinationDirs]\r\nQ5Long=10," + std::string(longDir.begin(), longDir.end()) +
                      "\r\nQ5A=10,q5drvL\r\n[SourceDisksFiles]\r\nq5lfirst.dll=1\r\n" + fits + "=1\r\n" + over +
                      "=1\r\n";
    WriteText(InfFolder() + L"q5bklimit.inf", inf);
    WriteText(CatalogFolder() + L"q5bklimit.cat", "catalog");
    WriteText(DriverDirectory(L"q5drvL\\q5lfirst.dll"), "first");
    std::wstring wideFits = Wide(fits.c_str());
    std::wstring wideOver = Wide(over.c_str());
    WriteText(DriverDirectory(L"q5drvL\\") + wideFits, "fits");
    WriteText(DriverDirectory(L"q5drvL\\") + wideOver, "over");
    MakeDirectories(DriverDirectory(longDir.c_str()));

    EXPECT_EQ(Backup(L"q5bklimit.inf", L"", root), S_OK);
    std::wstring sys = SystemDirectory() + L"\\";
    std::wstring longPath = DriverDirectory(longDir.c_str()) + L"\\";
    std::wstring a = DriverDirectory(L"q5drvL\\");
    std::wstring f = root + L"\\";
    ASSERT_EQ((f + wideFits).size(), 259u);
    EXPECT_EQ(m_trace, L"backup q5bklimit.inf\nCatalog File is " + catalog + L".cat\n" +
                           L"Path too long: " + f + catalog + L".cat\n" +
                           L"Saving file " + f + L"q5lfirst.dll\nError #" +
                           L"Path too long: " + longPath + L"q5lfirst.dll\n" +
                           L"Saving file " + sys + wideFits + L" to " + f + wideFits + L"\nError #" +
                           L"Path too long: " + longPath + wideFits + L"\n" +
                           L"Saving file " + a + wideFits + L" to " + f + wideFits + L"\n" +
                           L"Path too long: " + f + wideOver + L"\n");
    EXPECT_EQ(ReadText(f + L"q5lfirst.dll"), "first");
    EXPECT_EQ(ReadText(f + wideFits), "fits");
    EXPECT_EQ(ReadText(f + wideFits.substr(0, wideFits.size() - 4) + L".hda"), "fits");
    EXPECT_FALSE(Exists(f + wideOver));
}

TEST_F(BackupDriverTest, RefusesAnInfPathOver259Characters)
{
    std::wstring atLimit = std::wstring(259 - InfFolder().size() - 4, L'i') + L".inf";
    ASSERT_EQ((InfFolder() + atLimit).size(), 259u);
    WriteText(InfFolder() + atLimit, std::string(kVersionNt));
    EXPECT_EQ(Backup(atLimit, L"\\a"), S_OK);
    EXPECT_EQ(ReadText(SavedInf()), kVersionNt);

    std::wstring over = L"j" + atLimit;
    EXPECT_EQ(Backup(over, L"\\b"), E_FAIL);
    EXPECT_EQ(m_rawTrace, L"backup " + over + L"\nPath too long: " + InfFolder() + over + L"\n");
}

TEST_F(BackupDriverTest, RepeatsThePreviousDirectoryForAnUnresolvableLine)
{
    // Targets longer than the 259 characters asked for can't be resolved.
    std::string tooLong(300, 'T');
    WriteText(InfFolder() + L"q5bkdirs.inf", std::string(kVersionNt) + "[DestinationDirs]\r\nQ5Bad1=10," + tooLong +
                                                 "\r\nQ5A=10,q5drvR\r\nQ5Bad2=10," + tooLong +
                                                 "\r\nQ5Again=10,q5drvR\r\nQ5B=10,q5drvR2\r\n"
                                                 "[SourceDisksFiles]\r\nq5r1.dll=1\r\nq5r2.dll=1\r\n");
    EXPECT_EQ(Backup(L"q5bkdirs.inf", L"\\r"), S_OK);
    std::wstring f = m_root + L"\\r\\";
    std::wstring target = f + L"q5r2.dll";
    std::wstring sys = SystemDirectory() + L"\\";
    std::wstring r = DriverDirectory(L"q5drvR\\");
    std::wstring r2 = DriverDirectory(L"q5drvR2\\");
    EXPECT_EQ(m_trace, L"backup q5bkdirs.inf\nSaving file " + f + L"q5r1.dll\nError #Error #Error #Error #Error #" +
                           L"Saving file " + sys + L"q5r2.dll to " + target + L"\nError #" +
                           L"Saving file " + r + L"q5r2.dll to " + target + L"\nError #" +
                           L"Saving file " + r + L"q5r2.dll to " + target + L"\nError #" +
                           L"Saving file " + r + L"q5r2.dll to " + target + L"\nError #" +
                           L"Saving file " + r2 + L"q5r2.dll to " + target + L"\nError #");
}

TEST_F(BackupDriverTest, SkipsAFileNameLongerThanTheValueBuffer)
{
    std::string tooLong = "q5" + std::string(290, 'n') + ".dll";
    WriteText(InfFolder() + L"q5bkname.inf", std::string(kVersionNt) + "[DestinationDirs]\r\nQ5A=10,q5drvN\r\n"
                                                 "[SourceDisksFiles]\r\n" + tooLong + "=1\r\nq5n2.sys=1\r\n");
    WriteText(DriverDirectory(L"q5drvN\\q5n2.sys"), "n2");
    EXPECT_EQ(Backup(L"q5bkname.inf", L"\\n"), S_OK);
    std::wstring t = m_root + L"\\n\\q5n2.sys";
    EXPECT_EQ(m_trace, L"backup q5bkname.inf\nCann't read file name, skipped\n" + std::wstring(L"Saving file ") +
                           SystemDirectory() + L"\\q5n2.sys to " + t + L"\nError #Saving file " +
                           DriverDirectory(L"q5drvN\\q5n2.sys") + L" to " + t + L"\n");
    EXPECT_EQ(ReadText(t), "n2");
    EXPECT_EQ(ReadText(m_root + L"\\n\\q5n2.hda"), "n2");
}

TEST_F(BackupDriverTest, RefusesAnInfNameThatIsNoPlainFileName)
{
    // An INF outside the INF folder, reachable through "..".
    WriteText(WindowsDirectory() + L"\\q5bkout.inf", std::string(kVersionNt) + "CatalogFile=q5out.cat\r\n");
    for (const wchar_t* infName : {L"..\\q5bkout.inf", L"..\\..\\windows\\q5bkout.inf", L"q5bkou?.inf", L"q5bk*.inf",
                                   L"C:\\windows\\q5bkout.inf", L""}) {
        EXPECT_EQ(Backup(infName, L"\\p"), E_FAIL) << infName;
        EXPECT_EQ(m_rawTrace, L"backup " + std::wstring(infName) + L"\nNot a plain file name: " + infName + L"\n");
        EXPECT_FALSE(Exists(SavedInf())) << infName;
    }
}

// Entries of a folder other than "." and "..".
std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

TEST_F(BackupDriverTest, RefusesWildcardsInEveryPathItCopiesTo)
{
    WriteText(InfFolder() + L"q5bkwild.inf", std::string(kVersionNt) +
                                                 "CatalogFile=q5w.cat\r\n[DestinationDirs]\r\nQ5A=10,q5drvW\r\n"
                                                 "[SourceDisksFiles]\r\nq5w1.sys=1\r\nq5w2.sys=1\r\n");
    WriteText(CatalogFolder() + L"q5bkwild.cat", "catalog");
    WriteText(DriverDirectory(L"q5drvW\\q5w1.sys"), "w1");
    WriteText(DriverDirectory(L"q5drvW\\q5w2.sys"), "w2");
    // Where the shell puts copies whose target holds a wildcard; the folder
    // outlives the test's prefix.
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    const wchar_t* const strays[] = {L"q5w.cat", L"q5w1.sys", L"q5w2.sys", L"q5w2.hda"};
    for (const wchar_t* name : strays) DeleteFileW((std::wstring(current) + L"\\" + name).c_str());

    const std::pair<std::wstring, std::wstring> folders[] = {
        {L"", L"\\w*"}, {L"", L"\\w?"}, {m_root + L"\\r*", L"\\sub"}, {m_root + L"\\r?", L""}};
    for (const auto& [root, sub] : folders) {
        EXPECT_EQ(Backup(L"q5bkwild.inf", sub, root), S_OK);
        std::wstring f = (root.empty() ? m_root : root) + sub + L"\\";
        EXPECT_EQ(m_trace, L"backup q5bkwild.inf\nCatalog File is q5w.cat\nPath with wildcards: " + f +
                               L"q5w.cat\nPath with wildcards: " + f + L"q5w1.sys\nPath with wildcards: " + f +
                               L"q5w2.sys\n");
        EXPECT_EQ(FolderEntries(m_root), std::vector<std::wstring>{L"saved.inf"}) << f.c_str();
        for (const wchar_t* name : strays)
            EXPECT_FALSE(Exists(std::wstring(current) + L"\\" + name)) << name;
    }

    TraceCapture capture;
    std::wstring copyPath = m_root + L"\\saved*.inf";
    EXPECT_EQ(m_pService->BackupDriver(L"q5bkwild.inf", L"\\x", copyPath.c_str(), m_root.c_str()), E_FAIL);
    EXPECT_EQ(capture.Text(), L"backup q5bkwild.inf\nPath with wildcards: " + copyPath + L"\n");
    EXPECT_EQ(FolderEntries(m_root), std::vector<std::wstring>{L"saved.inf"});
}

TEST_F(BackupDriverTest, SkipsNamesFromTheInfThatAreNoPlainFileNames)
{
    WriteText(InfFolder() + L"q5bknames.inf", std::string(kVersionNt) +
                                                  "CatalogFile=..\\q5evil.cat\r\n"
                                                  "[DestinationDirs]\r\nQ5A=10,q5drvP\r\nQ5W=10,q5drv*\r\n"
                                                  "[SourceDisksFiles]\r\n..\\q5up.sys=1\r\nq5ok.sys=1\r\n"
                                                  "q5*.sys=1\r\nq5?.dll=1\r\nq5none.dll=1\r\n");
    // Where the shell would find them, and where the copies would land.
    WriteText(CatalogFolder() + L"q5bknames.cat", "catalog");
    WriteText(SystemDirectory() + L"\\q5up.sys", "up");
    WriteText(DriverDirectory(L"q5drvP\\q5ok.sys"), "ok");

    EXPECT_EQ(Backup(L"q5bknames.inf", L"\\n"), S_OK);
    std::wstring f = m_root + L"\\n\\";
    std::wstring target = f + L"q5ok.sys";
    std::wstring none = f + L"q5none.dll";
    EXPECT_EQ(m_trace, L"backup q5bknames.inf\nCatalog File is ..\\q5evil.cat\n"
                       L"Not a plain file name, skipped: ..\\q5evil.cat\n"
                       L"Not a plain file name, skipped: ..\\q5up.sys\n"
                       L"Saving file " + SystemDirectory() + L"\\q5ok.sys to " + target + L"\nError #" +
                           L"Saving file " + DriverDirectory(L"q5drvP\\q5ok.sys") + L" to " + target + L"\n" +
                           L"Not a plain file name, skipped: q5*.sys\n"
                           L"Not a plain file name, skipped: q5?.dll\n"
                           L"Saving file " + SystemDirectory() + L"\\q5none.dll to " + none + L"\nError #" +
                           L"Saving file " + DriverDirectory(L"q5drvP\\q5none.dll") + L" to " + none + L"\nError #" +
                           L"Path with wildcards: " + DriverDirectory(L"q5drv*\\q5none.dll") + L"\n");
    EXPECT_EQ(ReadText(target), "ok");
    EXPECT_EQ(ReadText(f + L"q5ok.hda"), "ok");
    std::vector<std::wstring> saved = FolderEntries(m_root);
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, (std::vector<std::wstring>{L"n", L"saved.inf"}));
    EXPECT_EQ(FolderEntries(m_root + L"\\n").size(), 2u);
}

DWORD g_shellCalls = 0;

int WINAPI FailingShellCopy(LPSHFILEOPSTRUCTW)
{
    ++g_shellCalls;
    SetLastError(0x4D2);
    return 0x402;
}

TEST_F(BackupDriverTest, FallsBackToPlainCopyYetCountsTheAttemptAsFailed)
{
    WriteText(InfFolder() + L"q5bkfall.inf", std::string(kVersionNt) +
                                                 "[DestinationDirs]\r\nQ5A=10,q5drvFA\r\nQ5B=10,q5drvFB\r\n"
                                                 "[SourceDisksFiles]\r\nq5fb1.dll=1\r\nq5fb2.sys=1\r\n");
    WriteText(DriverDirectory(L"q5drvFA\\q5fb2.sys"), "from A", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    WriteText(DriverDirectory(L"q5drvFB\\q5fb2.sys"), "from B", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    MakeDirectories(m_root + L"\\fb");
    g_shellCalls = 0;
    {
        ScopedImportHook hook("shell32.dll", "SHFileOperationW", reinterpret_cast<void*>(&FailingShellCopy));
        ASSERT_TRUE(hook.Installed());
        EXPECT_EQ(Backup(L"q5bkfall.inf", L"\\fb"), S_OK);
    }
    std::wstring f = m_root + L"\\fb\\";
    std::wstring t = f + L"q5fb2.sys";
    std::wstring sys = SystemDirectory() + L"\\";
    std::wstring a = DriverDirectory(L"q5drvFA\\");
    std::wstring b = DriverDirectory(L"q5drvFB\\");
    EXPECT_EQ(m_rawTrace, L"backup q5bkfall.inf\nSaving file " + f + L"q5fb1.dll\nError 4D2Error 4D2Error 4D2" +
                              L"Saving file " + sys + L"q5fb2.sys to " + t + L"\nError 4D2" +
                              L"Saving file " + a + L"q5fb2.sys to " + t + L"\nError 4D2" +
                              L"Saving file " + b + L"q5fb2.sys to " + t + L"\nError 4D2");
    EXPECT_EQ(g_shellCalls, 7u) << "six attempts and the twin, which has no fallback";
    // The copy from B could overwrite the one from A only because the
    // read-only bit was cleared after it.
    EXPECT_EQ(ReadText(t), "from B");
    DWORD attributes = GetFileAttributesW(t.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
    EXPECT_FALSE(Exists(f + L"q5fb2.hda"));
}

int g_openInfs = 0;
HINF(WINAPI* g_realOpenInf)(PCWSTR, PCWSTR, DWORD, PUINT) = nullptr;
void(WINAPI* g_realCloseInf)(HINF) = nullptr;

HINF WINAPI CountingOpenInf(PCWSTR name, PCWSTR infClass, DWORD style, PUINT errorLine)
{
    HINF inf = g_realOpenInf(name, infClass, style, errorLine);
    if (inf != INVALID_HANDLE_VALUE) ++g_openInfs;
    return inf;
}

void WINAPI CountingCloseInf(HINF inf)
{
    --g_openInfs;
    g_realCloseInf(inf);
}

UINT WINAPI NoDirectory(LPWSTR, UINT) { return 0; }

TEST_F(BackupDriverTest, ClosesTheInfOnEveryExitAndCopesWithoutPlatformDirectories)
{
    WriteText(InfFolder() + L"q5bkc1.inf", std::string(kVersionNt) + "CatalogFile=q5c1.cat\r\n");
    WriteText(InfFolder() + L"q5bkc2.inf", std::string(kVersionNt) + "[DestinationDirs]\r\nQ5A=10,q5drvC\r\n");
    WriteText(InfFolder() + L"q5bkc3.inf", std::string(kVersionNt) +
                                               "CatalogFile=q5c3.cat\r\n[DestinationDirs]\r\nQ5A=10,q5drvC\r\n"
                                               "[SourceDisksFiles]\r\nq5c3.dll=1\r\n");
    WriteText(DriverDirectory(L"q5drvC\\q5c3.dll"), "c3");
    WriteText(CatalogFolder() + L"q5bkc3.cat", "catalog");
    {
        ScopedImportHook open("setupapi.dll", "SetupOpenInfFileW", reinterpret_cast<void*>(&CountingOpenInf));
        ScopedImportHook close("setupapi.dll", "SetupCloseInfFile", reinterpret_cast<void*>(&CountingCloseInf));
        ASSERT_TRUE(open.Installed() && close.Installed());
        g_realOpenInf = open.Original<decltype(g_realOpenInf)>();
        g_realCloseInf = close.Original<decltype(g_realCloseInf)>();
        g_openInfs = 0;
        EXPECT_EQ(Backup(L"q5bkc1.inf", L"\\c1"), S_OK);
        EXPECT_EQ(Backup(L"q5bkc2.inf", L"\\c2"), E_FAIL);
        EXPECT_EQ(Backup(L"q5bkc3.inf", L"\\c3"), S_OK);
        EXPECT_EQ(g_openInfs, 0);
    }

    {
        ScopedImportHook hook("kernel32.dll", "GetSystemDirectoryW", reinterpret_cast<void*>(&NoDirectory));
        ASSERT_TRUE(hook.Installed());
        EXPECT_EQ(Backup(L"q5bkc3.inf", L"\\nosys"), S_OK);
    }
    EXPECT_EQ(m_trace, L"backup q5bkc3.inf\nCatalog File is q5c3.cat\nSaving file " + m_root + L"\\nosys\\q5c3.dll\n");
    EXPECT_EQ(ReadText(m_root + L"\\nosys\\q5c3.dll"), "c3");
    EXPECT_FALSE(Exists(m_root + L"\\nosys\\q5c3.cat"));

    {
        ScopedImportHook hook("kernel32.dll", "GetWindowsDirectoryW", reinterpret_cast<void*>(&NoDirectory));
        ASSERT_TRUE(hook.Installed());
        EXPECT_EQ(Backup(L"q5bkc3.inf", L"\\nowin"), E_FAIL);
    }
    EXPECT_EQ(m_rawTrace, L"backup q5bkc3.inf\n");
}

}  // namespace

TEST_F(BackupDriverTest, SearchesEveryDestinationDirectoryOfALongList)
{
    // More directories than the list first has room for: it grows.
    std::string inf = std::string(kVersionNt) + "\r\n[DestinationDirs]\r\n";
    for (int i = 0; i < 20; ++i) inf += "D" + std::to_string(i) + "=10,q5many" + std::to_string(i) + "\r\n";
    inf += "\r\n[SourceDisksFiles]\r\nq5lead.dll=1\r\nq5deep.dll=1\r\n";
    WriteText(InfFolder() + L"q5bkmany.inf", inf);
    WriteText(DriverDirectory(L"q5many19\\q5deep.dll"), "deep");

    EXPECT_EQ(Backup(L"q5bkmany.inf", L"\\many"), S_OK);
    EXPECT_EQ(ReadText(m_root + L"\\many\\q5deep.dll"), "deep");
    // The system directory and the 20 targets were all tried in turn.
    size_t attempts = 0;
    for (size_t at = m_trace.find(L"q5deep.dll to "); at != std::wstring::npos; at = m_trace.find(L"q5deep.dll to ", at + 1))
        ++attempts;
    EXPECT_EQ(attempts, 21u);
}

LPVOID WINAPI NoHeapMemory(HANDLE, DWORD, SIZE_T) { return nullptr; }

TEST_F(BackupDriverTest, ShortOfMemoryForTheDirectoryListSavesWhatNeedsNoList)
{
    std::string inf = std::string(kVersionNt) + "CatalogFile=q5mem.cat\r\n\r\n"
                      "[DestinationDirs]\r\nDefaultDestDir=12\r\n\r\n[SourceDisksFiles]\r\nq5mem.sys=1\r\n";
    WriteText(InfFolder() + L"q5bkmem.inf", inf);
    WriteText(CatalogFolder() + L"q5bkmem.cat", "catalog");
    WriteText(SystemDirectory() + L"\\drivers\\q5mem.sys", "driver");
    HRESULT result;
    {
        ScopedImportHook noMemory("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&NoHeapMemory));
        result = Backup(L"q5bkmem.inf", L"\\mem");
    }
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(ReadText(SavedInf()), inf);
    EXPECT_EQ(ReadText(m_root + L"\\mem\\q5mem.cat"), "catalog");
    EXPECT_FALSE(Exists(m_root + L"\\mem\\q5mem.sys")) << "no directory could be kept to search";
}

namespace {
std::vector<FILEOP_FLAGS> g_shellFlags;

int WINAPI RecordingShellCopy(LPSHFILEOPSTRUCTW operation)
{
    g_shellFlags.push_back(operation->fFlags);
    return FailingShellCopy(operation);
}
}  // namespace

TEST_F(BackupDriverTest, ShellCopiesNeverShowAnErrorBox)
{
    WriteText(InfFolder() + L"q5bkui.inf", std::string(kVersionNt) + "CatalogFile=q5ui.cat\r\n[DestinationDirs]\r\n"
                                               "Q5A=10,q5drvU\r\n[SourceDisksFiles]\r\nq5u1.dll=1\r\nq5u2.sys=1\r\n");
    WriteText(DriverDirectory(L"q5drvU\\q5u2.sys"), "u2");
    g_shellFlags.clear();
    {
        ScopedImportHook hook("shell32.dll", "SHFileOperationW", reinterpret_cast<void*>(&RecordingShellCopy));
        EXPECT_EQ(Backup(L"q5bkui.inf", L"\\u"), S_OK);
    }
    // The catalog, two directories for each file, and the twin.
    EXPECT_EQ(g_shellFlags, std::vector<FILEOP_FLAGS>(6, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI));
}

TEST_F(BackupDriverTest, ANameThatIsAFolderCountsAsNotFoundThere)
{
    WriteText(InfFolder() + L"q5bkdir.inf", std::string(kVersionNt) + "[DestinationDirs]\r\nQ5A=10,q5drvD\r\n"
                                                "[SourceDisksFiles]\r\nq5lead.sys=1\r\ndrivers=1\r\n");
    WriteText(SystemDirectory() + L"\\q5lead.sys\\inner.txt", "in a folder");
    WriteText(DriverDirectory(L"q5drvD\\q5lead.sys"), "lead");
    EXPECT_EQ(Backup(L"q5bkdir.inf", L"\\d"), S_OK);
    std::wstring f = m_root + L"\\d\\", sys = SystemDirectory() + L"\\", drv = DriverDirectory(L"q5drvD\\");
    EXPECT_EQ(m_trace, L"backup q5bkdir.inf\nSaving file " + f + L"q5lead.sys\nSource is a folder, skipped: " + sys +
                           L"q5lead.sys\nSaving file " + sys + L"drivers to " + f + L"drivers\n" +
                           L"Source is a folder, skipped: " + sys + L"drivers\nSaving file " + drv + L"drivers to " +
                           f + L"drivers\nError #");
    EXPECT_EQ(FolderEntries(m_root + L"\\d"), std::vector<std::wstring>{L"q5lead.sys"});
}

TEST_F(BackupDriverTest, RefusesTargetsThatAreNoFullPaths)
{
    WriteText(InfFolder() + L"q5bkrel.inf", std::string(kVersionNt) + "CatalogFile=q5rel.cat\r\n[DestinationDirs]\r\n"
                                                "Q5A=10,q5drvRel\r\n[SourceDisksFiles]\r\nq5rel.dll=1\r\n");
    WriteText(DriverDirectory(L"q5drvRel\\q5rel.dll"), "rel");
    // Where relative paths would land.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(m_root.c_str());
    const wchar_t* const relative = L"Relative path: ";
    const wchar_t* const device = L"Device path: ";
    // The shell takes the '?' of the long-path prefix for a wildcard.
    const wchar_t* const wildcard = L"Path with wildcards: ";
    const std::pair<const wchar_t*, const wchar_t*> targets[] = {
        {L"q5rel", relative}, {L"", relative}, {L"\\q5rel", relative}, {L"/q5rel", relative},
        {L"C:q5rel", relative}, {L"1:\\q5rel", relative}, {L"\\\\", relative},
        // The device namespace, in each spelling that Windows reads as it.
        {L"\\\\.\\pipe\\q5rel", device}, {L"\\\\.\\COM1", device}, {L"\\\\.\\PhysicalDrive0", device},
        {L"\\\\.\\C:\\q5rel", device}, {L"//./pipe/q5rel", device}, {L"/\\.\\COM1", device}, {L"\\/./COM1", device},
        {L"\\\\.", device}, {L"\\\\?\\GLOBALROOT\\Device\\Null", wildcard}, {L"\\\\?/C:/q5rel", wildcard},
        {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", wildcard},
        // Pipes and mailslots through the redirector, whatever the server name.
        {L"\\\\localhost\\pipe\\q5rel", device}, {L"\\\\127.0.0.1\\pipe\\q5rel", device},
        {L"//localhost/pipe/q5rel", device}, {L"\\\\Q5HOST\\PIPE", device}, {L"\\\\q5host\\MailSlot\\q5rel", device},
        // Spelt as files, yet what opens is a device (Wine's drive Z: is the
        // Unix root): the target itself, or the nearest folder above it
        // that exists.
        {L"Z:\\dev\\null", device}, {L"Z:/dev/null/q5rel", device},
        // A device name as a part: Windows before 11 opens the device for it.
        {L"C:\\q5rel\\COM1", device}, {L"C:\\q5rel\\nul.txt", device}, {L"C:/q5rel/LPT1 .inf", device},
        {L"C:\\q5rel\\con:", device}, {L"\\\\q5host\\share\\AUX", device}};
    for (const auto& [path, refusal] : targets) {
        // As the backup folder (root and sub-folder joined) each target is refused, as the INF copy the call.
        TraceCapture capture;
        std::wstring f = std::wstring(path) + L"\\";
        EXPECT_EQ(m_pService->BackupDriver(L"q5bkrel.inf", L"", SavedInf().c_str(), path), S_OK) << path;
        EXPECT_EQ(m_pService->BackupDriver(L"q5bkrel.inf", path, SavedInf().c_str(), L""), S_OK) << path;
        EXPECT_EQ(m_pService->BackupDriver(L"q5bkrel.inf", L"\\x", path, m_root.c_str()), E_FAIL) << path;
        std::wstring once = L"backup q5bkrel.inf\nCatalog File is q5rel.cat\n" + (refusal + f) + L"q5rel.cat\n" +
                            refusal + f + L"q5rel.dll\n";
        EXPECT_EQ(capture.Text(), once + once + L"backup q5bkrel.inf\n" + refusal + path + L"\n");
    }
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(FolderEntries(m_root), std::vector<std::wstring>{L"saved.inf"});
    for (const wchar_t* name : {L"C:\\q5rel", L"C:\\q5rel.cat", L"C:\\q5rel.dll"}) EXPECT_FALSE(Exists(name)) << name;
}

// Every copy follows a junction, and one that leads to a device is spelt as
// any folder: what it opens as gives it away.
TEST_F(BackupDriverTest, RefusesAJunctionToADevice)
{
    const std::wstring junction = m_root + L"\\tonul";
    if (DWORD error = MakeJunction(junction, L"\\??\\NUL"))
        GTEST_SKIP() << "this platform makes no junction (error " << error << ")";
    WriteText(InfFolder() + L"q5bkjun.inf", std::string(kVersionNt) + "CatalogFile=q5jun.cat\r\n[DestinationDirs]\r\n"
                                                "Q5A=10,q5drvJun\r\n[SourceDisksFiles]\r\nq5jun.dll=1\r\n");
    WriteText(DriverDirectory(L"q5drvJun\\q5jun.dll"), "jun");
    TraceCapture capture;
    EXPECT_EQ(m_pService->BackupDriver(L"q5bkjun.inf", L"\\tonul", SavedInf().c_str(), m_root.c_str()), S_OK);
    EXPECT_EQ(m_pService->BackupDriver(L"q5bkjun.inf", L"", junction.c_str(), m_root.c_str()), E_FAIL);
    const std::wstring f = L"Device path: " + junction + L"\\";
    EXPECT_EQ(capture.Text(), L"backup q5bkjun.inf\nCatalog File is q5jun.cat\n" + f + L"q5jun.cat\n" + f +
                                  L"q5jun.dll\nbackup q5bkjun.inf\nDevice path: " + junction + L"\n");
}
