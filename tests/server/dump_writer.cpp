// Writes a minidump of a running process, as a crash reporter on a
// customer's machine would: q5dumpwriter <pid> <dump file>. Exit code 0
// when the dump was written.
#include <windows.h>

#include <dbghelp.h>
#include <stdlib.h>

namespace {

struct Handle {
    HANDLE h;
    ~Handle()
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 2;
    const DWORD pid = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
    Handle process{OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid)};
    if (process.h == nullptr) return 3;
    Handle file{CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return 4;
    return MiniDumpWriteDump(process.h, pid, file.h, MiniDumpNormal, nullptr, nullptr, nullptr) ? 0 : 5;
}
