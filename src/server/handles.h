// Owners for the platform's handles: one line per kind, released on every path.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

namespace q5 {

// Owns a value of type T that is released by Close() unless it equals the
// invalid value of its kind.
template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueResource(T value) noexcept : m_value(value) {}
    ~UniqueResource() { Reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.Detach()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) Reset(other.Detach());
        return *this;
    }

    T Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // For out-parameters of creating calls; releases what was held before.
    T* Put() noexcept
    {
        Reset();
        return &m_value;
    }

    T Detach() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    void Reset(T value = Traits::Invalid()) noexcept
    {
        T old = std::exchange(m_value, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

private:
    T m_value;
};

struct FileHandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::FindClose(h); }
};
struct DevInfoTraits {
    static HDEVINFO Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HDEVINFO h) noexcept { ::SetupDiDestroyDeviceInfoList(h); }
};
struct InfTraits {
    static HINF Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HINF h) noexcept { ::SetupCloseInfFile(h); }
};
// Registry keys opened through the Setup API report failure as
// INVALID_HANDLE_VALUE, the registry's own calls leave null.
struct RegKeyTraits {
    static HKEY Invalid() noexcept { return nullptr; }
    static void Close(HKEY h) noexcept
    {
        if (h != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) ::RegCloseKey(h);
    }
};
struct LibraryTraits {
    static HMODULE Invalid() noexcept { return nullptr; }
    static void Close(HMODULE h) noexcept { ::FreeLibrary(h); }
};
struct KernelHandleTraits {
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};

using UniqueFileHandle = UniqueResource<HANDLE, FileHandleTraits>;   // snapshots, files
using UniqueFindHandle = UniqueResource<HANDLE, FindHandleTraits>;
using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;     // processes, threads
using UniqueDevInfo = UniqueResource<HDEVINFO, DevInfoTraits>;
using UniqueInf = UniqueResource<HINF, InfTraits>;
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueLibrary = UniqueResource<HMODULE, LibraryTraits>;

// Wraps a key returned by SetupDiOpenDevRegKey/SetupDiOpenClassRegKey, which
// signal failure with INVALID_HANDLE_VALUE rather than null.
inline UniqueRegKey AdoptSetupKey(HKEY key) noexcept
{
    return key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) ? UniqueRegKey() : UniqueRegKey(key);
}

}  // namespace q5
