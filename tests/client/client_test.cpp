// The client library against scripted servers handed out by its activation
// seam: no prompt, no real server, every HRESULT on demand.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "q5dm_client.h"
#include "scripted_service.h"

using q5dm::CClient;
using q5dm::Failure;
using q5dm::Summary;

namespace {

using namespace scripted;

CClient OpenScripted(const std::shared_ptr<Plan>& plan)
{
    q5dm::OpenResult opened = CClient::Open(OptionsFor(plan));
    EXPECT_TRUE(opened.Opened()) << q5dm::FailureName(opened.eFailure) << " 0x" << std::hex << opened.hr;
    return std::move(opened.client);
}

std::string Describe(const Summary& s)
{
    return s.eFailure == Failure::None ? std::string(s.pszOutcome) : std::string("failure: ") + q5dm::FailureName(s.eFailure);
}

using Invoke = std::function<Summary(CClient&)>;

// Each method with what it names S_OK, S_FALSE and E_FAIL (null: no
// success at all, S_FALSE least of all).
struct MethodCall {
    const char* name;
    Invoke invoke;
    const char* outcomes[3];
};

const MethodCall kAllMethods[] = {
    {"InstallDriver", [](CClient& c) { return c.InstallDriver(L"ROOT\\X\\0", L"C:\\x.inf", 0).Summarize(); }, {"done", nullptr, "failed"}},
    {"RemoveDriver", [](CClient& c) { return c.RemoveDriver(L"ROOT\\X\\0").Summarize(); }, {"done", nullptr, "failed"}},
    {"KillProcessByName", [](CClient& c) { return c.KillProcessByName(L"x.exe").Summarize(); }, {nullptr, nullptr, "done"}},
    {"PatchUninstall", [](CClient& c) { return c.PatchUninstall(L"Software\\X", L"x").Summarize(); }, {"done", nullptr, nullptr}},
    {"BackupDriver", [](CClient& c) { return c.BackupDriver(L"x.inf", L"s", L"C:\\c.inf", L"C:\\b").Summarize(); },
     {"done", nullptr, "failed"}},
    {"CleanNotInstalled", [](CClient& c) { return c.CleanNotInstalled(L"Modem", 0).Summarize(); }, {"done", nullptr, nullptr}},
    {"CmdLine", [](CClient& c) { return c.CmdLine(L"x.exe", L"", L"").Summarize(); }, {"started", nullptr, "not started"}},
    {"SyncExec", [](CClient& c) { return c.SyncExec(L"x.exe", L"").Summarize(); }, {"ended", nullptr, "not started"}},
    {"DeleteRegKey", [](CClient& c) { return c.DeleteRegKey(L"HKCU", L"Software\\X").Summarize(); },
     {"deleted", "not deleted", nullptr}},
    {"ReserveComPortsBelow", [](CClient& c) { return c.ReserveComPortsBelow(5).Summarize(); },
     {"database not opened", "reserved", nullptr}},
    {"RestoreComPorts", [](CClient& c) { return c.RestoreComPorts().Summarize(); }, {"restored", nullptr, nullptr}},
    {"ClaimComPort", [](CClient& c) { return c.ClaimComPort(5).Summarize(); }, {"requested", nullptr, "database not opened"}},
    {"ReleaseComPort", [](CClient& c) { return c.ReleaseComPort(5).Summarize(); }, {"requested", nullptr, "database not opened"}},
    {"isDeviceWORable", [](CClient& c) { return c.isDeviceWORable(L"ROOT\\X\\0").Summarize(); }, {nullptr, "present", "absent"}},
    {"setWOREnabled", [](CClient& c) { return c.setWOREnabled(L"ROOT\\X\\0", 1).Summarize(); }, {"done", nullptr, "failed"}},
    {"setSuspendAllowed", [](CClient& c) { return c.setSuspendAllowed(L"ROOT\\X\\0", 1).Summarize(); },
     {"done", nullptr, "failed"}},
};

const Invoke& MethodNamed(const std::string& name)
{
    for (const MethodCall& m : kAllMethods) {
        if (name == m.name) return m.invoke;
    }
    static const Invoke none;
    return none;
}

}  // namespace

