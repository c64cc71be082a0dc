// Copies of the program sharing testers through the instance registry, and the
// Device list following USB plug and unplug events.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <string>
#include <thread>
#include <vector>

#include "resources/resource_ids.h"
#include "shell/registry_slots.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

constexpr const wchar_t* kInUseCaption = L"tester already in use";
constexpr const wchar_t* kInUseText = L"Another copy of Loadpost is already using that tester.\nPlease select another.";
constexpr const wchar_t* kSharedMemoryCaption = L"Shared memory failure";
constexpr const wchar_t* kSharedMemoryText =
    L"Failed to open shared memory.\nLoadpost will still run but it is not recommended to run more than 1 copy";
constexpr const wchar_t* kInterfaceSuffix = L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::vector<std::wstring> DeviceList(const ui::LoadpostApp& app) {
  return app.ComboItems(app.Main(), IDC_DEVICE_LIST);
}

bool WaitForDeviceList(const ui::LoadpostApp& app, const std::vector<std::wstring>& expected, int timeoutMs = 10000) {
  return ui::WaitUntil([&] { return DeviceList(app) == expected; }, timeoutMs);
}

bool WaitForProfileCount(const ui::LoadpostApp& app, size_t rows, int timeoutMs = 15000) {
  return ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == rows; }, timeoutMs);
}

// The first copy holds the tester and shows it live; the second is refused it
// at start-up and shows the tester in its list without being connected.
void StartTwoCopies(ui::LoadpostApp& first, ui::LoadpostApp& second, bool screenshot) {
  ASSERT_TRUE(first.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(first));
  ASSERT_TRUE(ui::StartAnotherCopy(second, ui::Scenario(L"default"), L"second"));
  HWND box = ui::WaitForBox(second, kInUseCaption);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ui::LoadpostApp::MessageText(box), kInUseText);
  EXPECT_EQ(GetWindow(box, GW_OWNER), second.Main());
  if (screenshot) second.Screenshot(L"instance_tester_in_use", box);
  second.Answer(box, IDOK);
  EXPECT_EQ(DeviceList(second), std::vector<std::wstring>{L"VXPD0001"});
  // The refused copy talks to no tester: its statistics stay blank.
  Sleep(1500);
  EXPECT_EQ(second.Text(IDC_VBUS).find(L" V"), std::wstring::npos);
  EXPECT_TRUE(first.Running());
}

// The registry the copies share, held open by the test (made when no copy runs).
class SharedRegistry {
 public:
  SharedRegistry() {
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistryBytes,
                                  L"Loadpost_pluginfo");
    if (mapping_) view_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kRegistryBytes));
  }
  ~SharedRegistry() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  uint8_t* View() const { return view_; }
  // The serials claimed in the registry.
  std::vector<std::wstring> Claimed() const {
    std::vector<std::wstring> serials;
    for (int i = 0; view_ && i < kRegistrySlots; ++i) {
      int32_t pid = 0;
      wchar_t serial[kRegistrySerialUnits];
      ReadRegistrySlot(view_, i, &pid, serial);
      if (pid > 0) serials.push_back(serial);
    }
    return serials;
  }

 private:
  HANDLE mapping_ = nullptr;
  uint8_t* view_ = nullptr;
};

// Chooses the tester in the copy's Device list and expects it to connect.
void ExpectCopyCanSelectTheTester(ui::LoadpostApp& copy) {
  copy.ChooseComboRow(copy.Main(), IDC_DEVICE_LIST, 0);
  EXPECT_TRUE(ui::NoBoxAppears(copy, kInUseCaption, 2000));
  EXPECT_TRUE(ui::WaitForLiveVbus(copy));
  EXPECT_EQ(copy.ComboSelection(copy.Main(), IDC_DEVICE_LIST), 0);
}

TEST(InstanceRegistry, SecondCopyIsRefusedTheTesterUntilTheFirstExits) {
  ui::LoadpostApp first;
  ui::LoadpostApp second;
  ASSERT_NO_FATAL_FAILURE(StartTwoCopies(first, second, true));

  // Choosing it again while the first copy still runs is refused again.
  second.ChooseComboRow(second.Main(), IDC_DEVICE_LIST, 0);
  EXPECT_EQ(second.TakeMessageBox(kInUseCaption), kInUseText);

  EXPECT_EQ(first.Exit(), 0);
  ExpectCopyCanSelectTheTester(second);
  EXPECT_EQ(second.Exit(), 0);
}

