// The server imports the Setup API, the shell, the shell's registry calls
// and the COM port database through delay-import tables, which dlltool
// makes from our own lists of the functions called (ondemand-*.def). Most
// activations call none of those functions, and loading the libraries (and
// what they load in turn) at every start-up would cost each activation for
// nothing. An operation binds a table before its first call into the
// library, so the thunks' own helper never has to load anything.
#include "ondemand.h"

#include <windows.h>
#include <delayimp.h>
#include <string.h>

#include <utility>

#include "handles.h"
#include "pathbuild.h"
#include "trace.h"

// ld does not enter the tables in the image's header: they are reached by
// the symbols that dlltool names after each library file.
extern "C" const ImgDelayDescr g_setupApiImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_setupapi_a");
extern "C" const ImgDelayDescr g_shell32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_shell32_a");
extern "C" const ImgDelayDescr g_shlwApiImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_shlwapi_a");
extern "C" const ImgDelayDescr g_msPortsImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libq5ondemand_msports_a");
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The thunks of a delay-import table call this for a function whose slot is
// still unbound; it replaces the C runtime's helper.
extern "C" FARPROC WINAPI __delayLoadHelper2(const ImgDelayDescr* pImports, FARPROC* pSlot);

namespace {

struct OnDemandLibrary {
    const ImgDelayDescr* pImports;
    q5::UniqueLibrary module;  // valid once every slot of the table is bound
};

// In the order of q5::SystemLibrary. A bound library stays until the
// process ends: its functions are in the slots.
OnDemandLibrary g_aLibraries[] = {
    {&g_setupApiImports, {}}, {&g_shell32Imports, {}}, {&g_shlwApiImports, {}}, {&g_msPortsImports, {}}};

template <typename T>
T* AtRva(DWORD rva)
{
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(&__ImageBase) + rva);
}

// The table's library name, our own and plain ASCII, as wide text; false
// for a name that does not fit.
bool WideDllName(const ImgDelayDescr& imports, wchar_t (&name)[MAX_PATH])
{
    const char* dllName = AtRva<const char>(imports.rvaDLLName);
    for (size_t i = 0; i < MAX_PATH; ++i) {
        name[i] = static_cast<unsigned char>(dllName[i]);
        if (dllName[i] == '\0') return true;
    }
    return false;
}

// Calls visit(name, slot) for each function of the table until it returns
// false; false then. A function imported by number gets its ordinal as name.
template <typename Visit>
bool ForEachImport(const ImgDelayDescr& imports, Visit visit)
{
    auto* names = AtRva<IMAGE_THUNK_DATA>(imports.rvaINT);
    auto* slots = AtRva<FARPROC>(imports.rvaIAT);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        LPCSTR name = IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                          ? MAKEINTRESOURCEA(IMAGE_ORDINAL(names->u1.Ordinal))
                          : AtRva<IMAGE_IMPORT_BY_NAME>(static_cast<DWORD>(names->u1.AddressOfData))->Name;
        if (!visit(name, slots)) return false;
    }
    return true;
}

// Where the loader knows LOAD_LIBRARY_SEARCH_SYSTEM32 (Windows 8, and 7 with
// the loader update that also brought AddDllDirectory), the library's own
// imports come from the system folder only. Windows 7 without that update
// refuses the flag; there LOAD_WITH_ALTERED_SEARCH_PATH searches them from
// the library's own folder, the system folder, first and then the Windows
// folder: the program's folder is never searched, and a system library's
// imports are all found before the current folder would be.
DWORD DependencySearch()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    bool known = kernel != nullptr && GetProcAddress(kernel, "AddDllDirectory") != nullptr;
    return known ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
}

// By full path from the system folder: the server runs elevated, and
// neither the current folder nor the program's may supply a library. That
// covers the library and its own imports only; what it loads by name later
// (class installers, the shell's helpers) follows the process's default
// search, which the server limits to the system folder at start-up.
q5::UniqueLibrary LoadFromSystemFolder(const ImgDelayDescr& imports)
{
    wchar_t name[MAX_PATH];
    if (!WideDllName(imports, name)) return q5::UniqueLibrary();

    wchar_t system[MAX_PATH];
    wchar_t path[MAX_PATH];
    UINT chars = GetSystemDirectoryW(system, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH || !q5::BuildPath(path, {system, L"\\", name})) return q5::UniqueLibrary();
    return q5::UniqueLibrary(LoadLibraryExW(path, nullptr, DependencySearch()));
}

void WriteSlot(FARPROC* slot, FARPROC function)
{
    DWORD protection = 0;
    BOOL changed = VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
    *slot = function;
    if (changed) VirtualProtect(slot, sizeof(*slot), protection, &protection);
}

// Every function is looked up before any slot is written, so a library that
// lacks one binds nothing and is let go again.
bool Bind(OnDemandLibrary& library)
{
    if (library.module) return true;
    q5::UniqueLibrary module = LoadFromSystemFolder(*library.pImports);
    if (!module) return false;
    HMODULE handle = module.Get();
    if (!ForEachImport(*library.pImports, [handle](LPCSTR name, FARPROC*) { return GetProcAddress(handle, name) != nullptr; })) {
        return false;
    }
    ForEachImport(*library.pImports, [handle](LPCSTR name, FARPROC* slot) {
        WriteSlot(slot, GetProcAddress(handle, name));
        return true;
    });
    library.module = std::move(module);
    return true;
}

}  // namespace

// Every operation binds its library before its first call into it, so on
// the server's paths this never runs; should a call come first all the
// same, the library is bound here, from the system folder as always. One
// that cannot be loaded leaves no sound way on (a function of unknown
// arguments cannot be answered for), so the server then ends, with a trace
// line, rather than run code that is not there.
extern "C" FARPROC WINAPI __delayLoadHelper2(const ImgDelayDescr* pImports, FARPROC* pSlot)
{
    for (OnDemandLibrary& library : g_aLibraries) {
        if (library.pImports == pImports && Bind(library)) return *pSlot;
    }
    wchar_t name[MAX_PATH] = L"";
    WideDllName(*pImports, name);
    LogTrace(L"Cann't load %s\n", name);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(E_FAIL));
    return nullptr;
}

namespace q5 {

bool LoadSystemLibrary(SystemLibrary library)
{
    return Bind(g_aLibraries[static_cast<size_t>(library)]);
}

}  // namespace q5
