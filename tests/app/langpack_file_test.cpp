// The x86 Chinese.dll as a file: it cannot run here, so its image headers,
// import table and resource directory are read from disk.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "test_paths.h"

namespace {

struct FileCloser {
    void operator()(FILE* pFile) const { fclose(pFile); }
};

std::vector<BYTE> ReadWholeFile(const wchar_t* pszPath)
{
    std::unique_ptr<FILE, FileCloser> file(_wfopen(pszPath, L"rb"));
    std::vector<BYTE> data;
    if (!file) {
        return data;
    }
    BYTE chunk[65536];
    size_t cb;
    while ((cb = fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
        data.insert(data.end(), chunk, chunk + cb);
    }
    return data;
}

class Image {
public:
    explicit Image(std::vector<BYTE> data) : m_data(std::move(data)) {}

    template <typename T>
    const T* At(DWORD dwOffset) const
    {
        return dwOffset <= m_data.size() && sizeof(T) <= m_data.size() - dwOffset
                   ? reinterpret_cast<const T*>(m_data.data() + dwOffset)
                   : nullptr;
    }

    const IMAGE_NT_HEADERS32* Headers() const
    {
        const IMAGE_DOS_HEADER* pDos = At<IMAGE_DOS_HEADER>(0);
        if (pDos == nullptr || pDos->e_magic != IMAGE_DOS_SIGNATURE) {
            return nullptr;
        }
        const IMAGE_NT_HEADERS32* pNt = At<IMAGE_NT_HEADERS32>(static_cast<DWORD>(pDos->e_lfanew));
        return pNt != nullptr && pNt->Signature == IMAGE_NT_SIGNATURE ? pNt : nullptr;
    }

    // File offset of a relative virtual address, through the section table.
    std::optional<DWORD> Offset(DWORD dwRva) const
    {
        const IMAGE_NT_HEADERS32* pNt = Headers();
        DWORD dwSections = static_cast<DWORD>(reinterpret_cast<const BYTE*>(&pNt->OptionalHeader) - m_data.data()) +
                           pNt->FileHeader.SizeOfOptionalHeader;
        for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; ++i) {
            const auto* pSection = At<IMAGE_SECTION_HEADER>(dwSections + i * sizeof(IMAGE_SECTION_HEADER));
            if (pSection == nullptr) {
                break;
            }
            if (dwRva >= pSection->VirtualAddress && dwRva < pSection->VirtualAddress + pSection->SizeOfRawData) {
                return dwRva - pSection->VirtualAddress + pSection->PointerToRawData;
            }
        }
        return std::nullopt;
    }

    std::string AsciiAt(DWORD dwRva) const
    {
        std::optional<DWORD> off = Offset(dwRva);
        std::string s;
        for (DWORD i = off.value_or(static_cast<DWORD>(m_data.size())); i < m_data.size() && m_data[i] != 0; ++i) {
            s.push_back(static_cast<char>(m_data[i]));
        }
        return s;
    }

    const IMAGE_DATA_DIRECTORY& Directory(int nIndex) const { return Headers()->OptionalHeader.DataDirectory[nIndex]; }

private:
    std::vector<BYTE> m_data;
};

class LangPackFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pImage = std::make_unique<Image>(ReadWholeFile(Q5_OUT_BIN_W L"\\Chinese.dll")); }
    static void TearDownTestSuite() { s_pImage.reset(); }
    void SetUp() override { ASSERT_NE(s_pImage->Headers(), nullptr) << "Chinese.dll missing or not a PE file"; }

    static std::unique_ptr<Image> s_pImage;
};

std::unique_ptr<Image> LangPackFile::s_pImage;

