// The command line of q5dmctl:
//   q5dmctl [--server32 | --server64] [--elevate] [--repeat N] [--trace FILE] METHOD [ARGS...]
//   q5dmctl watch [--all] [--for SECONDS] [--until-exit PID]
//   q5dmctl --help
#pragma once

#include <windows.h>

#include <string>

#include "methods.h"
#include "q5dm_client.h"
#include "watch.h"

namespace q5dmctl {

// Which server program COM is asked for: the one of the client's own
// bitness (as COM chooses without a flag), or the 32-bit or 64-bit one.
using ServerBitness = q5dm::ServerBits;

struct Options {
    bool help = false;
    bool watch = false;  // q5dmctl watch: only watchOptions apply
    WatchOptions watchOptions;
    ServerBitness bitness = ServerBitness::Default;
    bool elevate = false;
    int repeat = 1;
    const wchar_t* traceFile = nullptr;  // start the server ourselves, its output here
    const Method* method = nullptr;
    Argument args[kMaxParams] = {};
};

constexpr int kMaxRepeat = 100000;

// Parses argv[1..argc-1] (argv[0] is the program). The strings in the result
// point into argv. On failure returns false and says why in `error`.
bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& error);

// A long in decimal (with sign) or hexadecimal ("0x", up to 32 bits); the
// whole text must be a number of that range.
bool ParseLong(const wchar_t* text, LONG& value);

// The --help text: usage and every method with its parameters.
std::string HelpText();

}  // namespace q5dmctl