TEST(ClientCalls, EachMethodNamesExactlyItsContractsAnswers)
{
    const HRESULT answers[3] = {S_OK, S_FALSE, E_FAIL};
    for (int a = 0; a < 3; ++a) {
        auto plan = std::make_shared<Plan>();
        plan->scripts = {{answers[a]}};
        CClient client = OpenScripted(plan);
        for (const MethodCall& m : kAllMethods) {
            Summary s = m.invoke(client);
            const std::string expected = m.outcomes[a] != nullptr ? m.outcomes[a] : "failure: unexpected";
            EXPECT_EQ(Describe(s), expected) << m.name << " answered 0x" << std::hex << answers[a];
            EXPECT_EQ(s.hr, answers[a]);
        }
    }
}

TEST(ClientOpen, ActivationOutcomesAreNamed)
{
    const HWND owner = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x5150));
    const struct {
        const char* name;
        q5dm::Elevation eElevation;
        bool bElevated;
        std::vector<HRESULT> activationResults;
        bool bNullObject;
        Failure eFailure;
        HRESULT hr;
        std::vector<bool> monikerPerActivation;  // also how many activations
        bool bElevationUnavailable;
    } cases[] = {
        {"declined", q5dm::Elevation::Always, false, {kDeclined}, false, Failure::Declined, kDeclined, {true}, false},
        {"elevation disabled", q5dm::Elevation::Always, true, {kElevationDisabled}, false, Failure::ElevationNotEnabled,
         kElevationDisabled, {true}, false},
        {"no moniker, always", q5dm::Elevation::Always, false, {MK_E_CANTOPENFILE}, false, Failure::ElevationNotEnabled,
         MK_E_CANTOPENFILE, {true}, false},
        {"no moniker, when needed", q5dm::Elevation::WhenNotElevated, false, {MK_E_CANTOPENFILE}, false, Failure::None, S_OK,
         {true, false}, true},
        {"elevated already", q5dm::Elevation::WhenNotElevated, true, {}, false, Failure::None, S_OK, {false}, false},
        {"no object", q5dm::Elevation::Never, false, {}, true, Failure::Unexpected, E_POINTER, {false}, false},
        {"not registered", q5dm::Elevation::Never, false, {REGDB_E_CLASSNOTREG}, false, Failure::NotRegistered,
         REGDB_E_CLASSNOTREG, {false}, false},
        {"server ended meanwhile", q5dm::Elevation::Never, false, {kServerUnavailable}, false, Failure::None, S_OK,
         {false, false}, false},
        {"server ended twice", q5dm::Elevation::Never, false, {kServerUnavailable, kCallFailed}, false,
         Failure::ServerLostMayHaveRun, kCallFailed, {false, false}, false},
    };
    for (const auto& c : cases) {
        auto plan = std::make_shared<Plan>();
        plan->activationResults = c.activationResults;
        plan->bNullObject = c.bNullObject;
        q5dm::OpenOptions options = OptionsFor(plan);
        options.eElevation = c.eElevation;
        options.hwndOwner = owner;
        options.eBits = q5dm::ServerBits::Bits32;
        const bool bElevated = c.bElevated;
        options.pfnIsElevated = [bElevated] { return bElevated; };
        q5dm::OpenResult opened = CClient::Open(options);
        EXPECT_EQ(opened.eFailure, c.eFailure) << c.name << ": " << q5dm::FailureName(opened.eFailure);
        EXPECT_EQ(opened.hr, c.hr) << c.name;
        EXPECT_EQ(opened.client.IsOpen(), c.eFailure == Failure::None) << c.name;
        EXPECT_EQ(opened.bElevationUnavailable, c.bElevationUnavailable) << c.name;
        ASSERT_EQ(plan->requests.size(), c.monikerPerActivation.size()) << c.name;
        for (size_t i = 0; i < plan->requests.size(); ++i) {
            EXPECT_EQ(plan->requests[i].bUseMoniker, c.monikerPerActivation[i]) << c.name << " activation " << i;
            EXPECT_EQ(plan->requests[i].dwClassContext, static_cast<DWORD>(CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER));
            if (plan->requests[i].bUseMoniker) {
                EXPECT_EQ(plan->requests[i].hwndOwner, owner) << c.name;
            }
        }
    }
}

