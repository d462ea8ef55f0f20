// The server programs as files: resources of both builds and the PE facts of
// the x86 build, which cannot run on these machines.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "test_paths.h"

namespace {

std::wstring BinPath(const wchar_t* file) { return std::wstring(Q5_OUT_BIN_W) + L"\\" + file; }

struct Build {
    const wchar_t* file;
    const wchar_t* originalFilename;
    const wchar_t* elevationName;
    WORD machine;
};

const Build kBuilds[] = {
    {L"q5dmsrv64.exe", L"q5dmsrv64.exe", L"Driver Installation x64", IMAGE_FILE_MACHINE_AMD64},
    {L"q5dmsrv32.exe", L"q5dmsrv32.exe", L"Driver Installation x32", IMAGE_FILE_MACHINE_I386},
};

std::vector<BYTE> VersionBlock(const std::wstring& path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) block.clear();
    return block;
}

std::wstring VersionString(std::vector<BYTE>& block, const std::wstring& key)
{
    std::wstring query = L"\\StringFileInfo\\040904b0\\" + key;
    wchar_t* value = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars)) return L"<missing>";
    return value;
}

class ModuleAsData {
public:
    explicit ModuleAsData(const std::wstring& path) : m_module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~ModuleAsData()
    {
        if (m_module != nullptr) FreeLibrary(m_module);
    }
    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR list)
{
    reinterpret_cast<std::set<ULONG_PTR>*>(list)->insert(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list)
{
    reinterpret_cast<std::set<ULONG_PTR>*>(list)->insert(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::set<ULONG_PTR>*>(list)->insert(language);
    return TRUE;
}

// The 16 counted strings of string-table block 1 (strings 0 to 15).
std::vector<std::wstring> StringBlock(HMODULE module, WORD language)
{
    std::vector<std::wstring> strings;
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(1), language);
    if (found == nullptr) return strings;
    const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
    const WORD* end = p + SizeofResource(module, found) / sizeof(WORD);
    for (int i = 0; i < 16 && p < end; ++i) {
        WORD length = *p++;
        strings.emplace_back(reinterpret_cast<const wchar_t*>(p), length);
        p += length;
    }
    return strings;
}

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) bytes.clear();
    CloseHandle(file);
    return bytes;
}

// Just enough of a PE reader for either bitness.
class PeFile {
public:
    explicit PeFile(std::vector<BYTE> bytes) : m_bytes(std::move(bytes))
    {
        if (m_bytes.size() < sizeof(IMAGE_DOS_HEADER)) return;
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m_bytes.data());
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > m_bytes.size()) return;
        m_nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(m_bytes.data() + dos->e_lfanew);
    }
    bool Valid() const { return m_nt != nullptr && m_nt->Signature == IMAGE_NT_SIGNATURE; }
    WORD Machine() const { return m_nt->FileHeader.Machine; }
    bool Is64() const { return m_nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC; }
    WORD Subsystem() const
    {
        return Is64() ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(m_nt)->OptionalHeader.Subsystem
                      : m_nt->OptionalHeader.Subsystem;
    }

    std::vector<std::string> ImportedDlls() const
    {
        std::vector<std::string> names;
        const IMAGE_DATA_DIRECTORY& dir =
            Is64() ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(m_nt)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                   : m_nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (DWORD rva = dir.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            auto* desc = At<IMAGE_IMPORT_DESCRIPTOR>(rva);
            if (desc == nullptr || desc->Name == 0) break;
            const char* name = At<char>(desc->Name);
            names.push_back(name == nullptr ? "<bad rva>" : name);
        }
        return names;
    }

private:
    template <typename T>
    const T* At(DWORD rva) const
    {
        auto* section = IMAGE_FIRST_SECTION(m_nt);
        for (WORD i = 0; i < m_nt->FileHeader.NumberOfSections; ++i, ++section) {
            DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size) {
                size_t offset = rva - section->VirtualAddress + section->PointerToRawData;
                return offset + sizeof(T) <= m_bytes.size() ? reinterpret_cast<const T*>(m_bytes.data() + offset) : nullptr;
            }
        }
        return nullptr;
    }

    std::vector<BYTE> m_bytes;
    const IMAGE_NT_HEADERS32* m_nt = nullptr;
};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class ServerFile : public ::testing::TestWithParam<Build> {};

}  // namespace

TEST_P(ServerFile, CarriesTheVersionResource)
{
    std::vector<BYTE> block = VersionBlock(BinPath(GetParam().file));
    ASSERT_FALSE(block.empty());

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010009u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010009u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00020001u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x17u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size));
    ASSERT_EQ(size, 4u);  // one language block only
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    EXPECT_EQ(VersionString(block, L"FileDescription"), L"DM COM Server");
    EXPECT_EQ(VersionString(block, L"FileVersion"), L"1,9,2,1");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"1.9");
    EXPECT_EQ(VersionString(block, L"ProductName"), L"Brisvale Tolvarin Modem");
    EXPECT_EQ(VersionString(block, L"CompanyName"), L"Brisvale Inc.");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), GetParam().originalFilename);
}

TEST_P(ServerFile, CarriesOnlyStringTwoInEnglishAndTheVersion)
{
    ModuleAsData module(BinPath(GetParam().file));
    ASSERT_NE(module.Get(), nullptr);

    std::set<ULONG_PTR> types;
    EnumResourceTypesW(module.Get(), CollectType, reinterpret_cast<LONG_PTR>(&types));
    EXPECT_EQ(types, (std::set<ULONG_PTR>{reinterpret_cast<ULONG_PTR>(RT_STRING), reinterpret_cast<ULONG_PTR>(RT_VERSION)}))
        << "no manifest, dialog or icon";

    std::set<ULONG_PTR> blocks;
    EnumResourceNamesW(module.Get(), RT_STRING, CollectName, reinterpret_cast<LONG_PTR>(&blocks));
    EXPECT_EQ(blocks, std::set<ULONG_PTR>{1});
    std::set<ULONG_PTR> languages;
    EnumResourceLanguagesW(module.Get(), RT_STRING, MAKEINTRESOURCEW(1), CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::set<ULONG_PTR>{1033});

    std::vector<std::wstring> strings = StringBlock(module.Get(), 1033);
    ASSERT_EQ(strings.size(), 16u);
    for (size_t i = 0; i < strings.size(); ++i) {
        EXPECT_EQ(strings[i], i == 2 ? std::wstring(GetParam().elevationName) : std::wstring()) << "string " << i;
    }
}

TEST_P(ServerFile, IsAGuiProgramThatImportsOnlySystemLibraries)
{
    PeFile pe(ReadFileBytes(BinPath(GetParam().file)));
    ASSERT_TRUE(pe.Valid());
    EXPECT_EQ(pe.Machine(), GetParam().machine);
    EXPECT_EQ(pe.Is64(), GetParam().machine == IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(pe.Subsystem(), IMAGE_SUBSYSTEM_WINDOWS_GUI);

    // The Setup API, the shells' libraries and the COM port database are
    // loaded when an operation needs them, never by a start-up.
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
                                          "psapi.dll",    "msvcrt.dll", "rpcrt4.dll",   "ntdll.dll"};
    std::vector<std::string> dlls = pe.ImportedDlls();
    EXPECT_FALSE(dlls.empty());
    for (const std::string& dll : dlls) EXPECT_EQ(system.count(Lower(dll)), 1u) << dll << " is not a system library";
}

INSTANTIATE_TEST_SUITE_P(Builds, ServerFile, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build>& info) {
                             return info.param.machine == IMAGE_FILE_MACHINE_AMD64 ? std::string("x64") : std::string("x86");
                         });
