// The client library against the real servers, through the registered
// proxy/stub libraries: a server that another activation ends, a reservation
// lost with its server, a deadline. A test program of either bitness and a
// server of either bitness: the four pairs.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "children_testing.h"
#include "e2e_fixture.h"
#include "msports_testing.h"
#include "q5dm_client.h"

using q5dm::CClient;
using q5dm::Failure;

namespace {

const wchar_t kForever[] = L"q5child_forever.exe";

// Every activation of the client meets a server of the test's bitness that
// was started here as COM would start it: Wine starts the server of the
// client's own registry view whatever bitness is asked for.
class CStartedServers {
public:
    explicit CStartedServers(int bits) : m_bits(bits) {}
    q5dm::ActivateFn Seam()
    {
        return [this](const q5dm::ActivationRequest&, IQ5DMService** ppService) { return Activate(ppService); };
    }
    // An activation that does not take the lease, as a program without the
    // library makes it: its server's start ends the one running.
    HRESULT Activate(IQ5DMService** ppService)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_servers.push_back(std::make_unique<q5e2e::ServerProcess>(q5e2e::OutBin(q5e2e::ServerExe(m_bits))));
            if (!m_servers.back()->Started()) return E_UNEXPECTED;
        }
        return q5e2e::ActivateService(m_bits, ppService);
    }
    q5e2e::ServerProcess& Server(size_t n) { return *m_servers.at(n); }
    size_t Count() const { return m_servers.size(); }

private:
    int m_bits;
    std::mutex m_lock;
    std::vector<std::unique_ptr<q5e2e::ServerProcess>> m_servers;
};

class ClientAcrossProcesses : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite()
    {
        s_bReady = q5e2e::RegisterServerAndProxy(s_why);
        if (s_bReady && !(q5test::InstallMsportsStandIn(64) && (!q5test::WhyBitsCannotRun(32).empty() || q5test::InstallMsportsStandIn(32)))) {
            s_bReady = false;
            s_why = "cannot install the msports stand-ins";
        }
    }
    void SetUp() override
    {
        if (!s_bReady) GTEST_SKIP() << s_why;
        if (std::string why = q5test::WhyBitsCannotRun(Bits()); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(q5e2e::WaitForNoServers()) << "a server of an earlier test still runs";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_bComReady = true;
        m_servers = std::make_unique<CStartedServers>(Bits());
        q5dm::OpenOptions options;
        options.pfnActivate = m_servers->Seam();
        q5dm::OpenResult opened = CClient::Open(options);
        ASSERT_TRUE(opened.Opened()) << q5dm::FailureName(opened.eFailure) << " " << q5dm::HresultName(opened.hr);
        m_client = std::move(opened.client);
    }
    void TearDown() override
    {
        q5test::TerminateProcesses(kForever);
        m_client.Close();
        EXPECT_TRUE(q5e2e::WaitForNoServers()) << "a server was left running";
        m_servers.reset();
        if (m_bComReady) CoUninitialize();
    }
    int Bits() const { return GetParam(); }
    // Another program's activation; returns once our server has ended.
    void EndOurServerByAnotherActivation(size_t ours)
    {
        IQ5DMService* pOther = nullptr;
        ASSERT_EQ(m_servers->Activate(&pOther), S_OK);
        EXPECT_TRUE(m_servers->Server(ours).WaitForExit(30000)) << "the other activation did not end our server";
        pOther->Release();
    }

    inline static bool s_bReady = false;
    inline static std::string s_why;
    bool m_bComReady = false;
    std::unique_ptr<CStartedServers> m_servers;
    CClient m_client;
};

std::wstring ForeverCommandLine() { return L"\"" + q5test::ChildPath(kForever) + L"\""; }

bool WaitForProcess(const wchar_t* exeName)
{
    for (int i = 0; i < 600; ++i) {
        if (!q5test::FindProcesses(exeName).empty()) return true;
        Sleep(50);
    }
    return false;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Server, ClientAcrossProcesses, ::testing::Values(32, 64), q5e2e::ServerName);

