// Device-list rules: which serials are testers, how a list text becomes a serial, and how the list follows plug events.
#include <gtest/gtest.h>

#include "core/base/tester_list.h"

namespace {

TEST(TesterList, OneRowPerSerialAfterEachPlugEvent) {
  using Rows = std::vector<std::wstring>;
  struct Case {
    const char* what;
    Rows rows, listed;
    const wchar_t* gone;
    Rows after, added, removed;
  } cases[] = {
      {"an arrival adds only the new tester", {L"VXPD0001"}, {L"VXPD0001", L"VXPD0002"}, L"",
       {L"VXPD0001", L"VXPD0002"}, {L"VXPD0002"}, {}},
      {"a second arrival adds nothing", {L"VXPD0001", L"VXPD0002"}, {L"VXPD0002", L"VXPD0001"}, L"",
       {L"VXPD0001", L"VXPD0002"}, {}, {}},
      {"a removal takes exactly its serial", {L"VXPD00011", L"VXPD0001"}, {L"VXPD00011", L"VXPD0001"}, L"VXPD0001",
       {L"VXPD00011"}, {}, {L"VXPD0001"}},
      {"a tester no longer listed leaves no row", {L"VXPD0001", L"VXPD0002", L"VXPD0001"}, {L"VXPD0001", L"VXPD0003"},
       L"", {L"VXPD0001", L"VXPD0003"}, {L"VXPD0003"}, {L"VXPD0002", L"VXPD0001"}},
      {"a removal of a serial not listed changes nothing", {L"VXPD0001"}, {L"VXPD0001"}, L"VXPD",
       {L"VXPD0001"}, {}, {}},
  };
  for (const Case& c : cases) {
    const TesterListChange change = MergeTesterList(c.rows, c.listed, c.gone);
    EXPECT_EQ(change.rows, c.after) << c.what;
    EXPECT_EQ(change.added, c.added) << c.what;
    EXPECT_EQ(change.removed, c.removed) << c.what;
  }
  EXPECT_EQ(FindEntry({L"VXPD00011", L"VXPD0001"}, L"VXPD0001"), 1);  // exact, not "contains"
  EXPECT_EQ(FindEntry({L"VXPD0001"}, L""), -1);
  EXPECT_EQ(FindEntry({L"VXPD0001"}, L"No Serial"), -1);
}

TEST(TesterList, WhichSerialsAreTestersAndWhereTheListTextEnds) {
  for (const wchar_t* tester : {L"VXPD0001", L"VXPD"}) EXPECT_TRUE(IsTesterSerial(tester));
  for (const wchar_t* other : {L"vxpd0001", L"FT4XYZ12", L"VXP", L"", static_cast<const wchar_t*>(nullptr)})
    EXPECT_FALSE(IsTesterSerial(other)) << (other ? std::wstring(other).size() : 99);
  EXPECT_EQ(SerialOfListText(L"VXPD0001"), L"VXPD0001");
  EXPECT_EQ(SerialOfListText(L"VXPD0001 (in use)"), L"VXPD0001");
  EXPECT_EQ(SerialOfListText(L" VXPD0001"), L"");
  EXPECT_EQ(SerialOfListText(L""), L"");
  EXPECT_EQ(SerialOfListText(std::wstring(100, L'A').c_str()).size(), 63u);
}

}  // namespace
