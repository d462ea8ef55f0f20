// Both builds of the proxy/stub library checked as files. The x86 build
// cannot be loaded here, so the marshalling tables are followed from the
// file record the way the NDR engine follows them, pointer by pointer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "pe_image.h"
#include "proc_format_check.h"
#include "q5dm.h"
#include "test_paths.h"
#include "version_block.h"

using q5test::Layout;
using q5test::PeImage;

namespace {

struct ImageCase {
    const wchar_t* file;
    Layout layout;
    uint16_t machine;
    const wchar_t* originalFilename;
};

const ImageCase kImages[] = {
    {L"dmstub32.dll", Layout::X86, IMAGE_FILE_MACHINE_I386, L"dmstub32.dll"},
    {L"dmstub64.dll", Layout::X64, IMAGE_FILE_MACHINE_AMD64, L"dmstub64.dll"},
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << (c.layout == Layout::X86 ? "dmstub32" : "dmstub64"); }

std::wstring OutBinPath(const wchar_t* file) { return std::wstring(Q5_OUT_BIN_W) + L"\\" + file; }

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Follows a pointer-sized field to the RVA it addresses; 0 when it is null
// or points outside the image.
uint32_t FollowPointer(const PeImage& image, uint32_t fieldRva)
{
    uint64_t va = 0;
    if (!image.ReadPointer(fieldRva, &va) || va == 0) return 0;
    return image.RvaOfVa(va);
}

uint64_t PointerAt(const PeImage& image, uint32_t fieldRva)
{
    uint64_t va = ~0ull;
    image.ReadPointer(fieldRva, &va);
    return va;
}

// A function pointer of the tables that addresses an import jump
// ("jmp [iat slot]") names the imported function: "rpcrt4.dll!Name".
std::string ImportBehind(const PeImage& image, uint32_t codeRva)
{
    const uint8_t* code = image.AtRva(codeRva, 6);
    if (!code || code[0] != 0xFF || code[1] != 0x25) return std::string();
    uint32_t operand;
    memcpy(&operand, code + 2, 4);
    uint32_t slot = image.Is64() ? codeRva + 6 + operand : image.RvaOfVa(operand);
    return Lower(image.ImportAtSlot(slot));
}

// Every RVA in the data sections that holds a pointer to targetRva.
std::vector<uint32_t> PointersTo(const PeImage& image, uint32_t targetRva)
{
    uint64_t va = image.ImageBase() + targetRva;
    std::vector<uint32_t> hits;
    for (const char* section : {".data", ".rdata"}) {
        for (uint32_t hit : image.FindInSection(section, &va, image.PointerSize()))
            if (hit % image.PointerSize() == 0) hits.push_back(hit);
    }
    return hits;
}

class ProxyImage : public ::testing::TestWithParam<ImageCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_image.Load(OutBinPath(GetParam().file).c_str()))
            << "cannot read out/bin/" << (GetParam().layout == Layout::X86 ? "dmstub32" : "dmstub64")
            << ".dll: build both presets first";
        m_ptr = m_image.PointerSize();
    }
    uint32_t Field(uint32_t rva, int index) const { return rva + static_cast<uint32_t>(index) * m_ptr; }

    // The file record, found through the interface name it lists.
    uint32_t LocateFileRecord() const
    {
        auto names = m_image.FindInSection(".rdata", "IQ5DMService", sizeof("IQ5DMService"));
        for (uint32_t name : names)
            for (uint32_t list : PointersTo(m_image, name))
                for (uint32_t nameField : PointersTo(m_image, list))
                    if (nameField >= 2 * m_ptr) return nameField - 2 * m_ptr;
        return 0;
    }

    PeImage m_image;
    uint32_t m_ptr = 0;
};

TEST_P(ProxyImage, IsADllOfItsProcessor)
{
    EXPECT_EQ(GetParam().machine, m_image.Machine());
    EXPECT_TRUE(m_image.Characteristics() & IMAGE_FILE_DLL);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, m_image.Subsystem());
    EXPECT_EQ(GetParam().layout == Layout::X64, m_image.Is64());
}

