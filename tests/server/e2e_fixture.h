// The ground of the cross-process operation tests: one server of the
// parameter's bitness (32 or 64) started by hand per test, its trace in a
// file, one activation through COM and any number of calls; the trace is
// complete once the last release has ended the server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "e2e_support.h"

namespace q5e2e {

class ServerOfEitherBitness : public ::testing::TestWithParam<int> {
protected:
    static constexpr DWORD kExitWaitMs = 60000;

    static void SetUpTestSuite() { s_bReady = RegisterServerAndProxy(s_why); }
    void SetUp() override
    {
        if (!s_bReady) GTEST_SKIP() << s_why;
        if (std::string why = q5test::WhyBitsCannotRun(Bits()); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(WaitForNoServers());
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        m_bComReady = true;
        m_pServer = std::make_unique<ServerProcess>(OutBin(ServerExe(Bits())));
        ASSERT_TRUE(m_pServer->Started());
        ASSERT_EQ(ActivateService(Bits(), &m_pService), S_OK);
    }
    void TearDown() override
    {
        if (m_pService != nullptr) m_pService->Release();
        if (m_bComReady) CoUninitialize();
    }
    std::string FinishAndTrace()
    {
        m_pService->Release();
        m_pService = nullptr;
        EXPECT_TRUE(m_pServer->WaitForExit(kExitWaitMs)) << "the server did not end after the last release";
        return m_pServer->Trace();
    }
    int Bits() const { return GetParam(); }

    inline static bool s_bReady = false;
    inline static std::string s_why;
    bool m_bComReady = false;
    std::unique_ptr<ServerProcess> m_pServer;
    IQ5DMService* m_pService = nullptr;
};

// Test names end in the program that served them.
inline std::string ServerName(const ::testing::TestParamInfo<int>& info) { return "q5dmsrv" + std::to_string(info.param); }

}  // namespace q5e2e
