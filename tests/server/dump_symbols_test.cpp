// A minidump of a waiting server, read as a support engineer's debugger
// reads one sent in from a customer: dbghelp over the dump alone, with the
// symbol store for the server's image and PDB. The server's own frames
// must come out with their names, source files and lines; with another
// build's PDB in the store, with none of our names.
#include <windows.h>

#include <dbghelp.h>
#include <shlobj.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes ReadBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t ReadU32(const Bytes& bytes, size_t at)
{
    uint32_t value = 0;
    if (at + 4 <= bytes.size()) memcpy(&value, &bytes[at], 4);
    return value;
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }
std::wstring BaseName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring TempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// [rva, rva + size) of a PE image read from its file; null when outside it.
const BYTE* AtRva(const Bytes& image, DWORD rva, DWORD size)
{
    IMAGE_NT_HEADERS* nt = image.empty() ? nullptr : ImageNtHeader(const_cast<BYTE*>(image.data()));
    if (nt == nullptr) return nullptr;
    const BYTE* at = rva < nt->OptionalHeader.SizeOfHeaders
                         ? image.data() + rva
                         : static_cast<const BYTE*>(ImageRvaToVa(nt, const_cast<BYTE*>(image.data()), rva, nullptr));
    return at != nullptr && at + size <= image.data() + image.size() ? at : nullptr;
}

// An image's entries in a symbol store, as a debugger's symbol path expects
// them: NAME.exe\<TimeDateStamp><SizeOfImage>\NAME.exe and, from the
// CodeView record, NAME.pdb\<GUID><age>\NAME.pdb (pdb empty without one).
std::wstring ImageKey(DWORD dwTimeDateStamp, DWORD dwSizeOfImage)
{
    wchar_t key[32];
    _snwprintf(key, 32, L"%08X%x", dwTimeDateStamp, dwSizeOfImage);
    return key;
}

struct StoreEntries {
    std::wstring image;
    std::wstring pdb;
};

StoreEntries StoreEntriesOf(const Bytes& image, const std::wstring& name)
{
    StoreEntries entries;
    IMAGE_NT_HEADERS* nt = image.empty() ? nullptr : ImageNtHeader(const_cast<BYTE*>(image.data()));
    if (nt == nullptr) return entries;
    entries.image = name + L"\\" + ImageKey(nt->FileHeader.TimeDateStamp, nt->OptionalHeader.SizeOfImage) + L"\\" + name;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    for (DWORD at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= directory.Size; at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
        IMAGE_DEBUG_DIRECTORY debug;
        const BYTE* entry = AtRva(image, directory.VirtualAddress + at, sizeof debug);
        if (entry == nullptr) break;
        memcpy(&debug, entry, sizeof debug);
        const BYTE* cv = image.data() + debug.PointerToRawData;
        if (debug.Type != IMAGE_DEBUG_TYPE_CODEVIEW || debug.SizeOfData < 25 ||
            debug.PointerToRawData + debug.SizeOfData > image.size() || memcmp(cv, "RSDS", 4) != 0) {
            continue;
        }
        GUID guid;
        memcpy(&guid, cv + 4, sizeof guid);
        wchar_t key[64];
        _snwprintf(key, 64, L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%x", guid.Data1, guid.Data2, guid.Data3,
                   guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                   guid.Data4[6], guid.Data4[7], ReadU32(image, debug.PointerToRawData + 20));
        const char* pdbName = reinterpret_cast<const char*>(cv + 24);
        const std::wstring pdb(pdbName, pdbName + strnlen(pdbName, debug.SizeOfData - 24));
        if (!pdb.empty()) entries.pdb = pdb + L"\\" + key + L"\\" + pdb;
    }
    return entries;
}

// A copy of a PDB as another build would have written it: the GUID in its
// information stream (MSF stream 1) altered, everything else the same.
bool WriteOtherBuildsPdb(const std::wstring& from, const std::wstring& to)
{
    Bytes pdb = ReadBytes(from);
    static const char kMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS";
    if (pdb.size() < 56 || memcmp(pdb.data(), kMagic, sizeof kMagic - 1) != 0) return false;
    const size_t blockSize = ReadU32(pdb, 32);
    const size_t directoryBytes = ReadU32(pdb, 44);
    const size_t blockMap = ReadU32(pdb, 52) * blockSize;
    Bytes directory;
    for (size_t i = 0; blockSize != 0 && directory.size() < directoryBytes; ++i) {
        const size_t block = ReadU32(pdb, blockMap + 4 * i) * blockSize;
        if (block + blockSize > pdb.size()) return false;
        directory.insert(directory.end(), pdb.begin() + block, pdb.begin() + block + blockSize);
    }
    // The stream count, each stream's size, then each stream's blocks.
    const size_t streams = ReadU32(directory, 0);
    const uint32_t firstSize = ReadU32(directory, 4);
    const size_t firstBlocks = firstSize == 0xFFFFFFFF || blockSize == 0 ? 0 : (firstSize + blockSize - 1) / blockSize;
    const size_t info = ReadU32(directory, 4 * (1 + streams + firstBlocks)) * blockSize;
    // Version, signature and age come before the GUID.
    if (streams < 2 || info + 28 > pdb.size()) return false;
    pdb[info + 12] ^= 0xFF;
    std::ofstream out(to.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(pdb.data()), static_cast<std::streamsize>(pdb.size()));
    return out.good();
}

