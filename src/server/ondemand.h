// The system libraries that only some operations need. A start-up loads
// none of them: each is loaded, from the system folder only, when an
// operation first needs it, and stays for the rest of the process.
#pragma once

namespace q5 {

enum class SystemLibrary { SetupApi, Shell32, ShlwApi, MsPorts };

// True when the library is loaded and every function that the server calls
// in it is bound. False, with nothing bound, when the library or one of
// those functions cannot be loaded: the caller then fails as it fails when
// its first call into that library fails. Called before the first call.
bool LoadSystemLibrary(SystemLibrary library);

}  // namespace q5