TEST_P(ClientAcrossProcesses, ACallOnAServerThatAnotherActivationEndedIsRepeatedOnlyIfItDidNotRun)
{
    ASSERT_TRUE(m_client.DeleteRegKey(L"HKXX", L"Software").Is(q5dm::DeleteOutcome::NotDeleted));
    EndOurServerByAnotherActivation(0);
    q5dm::Result<q5dm::DeleteOutcome> again = m_client.DeleteRegKey(L"HKXX", L"Software");
    EXPECT_TRUE(again.Is(q5dm::DeleteOutcome::NotDeleted))
        << q5dm::FailureName(again.eFailure) << " " << q5dm::HresultName(again.hr);
    EXPECT_TRUE(again.bRepeated);
    EXPECT_EQ(m_client.Reconnects(), 1u);

    // Ended in the middle of a SyncExec: it may have run and is not repeated.
    std::thread other([this] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (WaitForProcess(kForever)) EndOurServerByAnotherActivation(2);
        CoUninitialize();
    });
    q5dm::Result<q5dm::ExecOutcome> exec = m_client.SyncExec(ForeverCommandLine().c_str(), L"C:\\");
    other.join();
    EXPECT_EQ(exec.eFailure, Failure::ServerLostMayHaveRun) << q5dm::HresultName(exec.hr);
    EXPECT_FALSE(exec.bRepeated);
    EXPECT_EQ(q5test::FindProcesses(kForever).size(), 1u) << "the program was started again";
}

TEST_P(ClientAcrossProcesses, AReservationLostWithItsServerIsReported)
{
    q5test::SetComDatabaseRefusesOpen(false, Bits());
    q5test::SetTakenComPorts({1});
    ASSERT_TRUE(m_client.ReserveComPortsBelow(3).Is(q5dm::ReserveOutcome::Reserved));
    EndOurServerByAnotherActivation(0);
    q5dm::Result<q5dm::RestoreOutcome> restored = m_client.RestoreComPorts();
    EXPECT_TRUE(restored.Is(q5dm::RestoreOutcome::ReservationLost))
        << q5dm::FailureName(restored.eFailure) << " " << q5dm::HresultName(restored.hr);
    EXPECT_EQ(q5dm::ClassifyFailure(restored.hr), Failure::ServerLostDidNotRun) << q5dm::HresultName(restored.hr);
    // The claims of the lost reservation stay; nothing restored them.
    EXPECT_EQ(q5test::TakenComPorts(), (std::vector<DWORD>{1, 2}));
    q5test::SetTakenComPorts({});
}

TEST_P(ClientAcrossProcesses, ACallPastItsDeadlineGivesControlBack)
{
    const DWORD kDeadlineMs = 2000;
    q5dm::Result<q5dm::ExecOutcome> exec = m_client.SyncExec(ForeverCommandLine().c_str(), L"C:\\", kDeadlineMs);
    EXPECT_EQ(exec.eFailure, Failure::TimedOut) << q5dm::HresultName(exec.hr);
    // The server goes on waiting for the program: the call came back before
    // its end. A call behind it waits at most its own deadline, and no other
    // server is started to end the busy one.
    EXPECT_TRUE(WaitForProcess(kForever));
    EXPECT_EQ(m_client.DeleteRegKey(L"HKXX", L"Software", kDeadlineMs).eFailure, Failure::TimedOut);
    EXPECT_EQ(m_servers->Count(), 1u);
    // Once the program has ended, the same server serves the next call.
    q5test::TerminateProcesses(kForever);
    EXPECT_TRUE(m_client.DeleteRegKey(L"HKXX", L"Software").Is(q5dm::DeleteOutcome::NotDeleted));
    EXPECT_EQ(m_client.Reconnects(), 0u);
}
