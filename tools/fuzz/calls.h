// Seeded random calls of the 16 methods with hostile arguments, each kept
// to places that the robustness run may change (see calls.cpp for the rules).
#pragma once

#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "methods.h"

namespace q5fuzz {

// Names of the scratch places; the same names are known to fuzz.sh and
// sidefx.py, which treat everything below them as the run's own.
struct Scratch {
    std::wstring root;        // e.g. C:\q5fuzz\scratch: every copy lands below it
    std::wstring backupBase;  // a folder deep below root, so that "..\" in a sub-folder stays inside
    std::wstring copyBase;    // the same for INF copies
    std::wstring modemInf;    // an INF that offers a driver for the scratch device
    bool comPorts = false;    // the COM port database stand-in is installed
};

constexpr wchar_t kScratchKey[] = L"Software\\Q5FuzzScratch";      // under HKCU, HKLM and HKCR
constexpr wchar_t kScratchDevice[] = L"ROOT\\Q5FUZZ\\0000";
constexpr wchar_t kScratchHardwareId[] = L"Q5FUZZ\\VOICEMODEM";
constexpr wchar_t kScratchClassName[] = L"Q5FuzzScratchClass";
constexpr wchar_t kScratchClassGuid[] = L"{51f2a7c3-0b6e-4c11-9a0f-5f757a7a0001}";
constexpr wchar_t kInstalledInf[] = L"q5fuzz.inf";                      // planted in <windows>\inf
constexpr wchar_t kBaitInfName[] = L"..\\..\\q5fuzz-bait\\bait.inf";    // infName that leaves the INF folder
constexpr wchar_t kMissing[] = L"q5fuzz-missing";                      // a name that nothing has

// One call: the method and its arguments, owned here.
struct Call {
    const q5dmctl::Method* method = nullptr;
    std::wstring text[q5dmctl::kMaxParams];
    LONG number[q5dmctl::kMaxParams] = {};

    // The arguments as the method table passes them; valid while the call lives.
    void Bind(q5dmctl::Argument (&args)[q5dmctl::kMaxParams]) const;
};

// Answers whether a value would reach something real; the generator then
// puts a scratch or missing name in its place.
struct Guards {
    bool (*namesForeignDevice)(const std::wstring& id) = nullptr;
    bool (*namesForeignClass)(const std::wstring& name) = nullptr;
    bool (*namesProgram)(const std::wstring& commandLine) = nullptr;
};

class Generator {
public:
    Generator(unsigned seed, const Scratch& scratch, const Guards& guards);

    Call Next();
    // A call that changes nothing: DeleteRegKey with a root branch that no
    // server knows. The side-effect check learns Wine's own churn from these.
    Call Harmless() const;
    // Calls that reveal the kinds of fault seen before: every run makes them
    // once, at seeded places.
    std::vector<Call> Revealing() const;
    // Values that a guard replaced, so far.
    int Replaced() const { return m_iReplaced; }

    static const std::vector<std::wstring>& HostilePool();

private:
    std::wstring Hostile();
    std::wstring Pick(const std::vector<std::wstring>& from);
    LONG HostileLong();
    bool Chance(int percent);
    std::wstring Below(const std::wstring& base, bool separator = false);
    std::wstring DeviceId(bool mayBeScratch);
    std::wstring ClassName();
    std::wstring MissingProgram();
    Call Make(const wchar_t* method) const;

    std::mt19937 m_rng;
    Scratch m_scratch;
    Guards m_guards;
    std::vector<const q5dmctl::Method*> m_methods;
    int m_iReplaced = 0;
};

// How often a ".." step occurs as a path element; the generator keeps
// copies deeper below the scratch root than this many steps can climb.
int ParentSteps(const std::wstring& text);
constexpr int kMaxParentSteps = 6;

}  // namespace q5fuzz