// The first server answers with a transport failure, a second one (if the
// library activates it) with `then`.
TEST(ClientRecovery, RepeatsOnAFreshServerOnlyWhatCannotHarm)
{
    const struct {
        const char* method;
        HRESULT lost;
        HRESULT then;
        const char* expected;
        bool bRepeated;
    } cases[] = {
        {"SyncExec", kCallFailed, S_OK, "failure: server lost, may have run", false},
        {"CmdLine", RPC_E_SERVER_DIED, S_OK, "failure: server lost, may have run", false},
        {"DeleteRegKey", kCallFailed, S_OK, "failure: server lost, may have run", false},
        {"PatchUninstall", kCallFailed, S_OK, "done", true},
        {"KillProcessByName", RPC_E_SERVER_DIED, E_FAIL, "done", true},
        {"isDeviceWORable", kCallFailed, S_FALSE, "present", true},
        {"SyncExec", kCallFailedDne, S_OK, "ended", true},
        {"DeleteRegKey", kServerUnavailable, S_FALSE, "not deleted", true},
        {"DeleteRegKey", RPC_E_SERVER_DIED_DNE, S_OK, "deleted", true},
        {"CmdLine", RPC_E_DISCONNECTED, S_OK, "started", true},
        {"RemoveDriver", CO_E_OBJNOTCONNECTED, E_FAIL, "failed", true},
    };
    for (const auto& c : cases) {
        auto plan = std::make_shared<Plan>();
        plan->scripts = {{c.lost}, {c.then}};
        CClient client = OpenScripted(plan);
        Summary s = MethodNamed(c.method)(client);
        const std::string label = std::string(c.method) + " after " + q5dm::HresultName(c.lost);
        EXPECT_EQ(Describe(s), c.expected) << label;
        EXPECT_EQ(s.bRepeated, c.bRepeated) << label;
        EXPECT_EQ(plan->callsPerServer.size(), c.bRepeated ? 2u : 1u) << label;
        if (!c.bRepeated) {
            EXPECT_EQ(s.hr, c.lost) << label;
            // The next call gets a fresh server of its own.
            EXPECT_EQ(Describe(client.RestoreComPorts().Summarize()), "restored") << label;
            EXPECT_EQ(plan->callsPerServer.size(), 2u) << label;
            EXPECT_EQ(client.Reconnects(), 1u) << label;
        }
    }
}

// A repeat that brings no answer of its own must not turn "may have run"
// into "did not run": the application would redo what may have happened.
TEST(ClientRecovery, MayHaveRunSurvivesAFailedRepeat)
{
    const struct {
        const char* name;
        std::vector<HRESULT> activationResults;
        std::vector<std::vector<HRESULT>> scripts;
    } cases[] = {
        {"repeat did not run", {}, {{kCallFailed}, {kServerUnavailable}}},
        {"repeat's activation failed", {S_OK, REGDB_E_CLASSNOTREG}, {{kCallFailed}, {S_OK}}},
    };
    for (const auto& c : cases) {
        auto plan = std::make_shared<Plan>();
        plan->activationResults = c.activationResults;
        plan->scripts = c.scripts;
        CClient client = OpenScripted(plan);
        Summary s = MethodNamed("PatchUninstall")(client);
        EXPECT_EQ(Describe(s), "failure: server lost, may have run") << c.name;
        EXPECT_EQ(s.hr, kCallFailed) << c.name;
        EXPECT_EQ(Activations(plan), 2u) << c.name << ": the repeat was tried";
    }
}

