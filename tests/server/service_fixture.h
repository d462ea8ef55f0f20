// A service object as the server holds one, for the tests of its operations.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include "service.h"

namespace q5test {

// Takes every message off this thread's queue; true when WM_QUIT was among
// them (the last release of a service object posts one).
inline bool DrainMessages()
{
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quit = true;
    }
    return quit;
}

// Made in a single-threaded apartment before each test and released after
// it, as the server's main thread does.
class ServiceObjectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        m_pService = CQ5DMServiceClass::Create();
        ASSERT_NE(m_pService, nullptr);
    }
    void TearDown() override
    {
        if (m_pService != nullptr) m_pService->Release();
        m_pService = nullptr;
        DrainMessages();
        CoUninitialize();
    }

    CQ5DMServiceClass* m_pService = nullptr;
};

}  // namespace q5test
