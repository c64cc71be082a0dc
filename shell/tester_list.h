// Portable rules of the Device list.
#pragma once

#include <string>
#include <vector>

// Index of the first entry that contains `text` anywhere (case-sensitive), or -1
// when text is empty, the list is empty or no entry contains it.
int FindEntryContaining(const std::vector<std::wstring>& entries, const wchar_t* text);

// A D2XX serial number is a tester when it begins with exactly "VXPD".
bool IsTesterSerial(const wchar_t* serial);

// The serial of a Device-list text: at most 63 characters, cut at the first blank.
std::wstring SerialOfListText(const wchar_t* text);

// What the program says when no device is there and when a tester is in use
// by another copy (the window's message boxes and the command line's messages;
// kUnableToConnectText is in link/monitor_core.h).
constexpr const wchar_t* kNoTesterText =
    L"No Trevane Loadpost device detected.\nYou may need to plug in (or install) USB devices.\n";
constexpr const wchar_t* kTesterInUseText =
    L"Another copy of Loadpost is already using that tester.\nPlease select another.";
