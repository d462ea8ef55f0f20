// Opens the DM server through the client library with the elevation mode
// named on the command line, makes one call, and prints what happened, for
// the elevation table and the demo:
//   q5elevclient always|whennot [--server32|--server64]
//   q5elevclient parse NAME [bindopts|all]
// Lines: "elevated token: yes|no", "open: <failure> 0x<hr> <name>", and
// after an open "call: <outcome or failure> 0x<hr>". Exit code 0 when the
// call was answered, 1 when the open failed, 2 on a usage error, 3 when the
// call was not answered.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "q5dm_client.h"

namespace {

bool TokenElevated()
{
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD cb = 0;
    const bool bElevated = GetTokenInformation(hToken, TokenElevation, &elevation, sizeof(elevation), &cb) &&
                           elevation.TokenIsElevated != 0;
    CloseHandle(hToken);
    return bElevated;
}

}  // namespace

// "parse NAME [bindopts|all]": the display name straight to CoGetObject,
// with the bind options the library passes, or with a plain BIND_OPTS, or
// with CLSCTX_ALL; prints "parse: 0x<hr>".
int ParseOnly(const wchar_t* pszName, const wchar_t* pszVariant)
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return 2;
    BIND_OPTS3 options;
    memset(&options, 0, sizeof(options));  // not an aggregate in every SDK
    options.cbStruct = wcscmp(pszVariant, L"bindopts") == 0 ? sizeof(BIND_OPTS) : sizeof(options);
    options.dwClassContext = wcscmp(pszVariant, L"all") == 0 ? CLSCTX_ALL : CLSCTX_LOCAL_SERVER;
    IUnknown* pObject = nullptr;
    hr = CoGetObject(pszName, &options, IID_IUnknown, reinterpret_cast<void**>(&pObject));
    if (pObject != nullptr) pObject->Release();
    printf("parse: 0x%08lX\n", static_cast<unsigned long>(hr));
    fflush(stdout);
    CoUninitialize();
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    if ((argc == 3 || argc == 4) && wcscmp(argv[1], L"parse") == 0) return ParseOnly(argv[2], argc == 4 ? argv[3] : L"");
    q5dm::OpenOptions options;
    if (argc < 2 || (wcscmp(argv[1], L"always") != 0 && wcscmp(argv[1], L"whennot") != 0)) {
        fprintf(stderr, "usage: q5elevclient always|whennot [--server32|--server64]\n");
        return 2;
    }
    options.eElevation = wcscmp(argv[1], L"always") == 0 ? q5dm::Elevation::Always : q5dm::Elevation::WhenNotElevated;
    for (int i = 2; i < argc; ++i) {
        if (wcscmp(argv[i], L"--server32") == 0) {
            options.eBits = q5dm::ServerBits::Bits32;
        } else if (wcscmp(argv[i], L"--server64") == 0) {
            options.eBits = q5dm::ServerBits::Bits64;
        } else {
            fprintf(stderr, "q5elevclient: unknown option\n");
            return 2;
        }
    }
    printf("elevated token: %s\n", TokenElevated() ? "yes" : "no");
    fflush(stdout);
    q5dm::OpenResult opened = q5dm::CClient::Open(options);
    printf("open: %s 0x%08lX %s%s\n", q5dm::FailureName(opened.eFailure), static_cast<unsigned long>(opened.hr),
           q5dm::HresultName(opened.hr), opened.bElevationUnavailable ? " (elevation unavailable)" : "");
    fflush(stdout);
    if (!opened.Opened()) return 1;
    q5dm::Result<q5dm::DeleteOutcome> result = opened.client.DeleteRegKey(L"HKXX", L"Software\\Q5ElevationTest");
    printf("call: %s 0x%08lX\n", result.Answered() ? q5dm::OutcomeName(result.eOutcome) : q5dm::FailureName(result.eFailure),
           static_cast<unsigned long>(result.hr));
    fflush(stdout);
    opened.client.Close();
    return result.Answered() ? 0 : 3;
}
