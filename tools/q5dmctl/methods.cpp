#include "methods.h"

#include <wchar.h>

namespace q5dmctl {
namespace {

constexpr ParamType S = ParamType::String;
constexpr ParamType L = ParamType::Long;

const Method kMethods[] = {
    {L"InstallDriver", 3, {{"deviceInstanceId", S}, {"infPath", S}, {"noFileCopy", L}},
     [](IQ5DMService* s, const Argument* a) { return s->InstallDriver(a[0].text, a[1].text, a[2].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.InstallDriver(a[0].text, a[1].text, a[2].number).Summarize(); }},
    {L"RemoveDriver", 1, {{"deviceInstanceId", S}},
     [](IQ5DMService* s, const Argument* a) { return s->RemoveDriver(a[0].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.RemoveDriver(a[0].text).Summarize(); }},
    {L"KillProcessByName", 1, {{"processName", S}},
     [](IQ5DMService* s, const Argument* a) { return s->KillProcessByName(a[0].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.KillProcessByName(a[0].text).Summarize(); }},
    {L"PatchUninstall", 2, {{"uninstallKey", S}, {"uninstallString", S}},
     [](IQ5DMService* s, const Argument* a) { return s->PatchUninstall(a[0].text, a[1].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.PatchUninstall(a[0].text, a[1].text).Summarize(); }},
    {L"BackupDriver", 4, {{"infName", S}, {"subFolder", S}, {"infCopyPath", S}, {"backupRoot", S}},
     [](IQ5DMService* s, const Argument* a) { return s->BackupDriver(a[0].text, a[1].text, a[2].text, a[3].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.BackupDriver(a[0].text, a[1].text, a[2].text, a[3].text).Summarize(); }},
    {L"CleanNotInstalled", 2, {{"className", S}, {"usbVariant", L}},
     [](IQ5DMService* s, const Argument* a) { return s->CleanNotInstalled(a[0].text, a[1].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.CleanNotInstalled(a[0].text, a[1].number).Summarize(); }},
    {L"CmdLine", 3, {{"file", S}, {"parameters", S}, {"directory", S}},
     [](IQ5DMService* s, const Argument* a) { return s->CmdLine(a[0].text, a[1].text, a[2].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.CmdLine(a[0].text, a[1].text, a[2].text).Summarize(); }},
    {L"SyncExec", 2, {{"commandLine", S}, {"currentDirectory", S}},
     [](IQ5DMService* s, const Argument* a) { return s->SyncExec(a[0].text, a[1].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.SyncExec(a[0].text, a[1].text).Summarize(); }},
    {L"DeleteRegKey", 2, {{"rootName", S}, {"subKey", S}},
     [](IQ5DMService* s, const Argument* a) { return s->DeleteRegKey(a[0].text, a[1].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.DeleteRegKey(a[0].text, a[1].text).Summarize(); }},
    {L"ReserveComPortsBelow", 1, {{"portNumber", L}},
     [](IQ5DMService* s, const Argument* a) { return s->ReserveComPortsBelow(a[0].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.ReserveComPortsBelow(a[0].number).Summarize(); }},
    {L"RestoreComPorts", 0, {},
     [](IQ5DMService* s, const Argument*) { return s->RestoreComPorts(); },
     [](q5dm::CClient& c, const Argument*) { return c.RestoreComPorts().Summarize(); }},
    {L"ClaimComPort", 1, {{"portNumber", L}},
     [](IQ5DMService* s, const Argument* a) { return s->ClaimComPort(a[0].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.ClaimComPort(a[0].number).Summarize(); }},
    {L"ReleaseComPort", 1, {{"portNumber", L}},
     [](IQ5DMService* s, const Argument* a) { return s->ReleaseComPort(a[0].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.ReleaseComPort(a[0].number).Summarize(); }},
    {L"isDeviceWORable", 1, {{"deviceInstanceId", S}},
     [](IQ5DMService* s, const Argument* a) { return s->isDeviceWORable(a[0].text); },
     [](q5dm::CClient& c, const Argument* a) { return c.isDeviceWORable(a[0].text).Summarize(); }},
    {L"setWOREnabled", 2, {{"deviceInstanceId", S}, {"enable", L}},
     [](IQ5DMService* s, const Argument* a) { return s->setWOREnabled(a[0].text, a[1].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.setWOREnabled(a[0].text, a[1].number).Summarize(); }},
    {L"setSuspendAllowed", 2, {{"deviceInstanceId", S}, {"allow", L}},
     [](IQ5DMService* s, const Argument* a) { return s->setSuspendAllowed(a[0].text, a[1].number); },
     [](q5dm::CClient& c, const Argument* a) { return c.setSuspendAllowed(a[0].text, a[1].number).Summarize(); }},
};

}  // namespace

const Method* Methods() { return kMethods; }
int MethodCount() { return static_cast<int>(sizeof(kMethods) / sizeof(kMethods[0])); }

const Method* FindMethod(const wchar_t* name)
{
    for (const Method& method : kMethods) {
        if (wcscmp(method.name, name) == 0) return &method;
    }
    return nullptr;
}

}  // namespace q5dmctl