TEST(ClientRecovery, AReservationLostWithItsServerIsReportedNotRedone)
{
    auto plan = std::make_shared<Plan>();
    plan->scripts = {{S_FALSE, kServerUnavailable}, {S_OK}};
    CClient client = OpenScripted(plan);
    EXPECT_TRUE(client.ReserveComPortsBelow(5).Is(q5dm::ReserveOutcome::Reserved));
    q5dm::Result<q5dm::DeleteOutcome> deleted = client.DeleteRegKey(L"HKCU", L"Software\\X");
    EXPECT_TRUE(deleted.Is(q5dm::DeleteOutcome::Deleted) && deleted.bRepeated);
    q5dm::Result<q5dm::RestoreOutcome> restored = client.RestoreComPorts();
    EXPECT_TRUE(restored.Is(q5dm::RestoreOutcome::ReservationLost));
    EXPECT_EQ(restored.hr, kServerUnavailable);
    EXPECT_EQ(plan->callsPerServer, (std::vector<int>{2, 1})) << "the fresh server was asked to restore";
    EXPECT_TRUE(client.RestoreComPorts().Is(q5dm::RestoreOutcome::Restored)) << "the loss is told once";
    client.Close();

    // A reservation that may have run before its server was lost.
    auto plan2 = std::make_shared<Plan>();
    plan2->scripts = {{kCallFailed}, {S_OK}};
    CClient client2 = OpenScripted(plan2);
    EXPECT_EQ(client2.ReserveComPortsBelow(5).eFailure, Failure::ServerLostMayHaveRun);
    restored = client2.RestoreComPorts();
    EXPECT_TRUE(restored.Is(q5dm::RestoreOutcome::ReservationLost));
    EXPECT_EQ(restored.hr, kCallFailed);
    EXPECT_EQ(plan2->callsPerServer, (std::vector<int>{1})) << "a server was asked to restore a map it never had";
}

TEST(ClientLease, ASecondClientWaitsAtMostItsLeaseWaitThenIsBusy)
{
    auto plan = std::make_shared<Plan>();
    CClient first = OpenScripted(plan);
    q5dm::OpenOptions options = OptionsFor(plan);
    options.dwLeaseWaitMs = 0;
    q5dm::OpenResult second = CClient::Open(options);
    EXPECT_EQ(second.eFailure, Failure::Busy);
    EXPECT_EQ(second.hr, HRESULT_FROM_WIN32(ERROR_BUSY));
    EXPECT_EQ(plan->requests.size(), 1u) << "a client without the lease activated";
    // Others may wait and release, nothing more: one with WRITE_DAC could
    // lock every client out.
    HANDLE hLease = OpenMutexW(READ_CONTROL, FALSE, L"Global\\Q5DMService.ClientLease");
    ASSERT_NE(hLease, nullptr);
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(hLease, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &pDacl, nullptr,
                              &pDescriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(pDacl, nullptr);
    EXPECT_GT(pDacl->AceCount, 0u);
    for (WORD i = 0; i < pDacl->AceCount; ++i) {
        ACE_HEADER* pAce = nullptr;
        ASSERT_TRUE(GetAce(pDacl, i, reinterpret_cast<void**>(&pAce)));
        if (pAce->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        EXPECT_EQ(reinterpret_cast<ACCESS_ALLOWED_ACE*>(pAce)->Mask, static_cast<DWORD>(SYNCHRONIZE | MUTEX_MODIFY_STATE)) << "ACE " << i;
    }
    LocalFree(pDescriptor);
    CloseHandle(hLease);

    first.Close();
    options.dwLeaseWaitMs = 10000;
    second = CClient::Open(options);
    EXPECT_TRUE(second.Opened()) << q5dm::FailureName(second.eFailure);

    CClient closed;
    EXPECT_EQ(closed.DeleteRegKey(L"HKCU", L"x").eFailure, Failure::Misuse);
}