TEST(InstanceRegistry, TesterOfACopyThatWasKilledIsFreeAgain) {
  ui::LoadpostApp first;
  ui::LoadpostApp second;
  ASSERT_NO_FATAL_FAILURE(StartTwoCopies(first, second, false));
  first.Kill();  // no chance to give back its slot
  ASSERT_FALSE(first.Running());
  ExpectCopyCanSelectTheTester(second);

  // The tester now belongs to the second copy: a third copy is refused it.
  ui::LoadpostApp third;
  ASSERT_TRUE(ui::StartAnotherCopy(third, ui::Scenario(L"default"), L"third"));
  EXPECT_EQ(third.TakeMessageBox(kInUseCaption), kInUseText);
  EXPECT_EQ(third.Exit(), 0);
  EXPECT_EQ(second.Exit(), 0);
}

TEST(InstanceRegistry, ASlotWhoseProcessIsNotItsWriterReservesNothing) {
  // A slot under a running process's ID (this test's) but another start time:
  // its writer has ended and the ID was given to another process since.
  SharedRegistry registry;
  ASSERT_NE(registry.View(), nullptr);
  ClaimTesterSlot(registry.View(), L"VXPD0001", static_cast<int32_t>(GetCurrentProcessId()), 1);
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  EXPECT_TRUE(ui::NoBoxAppears(app, kInUseCaption, 3000));
  EXPECT_TRUE(ui::WaitForLiveVbus(app));
  int32_t pid = 0;
  ReadRegistrySlot(registry.View(), 0, &pid, nullptr);
  EXPECT_EQ(pid, static_cast<int32_t>(app.ProcessId()));  // the slot is the program's now
  EXPECT_EQ(app.Exit(), 0);
}

TEST(InstanceRegistry, AClaimGoesWhenTheTesterCannotBeUsed) {
  const struct {
    std::wstring scenario;
    const wchar_t* message;
  } cases[] = {
      {ui::Scenario(L"kt40-fw26"), L"Please update the device firmware"},
      {ui::WriteScenario(L"failopen", "tester VXPD0001 kt60\n  charger pd65\n  failopen always\nend\n"),
       L"Unable to connect to selected Loadpost device"},
  };
  for (const auto& c : cases) {
    SharedRegistry registry;
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(c.scenario));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), c.message);
    EXPECT_TRUE(registry.Claimed().empty()) << ui::Narrow(c.message);
    EXPECT_EQ(app.Exit(), 0);
  }
}

TEST(InstanceRegistry, CopyThatMovesToAnotherTesterFreesTheFirst) {
  ui::LoadpostApp first;
  ASSERT_TRUE(first.Start(ui::Scenario(L"two-testers")));
  ASSERT_TRUE(ui::WaitForLiveVbus(first));
  ASSERT_EQ(DeviceList(first), (std::vector<std::wstring>{L"VXPD0001", L"VXPD0002"}));
  ASSERT_TRUE(WaitForProfileCount(first, 5));  // VXPD0001 has the 65 W charger
  first.ChooseComboRow(first.Main(), IDC_DEVICE_LIST, 1);
  ASSERT_TRUE(WaitForProfileCount(first, 3));  // VXPD0002 has the 20 W charger

  // VXPD0001 is free again, so the second copy connects it at start-up.
  ui::LoadpostApp second;
  ASSERT_TRUE(ui::StartAnotherCopy(second, ui::Scenario(L"two-testers"), L"second"));
  EXPECT_TRUE(ui::NoBoxAppears(second, kInUseCaption, 3000));
  EXPECT_TRUE(ui::WaitForLiveVbus(second));
  // ... and VXPD0002 is the first copy's.
  second.ChooseComboRow(second.Main(), IDC_DEVICE_LIST, 1);
  EXPECT_EQ(second.TakeMessageBox(kInUseCaption), kInUseText);
  // The refused choice puts the list back on the tester the copy uses.
  EXPECT_TRUE(ui::WaitUntil([&] { return second.ComboSelection(second.Main(), IDC_DEVICE_LIST) == 0; }, 3000));
  EXPECT_EQ(second.Exit(), 0);
  EXPECT_EQ(first.Exit(), 0);
}

