// Portable rules of the Device list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Index of the entry equal to `serial` (exactly, case-sensitive), or -1 when
// serial is empty or no entry equals it.
int FindEntry(const std::vector<std::wstring>& entries, std::wstring_view serial);

// A D2XX serial number is a tester when it begins with exactly "VXPD".
bool IsTesterSerial(const wchar_t* serial);

// The serial of a Device-list text: at most 63 characters, cut at the first blank.
std::wstring SerialOfListText(const wchar_t* text);

// The Device list after a listing or a plug event. The list holds one row per
// serial: a row stays, in its place, while its serial is still listed and is not
// `gone` (the serial of a removal); a listed tester without a row is appended,
// in listing order. So an arrival adds only the new tester, and no row is left
// for a tester that is no longer listed.
struct TesterListChange {
  std::vector<std::wstring> rows;     // the list afterwards
  std::vector<std::wstring> added;    // appended rows, in order ("%s added to list")
  std::vector<std::wstring> removed;  // rows that went
};
TesterListChange MergeTesterList(const std::vector<std::wstring>& rows, const std::vector<std::wstring>& listed,
                                 std::wstring_view gone = {});

// What the program says when no device is there and when a tester is in use
// by another copy (the window's message boxes and the command line's messages;
// kUnableToConnectText is in link/monitor_core.h).
constexpr const wchar_t* kNoTesterText =
    L"No Trevane Loadpost device detected.\nYou may need to plug in (or install) USB devices.\n";
constexpr const wchar_t* kTesterInUseText =
    L"Another copy of Loadpost is already using that tester.\nPlease select another.";
