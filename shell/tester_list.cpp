#include "shell/tester_list.h"

#include <cwchar>

int FindEntryContaining(const std::vector<std::wstring>& entries, const wchar_t* text) {
  if (!text || !*text) return -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].find(text) != std::wstring::npos) return static_cast<int>(i);
  }
  return -1;
}

bool IsTesterSerial(const wchar_t* serial) { return serial && std::wcsncmp(serial, L"VXPD", 4) == 0; }

std::wstring SerialOfListText(const wchar_t* text) {
  std::wstring serial(text ? text : L"");
  if (serial.size() > 63) serial.resize(63);
  const size_t blank = serial.find(L' ');
  if (blank != std::wstring::npos) serial.resize(blank);
  return serial;
}
