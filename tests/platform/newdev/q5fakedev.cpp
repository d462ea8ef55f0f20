// Demo helper: makes and inspects simulated modems in a Wine prefix.
//   q5fakedev create <instance id> <hardware id> [hwkey] [drvkey]
//   q5fakedev setdword <instance id> dev|drv <value name> <number>
//   q5fakedev show <instance id> dev|drv <value name>...
// Exit code 0 on success, 1 on failure.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <windows.h>
#include <setupapi.h>

#include "fakedevice.h"

namespace {

DWORD KeyType(const wchar_t* name) { return wcscmp(name, L"drv") == 0 ? DIREG_DRV : DIREG_DEV; }

void PrintNarrow(const wchar_t* text)
{
    char buffer[1024];
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
    fputs(buffer, stdout);
}

int Create(int argc, wchar_t** argv)
{
    q5fake::FakeModem modem;
    modem.instanceId = argv[2];
    modem.hardwareId = argv[3];
    for (int i = 4; i < argc; ++i) {
        if (wcscmp(argv[i], L"hwkey") == 0) modem.hardwareKey = true;
        if (wcscmp(argv[i], L"drvkey") == 0) modem.driverKey = true;
    }
    // A demo prefix is kept between runs: its modem is made once.
    if (q5fake::DeviceExists(modem.instanceId)) {
        fputs("already present\n", stdout);
        return 0;
    }
    return q5fake::CreateFakeModem(modem) ? 0 : 1;
}

int SetDword(wchar_t** argv)
{
    DWORD value = wcstoul(argv[5], nullptr, 0);
    return q5fake::WriteDeviceValue(argv[2], KeyType(argv[3]), argv[4], REG_DWORD, &value, sizeof(value)) ? 0 : 1;
}

void ShowValue(const wchar_t* id, DWORD keyType, const wchar_t* name)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    PrintNarrow(name);
    if (!q5fake::ReadDeviceValue(id, keyType, name, &type, &data)) {
        fputs(" = (not present)\n", stdout);
    } else if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        printf(" = REG_DWORD %lu\n", *reinterpret_cast<const DWORD*>(data.data()));
    } else if (type == REG_SZ) {
        data.push_back(0);
        data.push_back(0);
        fputs(" = REG_SZ ", stdout);
        PrintNarrow(reinterpret_cast<const wchar_t*>(data.data()));
        fputs("\n", stdout);
    } else {
        printf(" = type %lu, %u bytes\n", type, static_cast<unsigned>(data.size()));
    }
}

int Show(int argc, wchar_t** argv)
{
    if (!q5fake::DeviceExists(argv[2])) {
        fputs("no such device\n", stdout);
        return 1;
    }
    for (int i = 4; i < argc; ++i) ShowValue(argv[2], KeyType(argv[3]), argv[i]);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 4 && wcscmp(argv[1], L"create") == 0) return Create(argc, argv);
    if (argc == 6 && wcscmp(argv[1], L"setdword") == 0) return SetDword(argv);
    if (argc >= 5 && wcscmp(argv[1], L"show") == 0) return Show(argc, argv);
    fputs("usage: q5fakedev create|setdword|show ...\n", stderr);
    return 2;
}