struct Frame {
    DWORD64 qwPc;
    std::string function;
    std::string file;
    DWORD dwLine;
};

struct LoadedImage {
    DWORD64 qwBase;
    DWORD dwSize;
    Bytes file;
};

// dbghelp over the dump alone: a handle that is no process, each module's
// image from the store, else (the system's libraries) from where the dump
// says it was loaded. Wine 10's dbghelp knows no symbol-store paths (srv*):
// searching a plain folder for NAME.pdb or NAME.exe it stops at the store's
// folder of that name, and a module whose recorded file is gone is not
// loaded at all. So the session does the symbol server's part: the image
// from its store folder, and as dbghelp's symbol path the store's folder
// for the image's GUID and age, nothing else; dbghelp still judges the PDB
// there against the image.
class DumpSession {
public:
    DumpSession(const Bytes& dump, const std::wstring& store) : m_dump(dump)
    {
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
        m_bInitialized = SymInitializeW(m_hSession, store.c_str(), FALSE) != FALSE;
        auto* modules = Stream<MINIDUMP_MODULE_LIST>(ModuleListStream);
        for (ULONG32 i = 0; m_bInitialized && modules != nullptr && i < modules->NumberOfModules; ++i) {
            const MINIDUMP_MODULE& module = modules->Modules[i];
            auto* name = reinterpret_cast<const MINIDUMP_STRING*>(At(module.ModuleNameRva, 4));
            if (name == nullptr || At(module.ModuleNameRva + 4, name->Length) == nullptr) continue;
            const std::wstring recorded(name->Buffer, name->Length / sizeof(WCHAR));
            std::wstring image = store + L"\\" + BaseName(recorded) + L"\\" +
                                 ImageKey(module.TimeDateStamp, module.SizeOfImage) + L"\\" + BaseName(recorded);
            if (GetFileAttributesW(image.c_str()) == INVALID_FILE_ATTRIBUTES) image = recorded;
            Bytes file = ReadBytes(image);
            const std::wstring pdb = StoreEntriesOf(file, BaseName(recorded)).pdb;
            if (image != recorded && !pdb.empty()) SymSetSearchPathW(m_hSession, Folder(store + L"\\" + pdb).c_str());
            if (!SymLoadModuleExW(m_hSession, nullptr, image.c_str(), nullptr, module.BaseOfImage, module.SizeOfImage, nullptr, 0)) continue;
            m_images.push_back({module.BaseOfImage, module.SizeOfImage, std::move(file)});
        }
    }
    ~DumpSession()
    {
        if (m_bInitialized) SymCleanup(m_hSession);
    }
    DumpSession(const DumpSession&) = delete;
    DumpSession& operator=(const DumpSession&) = delete;

    // The dump's first thread (the main thread), its current place first.
    std::vector<DWORD64> WalkMainThread()
    {
        std::vector<DWORD64> pcs;
        auto* threads = Stream<MINIDUMP_THREAD_LIST>(ThreadListStream);
        if (threads == nullptr || threads->NumberOfThreads == 0) return pcs;
        const BYTE* saved = At(threads->Threads[0].ThreadContext.Rva, sizeof(CONTEXT));
        if (saved == nullptr || threads->Threads[0].ThreadContext.DataSize < sizeof(CONTEXT)) return pcs;
        CONTEXT context;
        memcpy(&context, saved, sizeof context);
        STACKFRAME64 frame = {};
        frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
#ifdef _WIN64
        const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
        frame.AddrPC.Offset = context.Rip;
        frame.AddrFrame.Offset = context.Rbp;
        frame.AddrStack.Offset = context.Rsp;
#else
        const DWORD machine = IMAGE_FILE_MACHINE_I386;
        frame.AddrPC.Offset = context.Eip;
        frame.AddrFrame.Offset = context.Ebp;
        frame.AddrStack.Offset = context.Esp;
#endif
        s_pWalking = this;
        while (pcs.size() < 64 && StackWalk64(machine, m_hSession, m_hSession, &frame, &context, ReadMemory,
                                               SymFunctionTableAccess64, SymGetModuleBase64, nullptr) &&
               frame.AddrPC.Offset != 0) {
            pcs.push_back(frame.AddrPC.Offset);
        }
        s_pWalking = nullptr;
        return pcs;
    }

