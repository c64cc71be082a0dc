// The program's name, version and build as the log banner, the About box and
// the log file show them (the executable's version record says 1.1.1013.0).
#pragma once

constexpr const wchar_t* kMakerName = L"Trevane";
constexpr const wchar_t* kProgramName = L"Loadpost tester";
constexpr const wchar_t* kProgramVersion = L"V1.1";
constexpr const wchar_t* kProgramBuild = L"1013";
