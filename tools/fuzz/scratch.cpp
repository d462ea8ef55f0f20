#include "scratch.h"

#include <setupapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <map>

namespace q5fuzz {
namespace {

const GUID kModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kClassRoot[] = L"System\\CurrentControlSet\\Control\\Class\\";
const wchar_t kCatRoot[] = L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

class Key {
public:
    Key(HKEY root, const std::wstring& path)
    {
        if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    explicit Key(HKEY key) : m_key(key == INVALID_HANDLE_VALUE ? nullptr : key) {}
    ~Key()
    {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    bool Valid() const { return m_key != nullptr; }
    bool SetString(const wchar_t* name, const std::wstring& value) const
    {
        return RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    bool SetDword(const wchar_t* name, DWORD value) const
    {
        return RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
    }

private:
    HKEY m_key = nullptr;
};

class DeviceSet {
public:
    explicit DeviceSet(const GUID* cls) : m_set(SetupDiCreateDeviceInfoList(cls, nullptr)) {}
    ~DeviceSet()
    {
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO Get() const { return m_set; }

private:
    HDEVINFO m_set;
};

std::wstring WindowsDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    return n > 0 && n < MAX_PATH ? dir : L"";
}

std::wstring SystemDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return n > 0 && n < MAX_PATH ? dir : L"";
}

// C:\ of the Windows folder.
std::wstring DriveRoot() { return WindowsDir().substr(0, 3); }

bool MakeFolders(const std::wstring& path)
{
    int rc = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS;
}

bool WriteFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);
    return out;
}

std::string InfHead(const char* catalog, const char* packageFolder)
{
    return std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Q5FuzzScratchClass\r\nClassGUID=") +
           Narrow(kScratchClassGuid) + "\r\nProvider=Q5Fuzz\r\nCatalogFile=" + catalog +
           "\r\nDriverVer=01/01/2026,1.0.0.0\r\n\r\n[DestinationDirs]\r\nDefaultDestDir=10,..\\" + packageFolder +
           "\r\n\r\n[SourceDisksNames]\r\n1=\"Q5 fuzz disk\"\r\n\r\n[SourceDisksFiles]\r\n";
}

// The installed package: its files lie in C:\q5fuzz-pkg (found through
// [DestinationDirs], not in the system folder, which is the server's
// current folder), its catalog where Windows stores catalogs.
bool PlantPackage(std::string& why)
{
    std::wstring pkg = DriveRoot() + L"q5fuzz-pkg";
    std::wstring cat = SystemDir() + kCatRoot;
    if (!MakeFolders(pkg) || !MakeFolders(cat)) {
        why = "cannot make the package folders";
        return false;
    }
    std::string inf = InfHead("q5fuzz.cat", "q5fuzz-pkg") + "q5fuzzdrv.sys=1\r\nq5fuzzdrv2.sys=1\r\nq5fuzzhelp.dll=1\r\n";
    bool ok = WriteFile(WindowsDir() + L"\\inf\\" + kInstalledInf, inf) && WriteFile(cat + L"\\q5fuzz.cat", "catalog\r\n") &&
              WriteFile(pkg + L"\\q5fuzzdrv.sys", "driver one\r\n") && WriteFile(pkg + L"\\q5fuzzdrv2.sys", "driver two\r\n") &&
              WriteFile(pkg + L"\\q5fuzzhelp.dll", "helper\r\n");
    if (!ok) why = "cannot plant the installed package";
    return ok;
}

// An INF outside the INF folder whose file names climb out of any backup
// folder or hold wildcards, its files, and a victim that a sweep with a
// climbing InfPath would delete.
bool PlantBait(std::string& why)
{
    std::wstring bait = DriveRoot() + L"q5fuzz-bait";
    if (!MakeFolders(bait)) {
        why = "cannot make the bait folder";
        return false;
    }
    std::string inf = InfHead("bait.cat", "q5fuzz-bait") + "baitonly1.sys=1\r\nbaitonly*.sys=1\r\nbaitonly?.sys=1\r\n";
    std::string up;
    for (int steps = 1; steps <= 16; ++steps) {
        up += "..\\";
        if (steps >= 3) inf += up + "q5fuzz-escape.sys=1\r\n";
    }
    bool ok = WriteFile(bait + L"\\bait.inf", inf) && WriteFile(bait + L"\\baitonly1.sys", "bait one\r\n") &&
              WriteFile(bait + L"\\baitonly2.sys", "bait two\r\n") && WriteFile(bait + L"\\victim.inf", "victim\r\n") &&
              WriteFile(bait + L"\\victim.pnf", "victim\r\n") && WriteFile(DriveRoot() + L"q5fuzz-escape.sys", "escape\r\n");
    if (!ok) why = "cannot plant the bait files";
    return ok;
}

bool PlantModemInf(const Scratch& scratch, std::string& why)
{
    std::string inf =
        "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Modem\r\nClassGUID={4D36E96D-E325-11CE-BFC1-08002BE10318}\r\n"
        "Provider=%Q5%\r\nDriverVer=01/01/2026,1.0.0.0\r\n\r\n[Manufacturer]\r\n%Q5%=Q5Models\r\n\r\n[Q5Models]\r\n"
        "%Modem%=Q5Modem_Install," +
        Narrow(kScratchHardwareId) +
        "\r\n\r\n[Q5Modem_Install]\r\nAddReg=Q5Modem_AddReg\r\n\r\n[Q5Modem_AddReg]\r\nHKR,,Q5Installed,0x10001,1\r\n\r\n"
        "[Strings]\r\nQ5=\"Q5 fuzz\"\r\nModem=\"Q5 Fuzz Voice Modem\"\r\n";
    if (!WriteFile(scratch.modemInf, inf)) {
        why = "cannot write the scratch modem INF";
        return false;
    }
    return true;
}

bool CreateScratchDevice(std::string& why)
{
    DeviceSet set(&kModemClass);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    std::wstring ids = kScratchHardwareId;
    ids.push_back(L'\0');
    bool ok = set.Get() != INVALID_HANDLE_VALUE &&
              SetupDiCreateDeviceInfoW(set.Get(), kScratchDevice, &kModemClass, nullptr, nullptr, 0, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set.Get(), &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.c_str()),
                                                static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t))) &&
              SetupDiRegisterDeviceInfo(set.Get(), &device, 0, nullptr, nullptr, nullptr);
    if (ok) {
        Key hardware(SetupDiCreateDevRegKeyW(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr));
        ok = hardware.Valid() && hardware.SetDword(L"DeviceWORable", 1);
    }
    if (!ok) why = "cannot create the scratch device";
    return ok;
}

