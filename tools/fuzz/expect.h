// What the server's trace must show for a run of calls: the entry line of
// every call, in order, each whole up to its line end, and the closing lines
// of a server that ended by itself.
#pragma once

#include <string>
#include <vector>

#include "calls.h"

namespace q5fuzz {

// The entry line that a call traces, as the server formats it (cut at the
// trace's 1023 characters); empty for the methods that trace no entry line.
std::wstring EntryLine(const Call& call);

struct TraceFault {
    size_t call;       // index of the call in the batch
    std::string what;  // "missing" or "cut"
};

// Checks the trace bytes (standard output, "\r\n" as the file holds it)
// against the entry lines of the calls in order. A character above U+00FF
// may be written in any escaped form; everything else must be there byte
// for byte (Latin-1). endedByItself: the closing lines must be there too.
struct TraceCheck {
    std::vector<TraceFault> faults;
    bool closingMissing = false;
};
TraceCheck CheckTrace(const std::string& trace, const std::vector<std::wstring>& entryLines, bool endedByItself);

// Printable ASCII form of a wide text, cut to at most `limit` characters.
std::string Shown(const std::wstring& text, size_t limit = 60);

}  // namespace q5fuzz
