// The process list as both process walks take it.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include "handles.h"

namespace q5 {

// Tool Help documents ERROR_BAD_LENGTH for a snapshot whose list changed
// while it was taken, as processes come and go: take it again. Any other failure (short of memory or rights) would only
// repeat at once, and so would ERROR_PARTIAL_COPY, which concerns the
// module lists of another process, never the list of processes. A bounded
// number of attempts: processes that never stop coming and going must not
// hold the server. The last attempt's error stays the thread's last error.
inline UniqueFileHandle TakeProcessSnapshot(DWORD flags)
{
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        UniqueFileHandle snapshot(CreateToolhelp32Snapshot(flags, 0));
        if (snapshot || attempt == kAttempts || GetLastError() != ERROR_BAD_LENGTH) return snapshot;
    }
}

}  // namespace q5
