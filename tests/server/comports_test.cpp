#include <gtest/gtest.h>

#include <windows.h>
#include <ddk/msports.h>

#include <utility>
#include <vector>

#include "import_hook.h"
#include "msports_testing.h"
#include "service.h"
#include "service_fixture.h"
#include "trace_capture.h"

using q5test::ScopedImportHook;
using q5test::SetTakenComPorts;
using q5test::TakenComPorts;
using q5test::TraceCapture;
using Ports = std::vector<DWORD>;

int main(int argc, char** argv) { return q5test::RunTestsWithMsportsStandIn(argc, argv); }

namespace {

// What the server asked of the database, recorded on the way through.
struct DatabaseCalls {
    int opens = 0;
    int closes = 0;
    std::vector<std::pair<DWORD, BOOL>> claims;  // number, force
    Ports releases;
};
DatabaseCalls g_calls;
decltype(&ComDBOpen) g_pOpen;
decltype(&ComDBClose) g_pClose;
decltype(&ComDBClaimPort) g_pClaim;
decltype(&ComDBReleasePort) g_pRelease;

LONG WINAPI RecordOpen(HCOMDB* handle)
{
    LONG rc = g_pOpen(handle);
    if (rc == ERROR_SUCCESS) ++g_calls.opens;
    return rc;
}
LONG WINAPI RecordClose(HCOMDB handle)
{
    ++g_calls.closes;
    return g_pClose(handle);
}
LONG WINAPI RecordClaim(HCOMDB handle, DWORD number, BOOL force, PBOOL forced)
{
    g_calls.claims.emplace_back(number, force);
    return g_pClaim(handle, number, force, forced);
}
LONG WINAPI RecordRelease(HCOMDB handle, DWORD number)
{
    g_calls.releases.push_back(number);
    return g_pRelease(handle, number);
}

Ports ClaimedNumbers()
{
    Ports numbers;
    for (const auto& claim : g_calls.claims) numbers.push_back(claim.first);
    return numbers;
}

Ports Range(DWORD first, DWORD last)
{
    Ports numbers;
    for (DWORD n = first; n <= last; ++n) numbers.push_back(n);
    return numbers;
}

class ComPorts : public q5test::ServiceObjectTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(q5test::IsMsportsStandInLoaded()) << "Wine's own msports.dll was loaded";
        q5test::SetComDatabaseRefusesOpen(false);
        SetTakenComPorts({});
        g_calls = DatabaseCalls();
        g_pOpen = m_open.Original<decltype(&ComDBOpen)>();
        g_pClose = m_close.Original<decltype(&ComDBClose)>();
        g_pClaim = m_claim.Original<decltype(&ComDBClaimPort)>();
        g_pRelease = m_release.Original<decltype(&ComDBReleasePort)>();
        ServiceObjectTest::SetUp();
    }

    void TearDown() override
    {
        ServiceObjectTest::TearDown();
        // Every call closes what it opened.
        EXPECT_EQ(g_calls.opens, g_calls.closes);
    }

    void ForgetCalls() { g_calls = DatabaseCalls(); }

    ScopedImportHook m_open{"msports.dll", "ComDBOpen", reinterpret_cast<void*>(&RecordOpen)};
    ScopedImportHook m_close{"msports.dll", "ComDBClose", reinterpret_cast<void*>(&RecordClose)};
    ScopedImportHook m_claim{"msports.dll", "ComDBClaimPort", reinterpret_cast<void*>(&RecordClaim)};
    ScopedImportHook m_release{"msports.dll", "ComDBReleasePort", reinterpret_cast<void*>(&RecordRelease)};
};

TEST_F(ComPorts, ReservationTakesEveryFreeNumberBelowAndRestoreGivesBackOnlyThose)
{
    SetTakenComPorts({1, 3});
    TraceCapture capture;

    EXPECT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    EXPECT_EQ(g_calls.claims, (std::vector<std::pair<DWORD, BOOL>>{{2, TRUE}, {4, TRUE}, {5, TRUE}}));
    EXPECT_EQ(g_calls.releases, Ports{5});
    EXPECT_EQ(TakenComPorts(), (Ports{1, 2, 3, 4}));

    ForgetCalls();
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(g_calls.releases, (Ports{2, 4}));
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
    EXPECT_EQ(m_pService->PortUsage(), nullptr);
    EXPECT_EQ(m_pService->PortUsageSize(), 0u);
    EXPECT_EQ(capture.Text(), L"");
}

TEST_F(ComPorts, NumbersClaimedByOthersSinceTheReservationStayTheirs)
{
    SetTakenComPorts({1, 3});
    ASSERT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    // The modem installed in between gets the reserved number; another
    // device takes a higher one.
    CQ5DMServiceClass* other = CQ5DMServiceClass::Create();
    EXPECT_EQ(other->ClaimComPort(5), S_OK);
    EXPECT_EQ(other->ClaimComPort(7), S_OK);
    other->Release();

    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3, 5, 7}));
}