TEST(InstanceRegistry, ProgramRunsWithoutTheRegistryWhenItsNameIsTaken) {
  // Another object already has the registry mutex's name: the registry cannot
  // be made, the user is told, and the program still works.
  HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, L"Loadpost_pluginfo_mutex");
  ASSERT_NE(squatter, nullptr);
  // The message comes before the main window exists, so it is answered from
  // another thread while Start waits for that window.
  std::wstring text;
  HWND owner = reinterpret_cast<HWND>(1);
  std::thread answer([&] {
    HWND box = ui::WaitForTopWindow(kSharedMemoryCaption, 20000);
    if (!box) return;
    text = ui::LoadpostApp::MessageText(box);
    owner = GetWindow(box, GW_OWNER);
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  });
  ui::LoadpostApp app;
  const bool started = app.Start(ui::Scenario(L"default"), 30000);
  answer.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(text, kSharedMemoryText);
  EXPECT_EQ(owner, nullptr);
  EXPECT_TRUE(ui::WaitForLiveVbus(app));
  EXPECT_EQ(app.Exit(), 0);
  CloseHandle(squatter);
}

TEST(PlugNotifications, PluggedAndUnpluggedTestersFollowInTheDeviceList) {
  SharedRegistry registry;
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  ASSERT_EQ(DeviceList(app), std::vector<std::wstring>{L"VXPD0001"});

  // An arrival adds the new tester only, once however often it is announced.
  app.SimCommand("plug VXPD0002 kt60");
  const std::vector<std::wstring> both = {L"VXPD0001", L"VXPD0002"};
  ASSERT_TRUE(WaitForDeviceList(app, both));
  const std::wstring path = std::wstring(L"\\\\?\\USB#VID_0403&PID_6015#VXPD0002") + kInterfaceSuffix;
  ASSERT_TRUE(ui::SendDeviceInterfaceChange(app.Main(), DBT_DEVICEARRIVAL, path));
  Sleep(300);
  EXPECT_EQ(DeviceList(app), both);
  app.Screenshot(L"instance_tester_plugged");
  // Plugging in a tester connects nothing by itself.
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_DEVICE_LIST), 0);

  app.SimCommand("unplug VXPD0002");
  EXPECT_TRUE(WaitForDeviceList(app, {L"VXPD0001"}));
  EXPECT_EQ(registry.Claimed(), std::vector<std::wstring>{L"VXPD0001"});
  // Unplugging the connected tester gives back its claim.
  app.SimCommand("unplug VXPD0001");
  EXPECT_TRUE(WaitForDeviceList(app, {}));
  EXPECT_TRUE(ui::WaitUntil([&] { return registry.Claimed().empty(); }));
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

TEST(PlugNotifications, OnlyTheBridgesPathsChangeTheList) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"two-testers")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  const std::vector<std::wstring> both = {L"VXPD0001", L"VXPD0002"};
  ASSERT_EQ(DeviceList(app), both);

  // Another vendor's device, a path without the serial's closing '#', and a
  // serial too long for any tester: nothing changes.
  const std::wstring tooLong(70, L'V');
  for (const std::wstring& path : {std::wstring(L"\\\\?\\USB#VID_046D&PID_C52B#VXPD0002") + kInterfaceSuffix,
                                   std::wstring(L"\\\\?\\USB#VID_0403&PID_6015#VXPD0002"),
                                   L"\\\\?\\USB#VID_0403&PID_6015#" + tooLong + kInterfaceSuffix,
                                   std::wstring(L"\\\\?\\USB#VID_0403")}) {
    ASSERT_TRUE(ui::SendDeviceInterfaceChange(app.Main(), DBT_DEVICEREMOVECOMPLETE, path));
  }
  Sleep(300);
  EXPECT_EQ(DeviceList(app), both);

  // The prefix is compared without regard to case.
  ASSERT_TRUE(ui::SendDeviceInterfaceChange(
      app.Main(), DBT_DEVICEREMOVECOMPLETE, std::wstring(L"\\\\?\\usb#vid_0403&pid_6015#VXPD0002") + kInterfaceSuffix));
  EXPECT_TRUE(WaitForDeviceList(app, {L"VXPD0001"}));

  // Removing the connected tester takes it off the list; the program goes on.
  ASSERT_TRUE(ui::SendDeviceInterfaceChange(
      app.Main(), DBT_DEVICEREMOVECOMPLETE, std::wstring(L"\\\\?\\USB#VID_0403&PID_6015#VXPD0001") + kInterfaceSuffix));
  EXPECT_TRUE(WaitForDeviceList(app, {}));
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