    // A caller's frame is looked up just before its return address, which
    // may already lie on the next line or in the next function.
    Frame Resolve(DWORD64 pc, bool caller) const
    {
        Frame frame = {pc, "", "", 0};
        alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + MAX_SYM_NAME] = {};
        auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = MAX_SYM_NAME;
        DWORD64 offset = 0;
        if (SymFromAddr(m_hSession, pc - (caller ? 1 : 0), &offset, symbol)) frame.function = symbol->Name;
        IMAGEHLP_LINE64 line = {};
        line.SizeOfStruct = sizeof line;
        DWORD column = 0;
        if (SymGetLineFromAddr64(m_hSession, pc - (caller ? 1 : 0), &column, &line) && line.FileName != nullptr) {
            frame.file = line.FileName;
            frame.dwLine = line.LineNumber;
        }
        return frame;
    }

    // "name (symbols N)", N dbghelp's SYM_TYPE (3: PDB, 0: none).
    std::string ModuleOf(DWORD64 pc) const
    {
        IMAGEHLP_MODULE64 module = {};
        module.SizeOfStruct = sizeof module;
        if (!SymGetModuleInfo64(m_hSession, pc, &module)) return "?";
        return std::string(module.ModuleName) + " (symbols " + std::to_string(module.SymType) + ")";
    }

private:
    template <class T>
    const T* Stream(ULONG type) const
    {
        void* stream = nullptr;
        ULONG size = 0;
        return MiniDumpReadDumpStream(const_cast<BYTE*>(m_dump.data()), type, nullptr, &stream, &size)
                   ? static_cast<const T*>(stream)
                   : nullptr;
    }
    const BYTE* At(RVA rva, ULONG32 size) const
    {
        return rva + static_cast<uint64_t>(size) <= m_dump.size() ? m_dump.data() + rva : nullptr;
    }
    // The dump's memory first; what it leaves out (unwind data, code) from
    // the image files.
    const BYTE* Memory(DWORD64 address, DWORD size) const
    {
        auto* list = Stream<MINIDUMP_MEMORY_LIST>(MemoryListStream);
        for (ULONG32 i = 0; list != nullptr && i < list->NumberOfMemoryRanges; ++i) {
            const MINIDUMP_MEMORY_DESCRIPTOR& range = list->MemoryRanges[i];
            if (address >= range.StartOfMemoryRange && address + size <= range.StartOfMemoryRange + range.Memory.DataSize) {
                return At(static_cast<RVA>(range.Memory.Rva + (address - range.StartOfMemoryRange)), size);
            }
        }
        for (const LoadedImage& image : m_images) {
            if (address >= image.qwBase && address + size <= image.qwBase + image.dwSize) {
                return AtRva(image.file, static_cast<DWORD>(address - image.qwBase), size);
            }
        }
        return nullptr;
    }
    // StackWalk64's callbacks carry no context of their own: the walk in
    // progress is found through s_pWalking.
    static BOOL CALLBACK ReadMemory(HANDLE, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
    {
        const BYTE* from = s_pWalking->Memory(address, size);
        if (from == nullptr) return FALSE;
        memcpy(buffer, from, size);
        if (read != nullptr) *read = size;
        return TRUE;
    }

    static inline const DumpSession* s_pWalking = nullptr;
    const Bytes& m_dump;
    HANDLE m_hSession = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0xD0D0));
    bool m_bInitialized = false;
    std::vector<LoadedImage> m_images;
};

// Our functions that a dump of a waiting server must name, and what their
// frame's source line holds (read from the source: no line number is
// written down twice).
struct OurFunction {
    const char* name;
    const char* file;
    const char* lineHolds;
};
const OurFunction kOurFunctions[] = {{"RunMessageLoop", "serverapp.cpp", "GetMessageW"},
                                     {"WinMain", "main.cpp", "RunServer("}};

bool Names(const Frame& frame, const OurFunction& ours)
{
    const size_t length = strlen(ours.name);
    return frame.function.size() >= length && frame.function.compare(frame.function.size() - length, length, ours.name) == 0;
}

