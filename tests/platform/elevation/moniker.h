// A stand-in for the system's elevation moniker, for test and demo prefixes
// only: Wine has none (CoGetObject on "Elevation:..." fails with
// MK_E_CANTOPENFILE). Wine hands a display name "PROGID:rest" to the
// IParseDisplayName of the class registered for the ProgID, as a local
// server when the bind options ask for one; registered as ProgID
// "Elevation", our local server (q5elevsrv) receives what a client passes
// to the moniker. The moniker it parses travels to the caller by value
// (IMarshal; q5elevmk unmarshals it in the caller's process), so that the
// bind runs where the real moniker's does, with the caller's own bind
// context: one passed to another process arrives without the BIND_OPTS3
// part (no class context check, no owner window).
//
// On bind it checks what the system checks, in the same order, asks for
// consent in a window owned by the bind options' window, answers as the
// test configured it and records what it received (see kConfigKey).
//
// Threads: everything runs on the thread that calls in; the consent window
// lives and ends within one bind on that thread.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace q5elev {

// ProgID "Elevation": the class whose class object parses display names.
extern const CLSID CLSID_ElevationStandIn;
// The moniker's unmarshalling class, served in-process by q5elevmk.
extern const CLSID CLSID_ElevationMonikerByValue;

// The test's settings, HKLM\Software\Q5Test\ElevationStandIn (64-bit view,
// read alike from either bitness):
//   Answer      "yes" or "no" (anything else, or none: no)
//   AnswerFile  if set, the answer is that file's first word, waited for
//               while the consent window shows (for the demo's picture)
//   RecordFile  file to which each bind appends what it received
//   PictureFile if set, a BMP picture of the consent window as it shows
extern const wchar_t kConfigKey[];

// Parses "Elevation:Administrator!new:{CLSID}" (or run level "Highest"),
// case-insensitively; MK_E_SYNTAX for any other form.
HRESULT ParseElevationName(const wchar_t* pszName, CLSID& clsid);

// A moniker parsed from pszName; fails as ParseElevationName does.
HRESULT CreateElevationMoniker(const wchar_t* pszName, IMoniker** ppMoniker);
// An empty moniker for the unmarshaller to fill.
HRESULT CreateMonikerForUnmarshal(REFIID riid, void** ppv);

// Counts of live objects of the module: the host defines them (the local
// server ends with its last object, the DLL unloads without any).
void ModuleAddRef();
void ModuleRelease();
// Where the moniker binds, for the record: the caller's process or the server.
const char* ModuleHost();

// A class object that lives as long as its module (no count of its own):
// a server lock holds the module. Make creates the class's object.
class CStaticClassObject : public IClassFactory {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        return pOuter != nullptr ? CLASS_E_NOAGGREGATION : Make(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL bLock) override
    {
        if (bLock) {
            ModuleAddRef();
        } else {
            ModuleRelease();
        }
        return S_OK;
    }

protected:
    virtual HRESULT Make(REFIID riid, void** ppv) = 0;
};

}  // namespace q5elev