TEST_P(ProxyImage, ExportsByNameWithOrdinalsFourToEight)
{
    std::map<std::string, int> exports;
    for (const auto& e : m_image.Exports()) exports[e.name] = e.ordinal;
    const std::map<std::string, int> expected = {
        {"GetProxyDllInfo", 4}, {"DllCanUnloadNow", 5}, {"DllGetClassObject", 6},
        {"DllRegisterServer", 7}, {"DllUnregisterServer", 8}};
    EXPECT_EQ(expected, exports);
    EXPECT_EQ("dmstub32.dll", m_image.ExportDllName());
}

TEST_P(ProxyImage, ImportsSystemLibrariesOnly)
{
    const std::vector<std::string> system = {"kernel32.dll", "rpcrt4.dll", "ole32.dll", "msvcrt.dll",
                                             "oleaut32.dll", "advapi32.dll", "user32.dll"};
    auto imports = m_image.ImportDllNames();
    EXPECT_FALSE(imports.empty());
    for (const auto& dll : imports)
        EXPECT_NE(system.end(), std::find(system.begin(), system.end(), Lower(dll))) << dll;
}

TEST_P(ProxyImage, LookupRoutineLivesInOrpcCode)
{
    const q5test::PeSection* orpc = m_image.FindSection(".orpc");
    ASSERT_NE(nullptr, orpc);
    EXPECT_TRUE(orpc->characteristics & IMAGE_SCN_MEM_EXECUTE);
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record);
    uint32_t lookup = FollowPointer(m_image, Field(record, 4));
    EXPECT_EQ(orpc, m_image.SectionOfRva(lookup));
}

TEST_P(ProxyImage, FileRecordAndItsTables)
{
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record) << "no file record lists \"IQ5DMService\"";
    uint32_t proxyList = FollowPointer(m_image, Field(record, 0));
    uint32_t stubList = FollowPointer(m_image, Field(record, 1));
    EXPECT_EQ(0u, PointerAt(m_image, Field(record, 3))) << "delegated interfaces";
    uint16_t tableSize = 0, tableVersion = 0;
    m_image.ReadU16(Field(record, 5), &tableSize);
    m_image.ReadU16(Field(record, 5) + 2, &tableVersion);
    EXPECT_EQ(1, tableSize);
    EXPECT_EQ(2, tableVersion);
    for (int i = 6; i < 10; ++i) EXPECT_EQ(0u, PointerAt(m_image, Field(record, i))) << "record field " << i;
    EXPECT_EQ(0u, PointerAt(m_image, Field(proxyList, 1)));
    EXPECT_EQ(0u, PointerAt(m_image, Field(stubList, 1)));

    // The one copy of the interface identifier, with the other two beside it.
    auto iids = m_image.FindInSection(".rdata", &IID_IQ5DMService, sizeof(IID));
    ASSERT_EQ(1u, iids.size());
    EXPECT_EQ(1u, m_image.FindInSection(".rdata", &LIBID_Q5DMServerLib, sizeof(IID)).size());
    EXPECT_EQ(1u, m_image.FindInSection(".rdata", &CLSID_Q5DMService, sizeof(IID)).size());

    uint32_t proxyVtbl = FollowPointer(m_image, Field(proxyList, 0));
    uint32_t stubVtbl = FollowPointer(m_image, Field(stubList, 0));
    ASSERT_NE(0u, proxyVtbl);
    ASSERT_NE(0u, stubVtbl);
    EXPECT_EQ(iids[0], FollowPointer(m_image, Field(proxyVtbl, 1)));
    EXPECT_EQ(iids[0], FollowPointer(m_image, Field(stubVtbl, 0)));
}

TEST_P(ProxyImage, ProxyTableRoutesSlotsThreeToEighteenToTheEngine)
{
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record);
    uint32_t proxyVtbl = FollowPointer(m_image, Field(FollowPointer(m_image, Field(record, 0)), 0));
    ASSERT_NE(0u, proxyVtbl);
    // The engine writes its thunks over the -1 entries at run time.
    EXPECT_TRUE(m_image.SectionOfRva(proxyVtbl)->characteristics & IMAGE_SCN_MEM_WRITE);
    const char* unknown[] = {"rpcrt4.dll!iunknown_queryinterface_proxy", "rpcrt4.dll!iunknown_addref_proxy",
                             "rpcrt4.dll!iunknown_release_proxy"};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(unknown[i], ImportBehind(m_image, FollowPointer(m_image, Field(proxyVtbl, 2 + i))));
    const uint64_t allBits = m_image.Is64() ? ~0ull : 0xFFFFFFFFull;
    for (int slot = 3; slot <= 18; ++slot)
        EXPECT_EQ(allBits, PointerAt(m_image, Field(proxyVtbl, 2 + slot))) << "slot " << slot;
}