bool SeedDeletable(HKEY root, const std::wstring& base, bool uninstall)
{
    SHDeleteKeyW(root, base.c_str());
    for (int i = 0; i < 4; ++i) {
        Key inner(root, base + L"\\del" + std::to_wstring(i) + L"\\inner");
        if (!inner.Valid() || !inner.SetString(L"Note", L"scratch")) return false;
    }
    if (uninstall) {
        Key entry(root, base + L"\\Uninst");
        if (!entry.Valid() || !entry.SetString(L"UninstallString", L"C:\\q5fuzz\\old-uninstall.exe")) return false;
    }
    return true;
}

// The scratch class: keys that the sweep of each variant deletes, one that
// it keeps, one without a description, and one whose InfPath climbs out of
// the INF folder to the bait's victim.
bool SeedClass()
{
    std::wstring classKey = std::wstring(kClassRoot) + kScratchClassGuid;
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, classKey.c_str());
    Key cls(HKEY_LOCAL_MACHINE, classKey);
    if (!cls.Valid() || !cls.SetString(L"Class", kScratchClassName)) return false;
    struct Driver {
        const wchar_t* desc;
        const wchar_t* infPath;
    };
    const Driver drivers[] = {
        {L"Brisvale RK72 fuzz", L"q5fuzz-gone1.inf"},
        {L"Brisvale RK72 USB fuzz", L"q5fuzz-gone2.inf"},
        {L"Brisvale Tolvarin fuzz", L"..\\..\\q5fuzz-bait\\victim.inf"},
        {L"Another maker's modem", L"q5fuzz-gone3.inf"},
        {nullptr, L"q5fuzz-gone4.inf"},
    };
    for (size_t i = 0; i < sizeof(drivers) / sizeof(drivers[0]); ++i) {
        wchar_t name[8];
        _snwprintf(name, 8, L"%04u", static_cast<unsigned>(i));
        Key sub(HKEY_LOCAL_MACHINE, classKey + L"\\" + name);
        if (!sub.Valid() || !sub.SetString(L"InfPath", drivers[i].infPath)) return false;
        if (drivers[i].desc != nullptr && !sub.SetString(L"DriverDesc", drivers[i].desc)) return false;
    }
    return true;
}

