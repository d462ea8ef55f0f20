#include "methods.h"

#include <wchar.h>

#include <utility>

namespace q5dmctl {
namespace {

// An interface parameter's type as the command line takes it, and its value
// from a parsed argument.
template <typename T>
struct Typed;
template <>
struct Typed<const wchar_t*> {
    static constexpr ParamType kType = ParamType::String;
    static const wchar_t* From(const Argument& argument) { return argument.text; }
};
template <>
struct Typed<LONG> {
    static constexpr ParamType kType = ParamType::Long;
    static LONG From(const Argument& argument) { return argument.number; }
};

// A method's parameter types, its bare call and its call through the client
// library all follow from its slot in the interface; the client library's
// member of the same name takes the same arguments and then a deadline.
template <auto pfnSlot, auto pfnClient, typename Slot = decltype(pfnSlot)>
struct Bound;
template <auto pfnSlot, auto pfnClient, typename... Args>
struct Bound<pfnSlot, pfnClient, HRESULT (STDMETHODCALLTYPE IQ5DMService::*)(Args...)> {
    static constexpr int kCount = sizeof...(Args);
    static constexpr ParamType kTypes[kCount + 1] = {Typed<Args>::kType..., ParamType::String};

    static HRESULT Invoke(IQ5DMService* service, const Argument* args)
    {
        return InvokeWith(service, args, std::index_sequence_for<Args...>());
    }
    static q5dm::Summary Call(q5dm::CClient& client, const Argument* args)
    {
        return CallWith(client, args, std::index_sequence_for<Args...>());
    }

private:
    template <size_t... Index>
    static HRESULT InvokeWith(IQ5DMService* service, const Argument* args, std::index_sequence<Index...>)
    {
        return (service->*pfnSlot)(Typed<Args>::From(args[Index])...);
    }
    template <size_t... Index>
    static q5dm::Summary CallWith(q5dm::CClient& client, const Argument* args, std::index_sequence<Index...>)
    {
        return (client.*pfnClient)(Typed<Args>::From(args[Index])..., q5dm::kDefaultDeadline).Summarize();
    }
};

// One method: the two members it calls and its parameters' names, one per
// parameter of the slot.
template <auto pfnSlot, auto pfnClient, typename... Names>
constexpr Method Entry(const wchar_t* name, Names... paramNames)
{
    using B = Bound<pfnSlot, pfnClient>;
    static_assert(sizeof...(Names) == B::kCount && B::kCount <= kMaxParams, "a name for every parameter");
    const char* names[kMaxParams + 1] = {paramNames..., nullptr};
    Method method{name, B::kCount, {}, &B::Invoke, &B::Call};
    for (int i = 0; i < B::kCount; ++i) method.params[i] = Param{names[i], B::kTypes[i]};
    return method;
}

using S = IQ5DMService;
using C = q5dm::CClient;

const Method kMethods[] = {
    Entry<&S::InstallDriver, &C::InstallDriver>(L"InstallDriver", "deviceInstanceId", "infPath", "noFileCopy"),
    Entry<&S::RemoveDriver, &C::RemoveDriver>(L"RemoveDriver", "deviceInstanceId"),
    Entry<&S::KillProcessByName, &C::KillProcessByName>(L"KillProcessByName", "processName"),
    Entry<&S::PatchUninstall, &C::PatchUninstall>(L"PatchUninstall", "uninstallKey", "uninstallString"),
    Entry<&S::BackupDriver, &C::BackupDriver>(L"BackupDriver", "infName", "subFolder", "infCopyPath", "backupRoot"),
    Entry<&S::CleanNotInstalled, &C::CleanNotInstalled>(L"CleanNotInstalled", "className", "usbVariant"),
    Entry<&S::CmdLine, &C::CmdLine>(L"CmdLine", "file", "parameters", "directory"),
    Entry<&S::SyncExec, &C::SyncExec>(L"SyncExec", "commandLine", "currentDirectory"),
    Entry<&S::DeleteRegKey, &C::DeleteRegKey>(L"DeleteRegKey", "rootName", "subKey"),
    Entry<&S::ReserveComPortsBelow, &C::ReserveComPortsBelow>(L"ReserveComPortsBelow", "portNumber"),
    Entry<&S::RestoreComPorts, &C::RestoreComPorts>(L"RestoreComPorts"),
    Entry<&S::ClaimComPort, &C::ClaimComPort>(L"ClaimComPort", "portNumber"),
    Entry<&S::ReleaseComPort, &C::ReleaseComPort>(L"ReleaseComPort", "portNumber"),
    Entry<&S::isDeviceWORable, &C::isDeviceWORable>(L"isDeviceWORable", "deviceInstanceId"),
    Entry<&S::setWOREnabled, &C::setWOREnabled>(L"setWOREnabled", "deviceInstanceId", "enable"),
    Entry<&S::setSuspendAllowed, &C::setSuspendAllowed>(L"setSuspendAllowed", "deviceInstanceId", "allow"),
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
