// A DLL that links the client library, for the test that unloads it while
// a call of its, past its deadline, still runs in the library's thread.
#include <windows.h>

#include <memory>

#include "q5dm_client.h"
#include "scripted_service.h"

// Opens a client on a scripted server whose first call signals hEntered
// and waits for hRelease, makes that call with a short deadline and closes
// the client. 1 when the call timed out as it should.
extern "C" __declspec(dllexport) int __cdecl ProbeTimedOutCall(HANDLE hEntered, HANDLE hRelease)
{
    auto plan = std::make_shared<scripted::Plan>();
    plan->iBlockedCall = 0;
    plan->hEnteredElsewhere = hEntered;
    plan->hReleaseElsewhere = hRelease;
    q5dm::OpenOptions options = scripted::OptionsFor(plan);
    options.pszLeaseName = L"Local\\Q5ClientTest.Probe";
    q5dm::OpenResult opened = q5dm::CClient::Open(options);
    if (!opened.Opened()) return 0;
    q5dm::Result<q5dm::ExecOutcome> result = opened.client.SyncExec(L"x.exe", L"", 200);
    opened.client.Close();
    return result.eFailure == q5dm::Failure::TimedOut ? 1 : 0;
}
