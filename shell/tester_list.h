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
