// Gives a test the exact text that LogTrace wrote while the capture lived,
// taken from the debugger-output half of the trace.
#pragma once

#include <string>

#include "import_hook.h"

namespace q5test {

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::wstring& Text() const;
    void Clear();
    // How many separate LogTrace writes were seen.
    size_t Writes() const;

private:
    ScopedImportHook m_hook;
};

}  // namespace q5test
