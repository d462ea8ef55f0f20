// The class's registry entries below HKEY_CLASSES_ROOT, as /RegServer
// writes them. The installer packages are generated from this file too
// (tools/packaging/make_msi.py reads it), so that a package can never
// register the class differently from the program: keep to #defines of
// string literals and numbers, and to the one row list below.
#pragma once

#define Q5_CLASS_KEY "CLSID\\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}"
#define Q5_LOCAL_SERVER_KEY Q5_CLASS_KEY "\\LocalServer32"

// Each row sets the default value of its key; Q5_MODULE_PATH stands for
// the program's own path, quoted when it holds a space.
#define Q5_REGISTRATION_ROWS(ROW, Q5_MODULE_PATH) \
    ROW(Q5_CLASS_KEY, "Q5DMSERVER")               \
    ROW(Q5_LOCAL_SERVER_KEY, Q5_MODULE_PATH)

// Every row's key also gets the elevation switch in a subkey and the
// indirect string "@<path>,-<id>" that names the server in the elevation
// prompt (string resource Q5_ELEVATION_NAME_ID of the program).
#define Q5_ELEVATION_KEY "Elevation"
#define Q5_ELEVATION_ENABLED_VALUE "Enabled"
#define Q5_LOCALIZED_STRING_VALUE "LocalizedString"
#define Q5_ELEVATION_NAME_ID 2