// The frame's file is the function's, and its line holds the call.
bool Locates(const Frame& frame, const OurFunction& ours)
{
    const std::string file = frame.file.substr(frame.file.find_last_of("\\/") + 1);
    if (!Names(frame, ours) || file != ours.file || frame.dwLine == 0) return false;
    std::ifstream source((std::wstring(Q5_SOURCE_DIR_W) + L"\\src\\server\\" + std::wstring(file.begin(), file.end())).c_str());
    std::string text;
    for (DWORD i = 0; i < frame.dwLine && std::getline(source, text); ++i) {
    }
    return text.find(ours.lineHolds) != std::string::npos;
}

TEST(DumpSymbolsTest, ServerFramesResolveWithTheirOwnPdbOnly)
{
    const std::wstring store = Q5_OUT_SYMBOLS_W;
    const std::wstring name = q5e2e::ServerExe(q5e2e::kOwnBits);
    const StoreEntries entries = StoreEntriesOf(ReadBytes(q5e2e::OutBin(name.c_str())), name);
    ASSERT_FALSE(entries.pdb.empty()) << "out/bin's " << Narrow(name) << " names no PDB (no CodeView record)";
    for (const std::wstring& entry : {entries.image, entries.pdb}) {
        ASSERT_TRUE(q5e2e::FileExists(store + L"\\" + entry)) << "the symbol store " << Narrow(store) << " lacks " << Narrow(entry);
    }

    // The server runs from a folder that is gone when the dump is read, as
    // on the customer's machine: its image can come from the store only.
    const std::wstring customer = TempFolder(L"q5customer");
    const std::wstring running = customer + L"\\" + name;
    const std::wstring dumpFile = customer + L"\\server.dmp";
    ASSERT_TRUE(CopyFileW(q5e2e::OutBin(name.c_str()).c_str(), running.c_str(), FALSE));
    {
        q5e2e::ServerProcess server(running);
        ASSERT_TRUE(server.Started());
        const std::wstring writer = L"\"" Q5_DUMPWRITER_W L"\" " + std::to_wstring(server.Id()) + L" \"" + dumpFile + L"\"";
        ASSERT_EQ(q5e2e::RunToEnd(writer, 120000), 0) << "q5dumpwriter failed";
    }
    ASSERT_TRUE(DeleteFileW(running.c_str()));

    // The same store entries, with another build's PDB in the server's GUID
    // folder.
    const std::wstring otherStore = TempFolder(L"q5otherstore");
    for (const std::wstring& entry : {entries.image, entries.pdb}) {
        SHCreateDirectoryExW(nullptr, Folder(otherStore + L"\\" + entry).c_str(), nullptr);
    }
    ASSERT_TRUE(CopyFileW((store + L"\\" + entries.image).c_str(), (otherStore + L"\\" + entries.image).c_str(), FALSE));
    ASSERT_TRUE(WriteOtherBuildsPdb(store + L"\\" + entries.pdb, otherStore + L"\\" + entries.pdb));

    // Both rows look up the return addresses of the first row's walk: the
    // second must not name them, however far its own walk would get.
    struct StoreRow {
        const char* what;
        std::wstring store;
        bool ourNames;
    };
    const StoreRow rows[] = {{"its own PDB", store, true}, {"another build's PDB", otherStore, false}};
    const Bytes dump = ReadBytes(dumpFile);
    std::vector<DWORD64> pcs;
    for (const StoreRow& row : rows) {
        DumpSession session(dump, row.store);
        if (pcs.empty()) pcs = session.WalkMainThread();
        ASSERT_FALSE(pcs.empty()) << "no stack walked";
        printf("Main thread of %s, with %s:\n", Narrow(name).c_str(), row.what);
        std::vector<Frame> frames;
        for (size_t i = 0; i < pcs.size(); ++i) {
            const Frame frame = session.Resolve(pcs[i], i > 0);
            printf("  #%-2u %016llx %s!%s %s:%lu\n", static_cast<unsigned>(i), static_cast<unsigned long long>(frame.qwPc),
                   session.ModuleOf(frame.qwPc).c_str(), frame.function.c_str(), frame.file.c_str(), frame.dwLine);
            frames.push_back(frame);
        }
        fflush(stdout);
        for (const OurFunction& ours : kOurFunctions) {
            bool named = false;
            bool located = false;
            for (const Frame& frame : frames) {
                named = named || Names(frame, ours);
                located = located || Locates(frame, ours);
            }
            EXPECT_EQ(named, row.ourNames) << ours.name << " with " << row.what;
            EXPECT_EQ(located, row.ourNames) << ours.name << " in " << ours.file << " with " << row.what;
        }
    }
}

}  // namespace
