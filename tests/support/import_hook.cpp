#include "import_hook.h"

#include <gtest/gtest.h>
#include <delayimp.h>
#include <string.h>

#include "ondemand.h"

// The server's tables of the libraries it loads on demand, as it names them.
extern "C" const ImgDelayDescr g_setupApiImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_setupapi_a");
extern "C" const ImgDelayDescr g_shell32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_shell32_a");
extern "C" const ImgDelayDescr g_shlwApiImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_shlwapi_a");
extern "C" const ImgDelayDescr g_msPortsImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_msports_a");

namespace q5test {
namespace {

template <typename T>
T* AtRva(BYTE* base, DWORD rva)
{
    return reinterpret_cast<T*>(base + rva);
}

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), oldProtect, &oldProtect);
}

// The slot of functionName among a table's names and slots (by RVA).
void** FindInTable(BYTE* base, DWORD namesRva, DWORD slotsRva, const char* functionName)
{
    auto* names = AtRva<IMAGE_THUNK_DATA>(base, namesRva);
    auto* slots = AtRva<IMAGE_THUNK_DATA>(base, slotsRva);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        auto* byName = AtRva<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(names->u1.AddressOfData));
        if (strcmp(reinterpret_cast<char*>(byName->Name), functionName) == 0) {
            return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void** FindLoadTimeSlot(BYTE* base, const char* dllName, const char* functionName)
{
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = AtRva<IMAGE_NT_HEADERS>(base, dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return nullptr;

    for (auto* desc = AtRva<IMAGE_IMPORT_DESCRIPTOR>(base, dir.VirtualAddress); desc->Name != 0; ++desc) {
        if (_stricmp(AtRva<char>(base, desc->Name), dllName) != 0) continue;
        void** slot = FindInTable(base, desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk,
                                  desc->FirstThunk, functionName);
        if (slot != nullptr) return slot;
    }
    return nullptr;
}

// A library that the server loads on demand is loaded and bound first, so
// that whatever the test puts into the slot stays there.
void** FindOnDemandSlot(BYTE* base, const char* dllName, const char* functionName)
{
    struct Table {
        const ImgDelayDescr* pImports;
        q5::SystemLibrary eLibrary;
    };
    const Table tables[] = {{&g_setupApiImports, q5::SystemLibrary::SetupApi},
                            {&g_shell32Imports, q5::SystemLibrary::Shell32},
                            {&g_shlwApiImports, q5::SystemLibrary::ShlwApi},
                            {&g_msPortsImports, q5::SystemLibrary::MsPorts}};
    for (const Table& table : tables) {
        if (_stricmp(AtRva<char>(base, table.pImports->rvaDLLName), dllName) != 0) continue;
        if (!q5::LoadSystemLibrary(table.eLibrary)) return nullptr;
        return FindInTable(base, table.pImports->rvaINT, table.pImports->rvaIAT, functionName);
    }
    return nullptr;
}

}  // namespace

void** FindImportSlot(const char* dllName, const char* functionName)
{
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    void** slot = FindLoadTimeSlot(base, dllName, functionName);
    return slot != nullptr ? slot : FindOnDemandSlot(base, dllName, functionName);
}

ScopedImportHook::ScopedImportHook(const char* dllName, const char* functionName, void* replacement)
{
    void** slot = FindImportSlot(dllName, functionName);
    if (slot == nullptr) {
        ADD_FAILURE() << "the test program does not import " << dllName << "!" << functionName;
        return;
    }
    m_pSlot = slot;
    m_pOriginal = *slot;
    WriteSlot(slot, replacement);
}

ScopedImportHook::~ScopedImportHook()
{
    if (m_pSlot != nullptr) WriteSlot(m_pSlot, m_pOriginal);
}

}  // namespace q5test
