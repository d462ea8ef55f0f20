#include "msports_testing.h"

#include <gtest/gtest.h>

#include "bitness.h"
#include "comdb_layout.h"
#include "handles.h"
#include "msports_paths.h"

namespace q5test {
namespace {

bool InstallStandIn()
{
    wchar_t target[MAX_PATH];
    UINT length = GetSystemDirectoryW(target, MAX_PATH);
    if (length == 0 || length + 13 >= MAX_PATH) return false;
    wcscat(target, L"\\msports.dll");
    return CopyFileW(Q5_MSPORTS_STANDIN_W, target, FALSE) != FALSE;
}

constexpr const wchar_t* kRunAgainVariable = L"Q5_MSPORTS_STANDIN_RUN";

int RunSelfAgain()
{
    SetEnvironmentVariableW(kRunAgainVariable, L"1");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        fprintf(stderr, "cannot run the tests again with the msports stand-in: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

q5::UniqueRegKey OpenArbiterKey()
{
    q5::UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, q5comdb::kArbiterKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                    key.Put(), nullptr);
    return key;
}

std::vector<BYTE> ReadBits()
{
    std::vector<BYTE> bits(q5comdb::kMaxPorts / 8);
    DWORD bytes = static_cast<DWORD>(bits.size());
    q5::UniqueRegKey key = OpenArbiterKey();
    if (!key || RegQueryValueExW(key.Get(), q5comdb::kMapValue, nullptr, nullptr, bits.data(), &bytes) != ERROR_SUCCESS)
        bytes = 0;
    bits.resize(bytes);
    return bits;
}

}  // namespace

bool InstallMsportsStandIn(int bits)
{
    std::wstring source = BuildDir(bits) + L"\\tests\\platform\\bin\\msports.dll";
    std::wstring target = SystemFolder(bits) + L"\\msports.dll";
    return CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

bool IsMsportsStandInLoaded()
{
    HMODULE module = GetModuleHandleW(L"msports.dll");
    return module != nullptr && GetProcAddress(module, "Q5MsportsStandIn") != nullptr;
}

int RunTestsWithMsportsStandIn(int argc, char** argv)
{
    if (!IsMsportsStandInLoaded()) {
        // The second run has the installed copy or nothing: never a third.
        if (GetEnvironmentVariableW(kRunAgainVariable, nullptr, 0) != 0) {
            fprintf(stderr, "the system's msports.dll was loaded instead of the stand-in in the system directory\n");
            return 1;
        }
        if (!InstallStandIn()) {
            fprintf(stderr, "cannot copy the msports stand-in into the system directory: %lu\n", GetLastError());
            return 1;
        }
        // Code that loads msports.dll only when it first needs it gets the
        // stand-in from the system directory now.
        if (GetModuleHandleW(L"msports.dll") != nullptr) return RunSelfAgain();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

std::vector<DWORD> TakenComPorts()
{
    std::vector<BYTE> bits = ReadBits();
    std::vector<DWORD> taken;
    for (DWORD port = 1; port <= bits.size() * 8; ++port)
        if (q5comdb::IsTaken(bits.data(), port)) taken.push_back(port);
    return taken;
}

DWORD ComPortCount()
{
    DWORD count = static_cast<DWORD>(ReadBits().size() * 8);
    return count < q5comdb::kDefaultPorts ? q5comdb::kDefaultPorts : count;
}

void SetTakenComPorts(const std::vector<DWORD>& taken, DWORD portCount)
{
    std::vector<BYTE> bits(portCount / 8);
    for (DWORD port : taken) q5comdb::SetTaken(bits.data(), port, true);
    q5::UniqueRegKey key = OpenArbiterKey();
    ASSERT_TRUE(key);
    ASSERT_EQ(RegSetValueExW(key.Get(), q5comdb::kMapValue, 0, REG_BINARY, bits.data(), static_cast<DWORD>(bits.size())),
              ERROR_SUCCESS);
}

void SetComDatabaseRefusesOpen(bool refuse, int bits)
{
    q5::UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, q5comdb::kControlKey, 0, nullptr, 0, KEY_SET_VALUE | RegistryView(bits),
                              nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    DWORD value = refuse ? 1 : 0;
    ASSERT_EQ(RegSetValueExW(key.Get(), q5comdb::kRefuseOpenValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof(value)),
              ERROR_SUCCESS);
}

}  // namespace q5test
