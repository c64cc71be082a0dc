#include "core/base/tester_list.h"

#include <algorithm>
#include <cwchar>

int FindEntry(const std::vector<std::wstring>& entries, std::wstring_view serial) {
  if (serial.empty()) return -1;
  const auto found = std::find(entries.begin(), entries.end(), serial);
  return found == entries.end() ? -1 : static_cast<int>(found - entries.begin());
}

bool IsTesterSerial(const wchar_t* serial) { return serial && std::wcsncmp(serial, L"VXPD", 4) == 0; }

std::wstring SerialOfListText(const wchar_t* text) {
  std::wstring serial(text ? text : L"");
  if (serial.size() > 63) serial.resize(63);
  const size_t blank = serial.find(L' ');
  if (blank != std::wstring::npos) serial.resize(blank);
  return serial;
}

TesterListChange MergeTesterList(const std::vector<std::wstring>& rows, const std::vector<std::wstring>& listed,
                                 std::wstring_view gone) {
  TesterListChange change;
  for (const std::wstring& row : rows) {
    const bool keep = row != gone && FindEntry(listed, row) >= 0 && FindEntry(change.rows, row) < 0;
    (keep ? change.rows : change.removed).push_back(row);
  }
  for (const std::wstring& serial : listed) {
    if (serial.empty() || serial == gone || FindEntry(change.rows, serial) >= 0) continue;
    change.rows.push_back(serial);
    change.added.push_back(serial);
  }
  return change;
}
