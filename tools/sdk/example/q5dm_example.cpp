// Enables wake-on-ring for one modem through the DM service: opens it
// elevated where needed, and tells the user's "no", a service that another
// program ended and the operation's own failure apart.
#include <stdio.h>

#include "q5dm_client.h"

int main()
{
    q5dm::OpenOptions options;
    options.eElevation = q5dm::Elevation::WhenNotElevated;  // a prompt only for a caller that is not elevated
    options.dwDeadlineMs = 60000;                           // no call keeps us waiting longer
    q5dm::OpenResult opened = q5dm::CClient::Open(options);
    if (opened.eFailure == q5dm::Failure::Declined) {
        printf("Nothing changed: the administrator prompt was declined.\n");
        return 1;
    }
    if (!opened.Opened()) {
        printf("The DM service cannot be reached: %s (0x%08lX)\n", q5dm::FailureName(opened.eFailure), (unsigned long)opened.hr);
        return 2;
    }
    q5dm::Result<q5dm::DoneOutcome> result = opened.client.setWOREnabled(L"ROOT\\MODEM\\0000", 1);
    if (result.eFailure == q5dm::Failure::ServerLostMayHaveRun || result.eFailure == q5dm::Failure::ServerLostDidNotRun) {
        printf("Another program ended the DM service during the call (0x%08lX): try again.\n", (unsigned long)result.hr);
        return 3;
    }
    if (!result.Answered()) {
        printf("The call failed: %s (0x%08lX)\n", q5dm::FailureName(result.eFailure), (unsigned long)result.hr);
        return 4;
    }
    if (result.Is(q5dm::DoneOutcome::Failed)) {
        printf("The modem's driver refused wake-on-ring (0x%08lX).\n", (unsigned long)result.hr);
        return 5;
    }
    printf("Wake-on-ring is enabled.\n");
    return 0;
}
