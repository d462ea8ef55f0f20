// The 16 methods of IQ5DMService as the command line names and types them.
#pragma once

#include <windows.h>

#include "q5dm.h"
#include "q5dm_client.h"

namespace q5dmctl {

enum class ParamType { String, Long };

struct Param {
    const char* name;
    ParamType type;
};

// One typed argument; a string argument may be null (the "--null" token).
struct Argument {
    const wchar_t* text;
    LONG number;
};

constexpr int kMaxParams = 4;

struct Method {
    const wchar_t* name;
    int paramCount;
    Param params[kMaxParams];
    // The bare interface call, for tools that exercise the interface itself.
    HRESULT (*invoke)(IQ5DMService* service, const Argument* args);
    // The call through the client library, its outcome named.
    q5dm::Summary (*call)(q5dm::CClient& client, const Argument* args);
};

// In slot order (3 to 18).
const Method* Methods();
int MethodCount();
// Exact, case-sensitive interface name; null when there is none.
const Method* FindMethod(const wchar_t* name);

}  // namespace q5dmctl