TEST_F(ComPorts, NumbersTakenByOthersAtReservationAreNeverReleasedByRestore)
{
    SetTakenComPorts({2, 5});
    EXPECT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    // The reserved number itself is freed whoever held it.
    EXPECT_EQ(TakenComPorts(), (Ports{1, 2, 3, 4}));
    EXPECT_EQ(ClaimedNumbers(), (Ports{1, 3, 4}));

    ForgetCalls();
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(g_calls.releases, (Ports{1, 3, 4}));
    EXPECT_EQ(TakenComPorts(), Ports{2});
}

TEST_F(ComPorts, ZeroOrNegativeNumberClaimsNothingButStillReserves)
{
    SetTakenComPorts({1, 3});
    for (LONG portNumber : {0L, -3L}) {
        ForgetCalls();
        EXPECT_EQ(m_pService->ReserveComPortsBelow(portNumber), S_FALSE) << portNumber;
        EXPECT_TRUE(g_calls.claims.empty()) << portNumber;
        EXPECT_EQ(g_calls.releases, Ports{static_cast<DWORD>(portNumber)}) << portNumber;
        EXPECT_NE(m_pService->PortUsage(), nullptr) << portNumber;
        EXPECT_EQ(TakenComPorts(), (Ports{1, 3})) << portNumber;
    }
    ForgetCalls();
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_TRUE(g_calls.releases.empty());
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
}

TEST_F(ComPorts, NumbersBeyondTheMapAreSkipped)
{
    SetTakenComPorts({1, 3});
    ASSERT_EQ(q5test::ComPortCount(), 256u);

    EXPECT_EQ(m_pService->ReserveComPortsBelow(1000), S_FALSE);
    Ports expectedClaims = Range(2, 256);
    expectedClaims.erase(expectedClaims.begin() + 1);  // 3 was taken
    EXPECT_EQ(ClaimedNumbers(), expectedClaims);
    EXPECT_EQ(g_calls.releases, Ports{1000});
    EXPECT_EQ(TakenComPorts(), Range(1, 256));
    EXPECT_EQ(m_pService->PortUsageSize(), 256u);

    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
}

TEST_F(ComPorts, LastNumberOfTheMapCanBeReserved)
{
    EXPECT_EQ(m_pService->ReserveComPortsBelow(256), S_FALSE);
    EXPECT_EQ(TakenComPorts(), Range(1, 255));
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), Ports{});
}

TEST_F(ComPorts, SecondReservationAddsToWhatRestoreGivesBack)
{
    SetTakenComPorts({1, 3});
    EXPECT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    EXPECT_EQ(m_pService->ReserveComPortsBelow(8), S_FALSE);
    EXPECT_EQ(TakenComPorts(), Range(1, 7));
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
}

TEST_F(ComPorts, LowerSecondReservationFreesItsNumberFromTheFirst)
{
    SetTakenComPorts({1, 3});
    EXPECT_EQ(m_pService->ReserveComPortsBelow(8), S_FALSE);
    EXPECT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 2, 3, 4, 6, 7}));
    // A device gets 5 before the restore: it keeps it.
    SetTakenComPorts({1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3, 5}));
}

TEST_F(ComPorts, RestoreWithoutReservationReleasesNothing)
{
    SetTakenComPorts({1, 3});
    TraceCapture capture;
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_TRUE(g_calls.releases.empty());
    EXPECT_EQ(g_calls.opens, 1);

    ASSERT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    ASSERT_EQ(m_pService->RestoreComPorts(), S_OK);
    ForgetCalls();
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_TRUE(g_calls.releases.empty());
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
    EXPECT_EQ(capture.Text(), L"");
}

TEST_F(ComPorts, ClaimNeverForcesAndSucceedsWhateverTheDatabaseSays)
{
    SetTakenComPorts({3});
    TraceCapture capture;
    EXPECT_EQ(m_pService->ClaimComPort(3), S_OK);
    EXPECT_EQ(m_pService->ClaimComPort(4), S_OK);
    EXPECT_EQ(m_pService->ClaimComPort(0), S_OK);
    EXPECT_EQ(m_pService->ClaimComPort(5000), S_OK);
    EXPECT_EQ(g_calls.claims, (std::vector<std::pair<DWORD, BOOL>>{{3, FALSE}, {4, FALSE}, {0, FALSE}, {5000, FALSE}}));
    EXPECT_EQ(TakenComPorts(), (Ports{3, 4}));

    EXPECT_EQ(m_pService->ReleaseComPort(4), S_OK);
    EXPECT_EQ(m_pService->ReleaseComPort(9), S_OK);  // already free
    EXPECT_EQ(m_pService->ReleaseComPort(-1), S_OK);
    EXPECT_EQ(TakenComPorts(), Ports{3});
    EXPECT_EQ(m_pService->PortUsage(), nullptr);
    EXPECT_EQ(capture.Text(), L"");
}

