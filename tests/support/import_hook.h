// Replaces a function that this test program imports from a system DLL,
// for the lifetime of one object. The code under test is linked into the
// test program, so its calls go through the program's import table, which
// is what is patched here: no switch is needed in the product. A library
// that the server loads only when an operation needs it is loaded and bound
// first, and its slot patched the same way.
//
//   ScopedImportHook hook("setupapi.dll", "SetupDiCreateDeviceInfoList",
//                         &FailingCreateDeviceInfoList);
//   auto real = hook.Original<decltype(&SetupDiCreateDeviceInfoList)>();
#pragma once

#include <windows.h>

namespace q5test {

class ScopedImportHook {
public:
    // Fails the running test (and hooks nothing) when the program does not
    // import the function from that DLL.
    ScopedImportHook(const char* dllName, const char* functionName, void* replacement);
    ~ScopedImportHook();
    ScopedImportHook(const ScopedImportHook&) = delete;
    ScopedImportHook& operator=(const ScopedImportHook&) = delete;

    bool Installed() const { return m_pSlot != nullptr; }
    template <typename F>
    F Original() const
    {
        return reinterpret_cast<F>(m_pOriginal);
    }

private:
    void** m_pSlot = nullptr;
    void* m_pOriginal = nullptr;
};

// Finds the import table slot of dllName!functionName in the main module,
// in its load-time imports or else in the server's on-demand ones.
void** FindImportSlot(const char* dllName, const char* functionName);

}  // namespace q5test