TEST_F(LangPackFile, IsA32BitLibraryWithAnEntryRoutineAndNoExports)
{
    const IMAGE_NT_HEADERS32* pNt = s_pImage->Headers();
    EXPECT_EQ(pNt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_NE(pNt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
    EXPECT_NE(pNt->FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, 0);
    EXPECT_EQ(pNt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_NE(pNt->OptionalHeader.AddressOfEntryPoint, 0u);
    const IMAGE_DATA_DIRECTORY& exports = s_pImage->Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    EXPECT_EQ(exports.VirtualAddress, 0u);
    EXPECT_EQ(exports.Size, 0u);
    EXPECT_NE(s_pImage->Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u) << "must load anywhere";
}

std::map<std::string, std::set<std::string>> Imports(const Image& image)
{
    std::map<std::string, std::set<std::string>> imports;
    DWORD dwRva = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
    for (;; dwRva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        std::optional<DWORD> off = image.Offset(dwRva);
        const auto* pDesc = off ? image.At<IMAGE_IMPORT_DESCRIPTOR>(*off) : nullptr;
        if (pDesc == nullptr || pDesc->Name == 0) {
            return imports;
        }
        std::string dll = image.AsciiAt(pDesc->Name);
        for (char& c : dll) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        std::set<std::string>& names = imports[dll];
        DWORD dwThunk = pDesc->OriginalFirstThunk != 0 ? pDesc->OriginalFirstThunk : pDesc->FirstThunk;
        for (;; dwThunk += 4) {
            std::optional<DWORD> toff = image.Offset(dwThunk);
            const DWORD* pEntry = toff ? image.At<DWORD>(*toff) : nullptr;
            if (pEntry == nullptr || *pEntry == 0) {
                break;
            }
            if (!(*pEntry & IMAGE_ORDINAL_FLAG32)) {
                names.insert(image.AsciiAt(*pEntry + 2));  // past the hint
            }
        }
    }
}

TEST_F(LangPackFile, ImportsOnlyTheSystemAndItsSharedCRuntime)
{
    std::map<std::string, std::set<std::string>> imports = Imports(*s_pImage);
    const std::set<std::string> kSystem = {"kernel32.dll", "msvcrt.dll"};
    for (const auto& [dll, names] : imports) {
        EXPECT_EQ(kSystem.count(dll), 1u) << dll << " is not a system library";
    }
    ASSERT_EQ(imports.count("msvcrt.dll"), 1u) << "the C runtime is linked dynamically";
    EXPECT_EQ(imports["msvcrt.dll"].count("setlocale"), 1u) << "the locale switch uses the shared runtime";
}

// Languages of every resource, by type, straight from the resource directory.
std::map<std::wstring, std::set<WORD>> ResourceLanguages(const Image& image)
{
    std::map<std::wstring, std::set<WORD>> out;
    DWORD dwRoot = image.Offset(image.Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress).value_or(0);
    auto entries = [&image, dwRoot](DWORD dwDir) {
        std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> list;
        const auto* pDir = image.At<IMAGE_RESOURCE_DIRECTORY>(dwRoot + dwDir);
        if (pDir == nullptr) {
            return list;
        }
        DWORD cEntries = pDir->NumberOfNamedEntries + pDir->NumberOfIdEntries;
        for (DWORD i = 0; i < cEntries; ++i) {
            const auto* pEntry = image.At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(
                dwRoot + dwDir + sizeof(IMAGE_RESOURCE_DIRECTORY) + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
            if (pEntry != nullptr) {
                list.push_back(*pEntry);
            }
        }
        return list;
    };
    auto typeName = [&image, dwRoot](const IMAGE_RESOURCE_DIRECTORY_ENTRY& e) {
        if (!e.NameIsString) {
            return L"#" + std::to_wstring(e.Id);
        }
        const WORD* pLen = image.At<WORD>(dwRoot + e.NameOffset);
        std::wstring s;
        for (WORD i = 0; pLen != nullptr && i < *pLen; ++i) {
            const WORD* pChar = image.At<WORD>(dwRoot + e.NameOffset + 2 + 2 * i);
            s.push_back(pChar != nullptr ? static_cast<wchar_t>(*pChar) : L'?');
        }
        return s;
    };
    for (const auto& type : entries(0)) {
        for (const auto& name : entries(type.OffsetToDirectory)) {
            for (const auto& lang : entries(name.OffsetToDirectory)) {
                out[typeName(type)].insert(lang.Id);
            }
        }
    }
    return out;
}

TEST_F(LangPackFile, EveryResourceIsTraditionalChineseExceptThePromptsInUsEnglish)
{
    std::map<std::wstring, std::set<WORD>> languages = ResourceLanguages(*s_pImage);
    const std::map<std::wstring, std::set<WORD>> kExpected = {
        {L"#2", {1028}},  {L"#3", {1028}},  {L"#4", {1028}}, {L"#5", {1028}},
        {L"#6", {1028}},  {L"#14", {1028}}, {L"#16", {1028}}, {L"#24", {1028}}, {L"WAVE", {1033}}};
    EXPECT_EQ(languages, kExpected);
}

}  // namespace