TEST_F(ComPorts, NumberReleasedByTheClientIsNoLongerGivenBack)
{
    ASSERT_EQ(m_pService->ReserveComPortsBelow(4), S_FALSE);
    EXPECT_EQ(m_pService->ReleaseComPort(2), S_OK);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 3}));
    SetTakenComPorts({1, 2, 3});  // a device got COM2 meanwhile
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(TakenComPorts(), Ports{2});
}

TEST_F(ComPorts, DatabaseThatWillNotOpen)
{
    SetTakenComPorts({1, 3});
    ASSERT_EQ(m_pService->ReserveComPortsBelow(5), S_FALSE);
    const BYTE* held = m_pService->PortUsage();
    q5test::SetComDatabaseRefusesOpen(true);
    TraceCapture capture;

    EXPECT_EQ(m_pService->ReserveComPortsBelow(9), S_OK);
    EXPECT_EQ(capture.Text(), L"Cann't open COM ports database!\n");
    EXPECT_EQ(m_pService->PortUsage(), held);

    capture.Clear();
    EXPECT_EQ(m_pService->ClaimComPort(6), E_FAIL);
    EXPECT_EQ(capture.Text(), L"COM Database open unsuccessful!\n");

    capture.Clear();
    EXPECT_EQ(m_pService->ReleaseComPort(2), E_FAIL);
    EXPECT_EQ(capture.Text(), L"COM Database open unsuccessful!\n");

    capture.Clear();
    EXPECT_EQ(m_pService->RestoreComPorts(), S_OK);
    EXPECT_EQ(capture.Text(), L"");
    EXPECT_EQ(m_pService->PortUsage(), nullptr);

    // Only the first reservation reached the database.
    EXPECT_EQ(ClaimedNumbers(), (Ports{2, 4, 5}));
    EXPECT_EQ(g_calls.releases, Ports{5});
    q5test::SetComDatabaseRefusesOpen(false);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 2, 3, 4}));
}

// Allocation failures injected into the server's heap calls only; the
// database stand-in has imports of its own.
int g_iAllocationsBeforeFailure = 0;
decltype(&HeapAlloc) g_pHeapAlloc;
LPVOID WINAPI FailingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (g_iAllocationsBeforeFailure-- <= 0) return nullptr;
    return g_pHeapAlloc(heap, flags, bytes);
}

TEST_F(ComPorts, MapThatCannotBeAllocatedClaimsNothing)
{
    SetTakenComPorts({1, 3});
    for (int succeeding : {0, 1}) {
        ForgetCalls();
        TraceCapture capture;
        {
            ScopedImportHook hook("kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(&FailingHeapAlloc));
            g_pHeapAlloc = hook.Original<decltype(&HeapAlloc)>();
            g_iAllocationsBeforeFailure = succeeding;
            EXPECT_EQ(m_pService->ReserveComPortsBelow(5), S_OK) << succeeding;
        }
        EXPECT_TRUE(g_calls.claims.empty()) << succeeding;
        EXPECT_TRUE(g_calls.releases.empty()) << succeeding;
        EXPECT_EQ(g_calls.opens, 1) << succeeding;
        EXPECT_EQ(g_calls.closes, 1) << succeeding;
        EXPECT_EQ(m_pService->PortUsage(), nullptr) << succeeding;
        EXPECT_EQ(TakenComPorts(), (Ports{1, 3})) << succeeding;
        EXPECT_EQ(capture.Text(), L"") << succeeding;
    }
}

// The object is freed with its reservation outstanding: the map goes with
// it, the numbers stay taken.
void* g_pFreed = nullptr;
decltype(&HeapFree) g_pHeapFree;
BOOL WINAPI RecordingHeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    if (memory == g_pFreed) g_pFreed = nullptr;
    return g_pHeapFree(heap, flags, memory);
}

TEST_F(ComPorts, DestroyedObjectFreesItsMap)
{
    ASSERT_EQ(m_pService->ReserveComPortsBelow(3), S_FALSE);
    g_pFreed = const_cast<BYTE*>(m_pService->PortUsage());
    ASSERT_NE(g_pFreed, nullptr);
    {
        ScopedImportHook hook("kernel32.dll", "HeapFree", reinterpret_cast<void*>(&RecordingHeapFree));
        g_pHeapFree = hook.Original<decltype(&HeapFree)>();
        m_pService->Release();
        m_pService = nullptr;
    }
    EXPECT_EQ(g_pFreed, nullptr);
    EXPECT_EQ(TakenComPorts(), (Ports{1, 2}));
}

}  // namespace