TEST_P(ProxyImage, StubTableUsesTheEngineAndItsOwnRelease)
{
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record);
    uint32_t stubVtbl = FollowPointer(m_image, Field(FollowPointer(m_image, Field(record, 1)), 0));
    ASSERT_NE(0u, stubVtbl);
    uint32_t dispatchCount = 0;
    m_image.ReadU32(Field(stubVtbl, 2), &dispatchCount);
    EXPECT_EQ(19u, dispatchCount);
    EXPECT_EQ(0u, PointerAt(m_image, Field(stubVtbl, 3))) << "dispatch table";
    const char* methods[] = {"queryinterface", "addref", nullptr, "connect", "disconnect", "invoke",
                             "isiidsupported", "countrefs", "debugserverqueryinterface", "debugserverrelease"};
    for (int i = 0; i < 10; ++i) {
        uint32_t routine = FollowPointer(m_image, Field(stubVtbl, 4 + i));
        if (methods[i]) {
            EXPECT_EQ(std::string("rpcrt4.dll!cstdstubbuffer_") + methods[i], ImportBehind(m_image, routine));
        } else {
            // Release is the library's own code, not an engine export.
            EXPECT_EQ("", ImportBehind(m_image, routine));
            EXPECT_EQ(m_image.FindSection(".text"), m_image.SectionOfRva(routine));
        }
    }
}

TEST_P(ProxyImage, ServerAndProxyInfoShareDescriptorFormatsAndOffsets)
{
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record);
    uint32_t proxyVtbl = FollowPointer(m_image, Field(FollowPointer(m_image, Field(record, 0)), 0));
    uint32_t stubVtbl = FollowPointer(m_image, Field(FollowPointer(m_image, Field(record, 1)), 0));
    uint32_t proxyInfo = FollowPointer(m_image, Field(proxyVtbl, 0));
    uint32_t serverInfo = FollowPointer(m_image, Field(stubVtbl, 1));
    ASSERT_NE(0u, proxyInfo);
    ASSERT_NE(0u, serverInfo);

    uint32_t stubDesc = FollowPointer(m_image, Field(serverInfo, 0));
    uint64_t procString = PointerAt(m_image, Field(serverInfo, 2));
    uint64_t offsets = PointerAt(m_image, Field(serverInfo, 3));
    EXPECT_NE(0u, stubDesc);
    EXPECT_EQ(0u, PointerAt(m_image, Field(serverInfo, 1))) << "server dispatch table";
    for (int i = 4; i < 8; ++i) EXPECT_EQ(0u, PointerAt(m_image, Field(serverInfo, i))) << "server info " << i;
    EXPECT_EQ(stubDesc, FollowPointer(m_image, Field(proxyInfo, 0)));
    EXPECT_EQ(procString, PointerAt(m_image, Field(proxyInfo, 1)));
    EXPECT_EQ(offsets, PointerAt(m_image, Field(proxyInfo, 2)));
    for (int i = 3; i < 6; ++i) EXPECT_EQ(0u, PointerAt(m_image, Field(proxyInfo, i))) << "proxy info " << i;

    const Layout layout = GetParam().layout;
    const size_t size = q5test::ProcFormatSize(layout);
    EXPECT_TRUE(q5test::CheckProcFormatString(m_image.AtRva(m_image.RvaOfVa(procString), size), size, layout));
    // The stored pointer is three entries (6 bytes) before the table.
    const uint8_t* table = m_image.AtRva(m_image.RvaOfVa(offsets + 6), 32);
    ASSERT_NE(nullptr, table);
    uint16_t entries[16];
    memcpy(entries, table, sizeof(entries));
    EXPECT_TRUE(q5test::CheckFormatOffsets(entries, layout));
}

