// The program's name, version and build as the log banner, the About box and
// the log file show them ("V1.1", build "1013"; the executable's version record
// says 1.1.1013.0), all made from the project's one version number.
#pragma once

#include "loadpost_version.h"

constexpr const wchar_t* kMakerName = L"Trevane";
constexpr const wchar_t* kProgramName = L"Loadpost tester";
constexpr const wchar_t* kProgramVersion = L"V" LOADPOST_VERSION_SHORT;
constexpr const wchar_t* kProgramBuild = L"" LOADPOST_VERSION_BUILD;

// The build's full version for the command line, its reports and the
// packages: "1.1.1013", with "+g<commit>" from a git checkout and ".dirty"
// when the tree had uncommitted changes ("1.1.1013+g1369c17.dirty").
// Defined by the build (library loadpost_build_version).
const char* BuildVersion();