bool NamesForeignDevice(const std::wstring& id)
{
    static std::map<std::wstring, bool> s_known;
    auto found = s_known.find(id);
    if (found != s_known.end()) return found->second;
    DeviceSet set(nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool foreign = set.Get() == INVALID_HANDLE_VALUE ||
                   (SetupDiOpenDeviceInfoW(set.Get(), id.c_str(), nullptr, 0, &device) && _wcsicmp(id.c_str(), kScratchDevice) != 0);
    s_known[id] = foreign;
    return foreign;
}

bool NamesForeignClass(const std::wstring& name)
{
    GUID guids[4];
    DWORD count = 0;
    if (!SetupDiClassGuidsFromNameW(name.c_str(), guids, 4, &count)) return count > 0;
    wchar_t text[40];
    for (DWORD i = 0; i < count && i < 4; ++i) {
        StringFromGUID2(guids[i], text, 40);
        if (_wcsicmp(text, kScratchClassGuid) != 0) return true;
    }
    return false;
}

bool IsProgramFile(const std::wstring& name)
{
    if (name.empty()) return false;
    wchar_t found[MAX_PATH];
    DWORD n = SearchPathW(nullptr, name.c_str(), L".exe", MAX_PATH, found, nullptr);
    if (n == 0) return false;
    if (n >= MAX_PATH) return true;  // something is there; do not run it
    DWORD attributes = GetFileAttributesW(found);
    return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// CreateProcess tries the text up to each blank in turn when the program
// is not quoted; every one of those must name nothing.
bool NamesProgram(const std::wstring& commandLine)
{
    size_t start = commandLine.find_first_not_of(L" \t");
    if (start == std::wstring::npos) return false;
    if (commandLine[start] == L'"') {
        size_t close = commandLine.find(L'"', start + 1);
        return IsProgramFile(commandLine.substr(start + 1, close == std::wstring::npos ? std::wstring::npos : close - start - 1));
    }
    for (size_t at = start;; ++at) {
        at = commandLine.find_first_of(L" \t", at);
        if (IsProgramFile(commandLine.substr(start, at == std::wstring::npos ? std::wstring::npos : at - start))) return true;
        if (at == std::wstring::npos) return false;
    }
}

}  // namespace

Scratch ScratchAt(const std::wstring& root)
{
    Scratch scratch;
    scratch.root = root;
    // Deeper than kMaxParentSteps, so that climbing steps stay in scratch.
    const std::wstring deep = L"\\1\\2\\3\\4\\5\\6\\7";
    scratch.backupBase = root + L"\\b" + deep;
    scratch.copyBase = root + L"\\c" + deep;
    scratch.modemInf = root + L"\\modem.inf";
    return scratch;
}

bool SetUpPlaces(const Scratch& scratch, std::string& why)
{
    if (!MakeFolders(scratch.backupBase) || !MakeFolders(scratch.copyBase)) {
        why = "cannot make the scratch folders";
        return false;
    }
    return PlantModemInf(scratch, why) && PlantPackage(why) && PlantBait(why) && CreateScratchDevice(why) && Reseed(why);
}

bool Reseed(std::string& why)
{
    bool ok = SeedDeletable(HKEY_CURRENT_USER, kScratchKey, false) && SeedDeletable(HKEY_LOCAL_MACHINE, kScratchKey, true) &&
              SeedDeletable(HKEY_CLASSES_ROOT, L"Q5FuzzScratch", false) && SeedClass();
    if (!ok) why = "cannot seed the scratch registry keys";
    return ok;
}

bool ComPortStandInInstalled()
{
    std::wstring path = SystemDir() + L"\\msports.dll";
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, 0);
    if (module == nullptr) return false;
    bool standIn = GetProcAddress(module, "Q5MsportsStandIn") != nullptr;
    FreeLibrary(module);
    return standIn;
}

Guards RealThingGuards()
{
    Guards guards;
    guards.namesForeignDevice = &NamesForeignDevice;
    guards.namesForeignClass = &NamesForeignClass;
    guards.namesProgram = &NamesProgram;
    return guards;
}

}  // namespace q5fuzz
