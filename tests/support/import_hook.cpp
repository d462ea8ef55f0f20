#include "import_hook.h"

#include <gtest/gtest.h>
#include <string.h>

#include "ondemand.h"

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

void** FindLoadTimeSlot(const char* dllName, const char* functionName)
{
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = AtRva<IMAGE_NT_HEADERS>(base, dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return nullptr;

    for (auto* desc = AtRva<IMAGE_IMPORT_DESCRIPTOR>(base, dir.VirtualAddress); desc->Name != 0; ++desc) {
        if (_stricmp(AtRva<char>(base, desc->Name), dllName) != 0) continue;
        auto* names = AtRva<IMAGE_THUNK_DATA>(base, desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk);
        auto* slots = AtRva<IMAGE_THUNK_DATA>(base, desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = AtRva<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(names->u1.AddressOfData));
            if (strcmp(reinterpret_cast<char*>(byName->Name), functionName) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

}  // namespace

void** FindImportSlot(const char* dllName, const char* functionName)
{
    void** slot = FindLoadTimeSlot(dllName, functionName);
    return slot != nullptr ? slot : q5::BoundImportSlot(dllName, functionName);
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
