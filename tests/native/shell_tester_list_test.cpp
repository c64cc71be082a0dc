// Device-list rules: which serials are testers, how a list text becomes a
// serial, and how an entry is found again.
#include <gtest/gtest.h>

#include "shell/tester_list.h"

namespace {

TEST(TesterList, FindEntryContainingMatchesAnywhereCaseSensitively) {
  const std::vector<std::wstring> entries = {L"VXPD0001", L"VXPD0002", L"VXPD0002"};
  EXPECT_EQ(FindEntryContaining(entries, L"VXPD0002"), 1);  // the first of two equal entries
  EXPECT_EQ(FindEntryContaining(entries, L"0001"), 0);
  EXPECT_EQ(FindEntryContaining(entries, L"vxpd0001"), -1);
  EXPECT_EQ(FindEntryContaining(entries, L""), -1);
  EXPECT_EQ(FindEntryContaining(entries, nullptr), -1);
  EXPECT_EQ(FindEntryContaining({}, L"VXPD0001"), -1);
  EXPECT_EQ(FindEntryContaining(entries, L"No Serial"), -1);
}

TEST(TesterList, OnlySerialsStartingWithTheTesterPrefixAreTesters) {
  EXPECT_TRUE(IsTesterSerial(L"VXPD0001"));
  EXPECT_TRUE(IsTesterSerial(L"VXPD"));
  EXPECT_FALSE(IsTesterSerial(L"vxpd0001"));
  EXPECT_FALSE(IsTesterSerial(L"FT4XYZ12"));
  EXPECT_FALSE(IsTesterSerial(L"VXP"));
  EXPECT_FALSE(IsTesterSerial(L""));
  EXPECT_FALSE(IsTesterSerial(nullptr));
}

TEST(TesterList, ListTextIsCutAtTheFirstBlank) {
  EXPECT_EQ(SerialOfListText(L"VXPD0001"), L"VXPD0001");
  EXPECT_EQ(SerialOfListText(L"VXPD0001 (in use)"), L"VXPD0001");
  EXPECT_EQ(SerialOfListText(L" VXPD0001"), L"");
  EXPECT_EQ(SerialOfListText(L""), L"");
  EXPECT_EQ(SerialOfListText(std::wstring(100, L'A').c_str()).size(), 63u);
}

}  // namespace