TEST_P(ProxyImage, StubDescriptorFields)
{
    uint32_t record = LocateFileRecord();
    ASSERT_NE(0u, record);
    uint32_t stubVtbl = FollowPointer(m_image, Field(FollowPointer(m_image, Field(record, 1)), 0));
    uint32_t desc = FollowPointer(m_image, Field(FollowPointer(m_image, Field(stubVtbl, 1)), 0));
    ASSERT_NE(0u, desc);
    EXPECT_EQ(0u, PointerAt(m_image, Field(desc, 0))) << "RPC interface information";
    EXPECT_EQ("rpcrt4.dll!ndroleallocate", ImportBehind(m_image, FollowPointer(m_image, Field(desc, 1))));
    EXPECT_EQ("rpcrt4.dll!ndrolefree", ImportBehind(m_image, FollowPointer(m_image, Field(desc, 2))));
    for (int i = 3; i < 8; ++i) EXPECT_EQ(0u, PointerAt(m_image, Field(desc, i))) << "descriptor field " << i;
    const uint8_t* types = m_image.AtRva(FollowPointer(m_image, Field(desc, 8)), sizeof(q5test::kTypeFormatString));
    ASSERT_NE(nullptr, types);
    EXPECT_EQ(0, memcmp(q5test::kTypeFormatString, types, sizeof(q5test::kTypeFormatString)));

    // Then: bounds flag and engine version (two 32-bit fields), allocation
    // record, compiler version (32-bit, padded to a pointer), and pointer-
    // sized fields up to the compiler flag word.
    uint32_t at = Field(desc, 9), checkBounds = 0, version = 0, midl = 0;
    m_image.ReadU32(at, &checkBounds);
    m_image.ReadU32(at + 4, &version);
    EXPECT_EQ(1u, checkBounds);
    EXPECT_EQ(0x50002u, version);
    at += 8;
    EXPECT_EQ(0u, PointerAt(m_image, at)) << "allocation record";
    at += m_ptr;
    m_image.ReadU32(at, &midl);
    EXPECT_EQ(0x0600016eu, midl);
    at += m_ptr;
    for (const char* field : {"fault offsets", "user-marshal routines", "notify routines"}) {
        EXPECT_EQ(0u, PointerAt(m_image, at)) << field;
        at += m_ptr;
    }
    EXPECT_EQ(1u, PointerAt(m_image, at)) << "compiler flags";
    for (const char* field : {"character-set routines", "proxy/server info", "expression info"}) {
        at += m_ptr;
        EXPECT_EQ(0u, PointerAt(m_image, at)) << field;
    }
}

TEST_P(ProxyImage, VersionResource)
{
    q5test::VersionBlock block;
    ASSERT_TRUE(q5test::ReadVersionBlock(OutBinPath(GetParam().file).c_str(), &block));
    EXPECT_EQ(VS_FFI_SIGNATURE, block.fixed.dwSignature);
    EXPECT_EQ(0x00010009u, block.fixed.dwFileVersionMS);
    EXPECT_EQ(0x00020001u, block.fixed.dwFileVersionLS);
    EXPECT_EQ(0x00010009u, block.fixed.dwProductVersionMS);
    EXPECT_EQ(0x00020001u, block.fixed.dwProductVersionLS);
    EXPECT_EQ(0x17u, block.fixed.dwFileFlagsMask);
    EXPECT_EQ(0u, block.fixed.dwFileFlags);
    EXPECT_EQ(0x4u, block.fixed.dwFileOS);
    EXPECT_EQ(0x2u, block.fixed.dwFileType);
    EXPECT_EQ(1, block.stringTableCount);
    EXPECT_EQ(L"040904b0", block.stringTableKey);
    ASSERT_EQ(8u, block.strings.size());
    const std::pair<std::wstring, std::wstring> expected[] = {
        {L"FileVersion", L"1,9,2,1"},
        {L"OriginalFilename", GetParam().originalFilename},
        {L"FileDescription", L"DM Proxy Library"},
        {L"LegalCopyright", block.strings[3].second},
        {L"ProductName", L"Brisvale Tolvarin Modem"},
        {L"ProductVersion", L"1.9"},
        {L"CompanyName", L"Brisvale Inc."},
        {L"FileDescription", L"DM Proxy"},
    };
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(expected[i], block.strings[i]) << "entry " << i;
    EXPECT_FALSE(block.strings[3].second.empty());
    EXPECT_EQ(std::vector<DWORD>{0x04b00409}, block.translations);
}

INSTANTIATE_TEST_SUITE_P(Builds, ProxyImage, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<ImageCase>& info) {
                             return std::string(info.param.layout == Layout::X86 ? "dmstub32" : "dmstub64");
                         });

}  // namespace
