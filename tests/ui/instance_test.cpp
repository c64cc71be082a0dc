// Copies of the program sharing testers through their registry, and the Device
// list following USB plug and unplug events.
#include "tests/ui/harness/ui_harness.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>

namespace {

const std::wstring kInUse = L"tester already in use";
const std::wstring kInUseText = L"Another copy of Loadpost is already using that tester.\nPlease select another.";

// WM_DEVICECHANGE for a device interface, as the system sends it.
void SendInterfaceChange(HWND window, WPARAM event, const std::wstring& path) {
  const size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  std::vector<unsigned char> buffer(offset + (path.size() + 1) * sizeof(wchar_t), 0);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  broadcast->dbcc_size = static_cast<DWORD>(buffer.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  std::memcpy(buffer.data() + offset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                      &result);
}

TEST(CopiesAndHotPlug, ATesterBelongsToOneCopyAtATimeAndTheListFollowsPlugEvents) {
  {
    // Another object holds the registry's name: the user is told (before the
    // main window exists), and the program works without the registry.
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, L"Loadpost_pluginfo_mutex");
    ui::App app;
    app.Start(ui::Scenario(L"default"), L"", 0);
    EXPECT_EQ(GetWindow(app.WaitForDialog(L"Shared memory failure", 20000), GW_OWNER), nullptr);
    EXPECT_EQ(app.TakeBox(L"Shared memory failure"),
              L"Failed to open shared memory.\nLoadpost will still run but it is not recommended to run more than 1 "
              L"copy");
    ASSERT_TRUE(app.WaitMain() && app.WaitLive());
    EXPECT_EQ(app.Exit(), 0);
    CloseHandle(squatter);
  }
  // The first copy holds the tester; the second is refused it at start-up,
  // lists it and reads nothing, and is refused it again when it asks.
  ui::App first, second, third;
  ASSERT_TRUE(first.Start(ui::Scenario(L"default")) && first.WaitLive());
  ASSERT_TRUE(second.Start(ui::Scenario(L"default"), L"second"));
  HWND box = second.WaitForDialog(kInUse);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetWindow(box, GW_OWNER), second.Main());
  second.Screenshot(L"instance_tester_in_use", box);
  EXPECT_EQ(second.TakeBox(kInUse), kInUseText);
  EXPECT_EQ(second.Items(second.Main(), IDC_DEVICE_LIST), std::vector<std::wstring>{L"VXPD0001"});
  Sleep(1500);
  EXPECT_EQ(second.Text(IDC_VBUS).find(L" V"), std::wstring::npos);
  second.Choose(second.Main(), IDC_DEVICE_LIST, 0);
  EXPECT_EQ(second.TakeBox(kInUse), kInUseText);
  // It is free once its copy exits, or is killed with no chance to give it back.
  auto takesTheTester = [](ui::App& copy) {
    copy.Choose(copy.Main(), IDC_DEVICE_LIST, 0);
    EXPECT_TRUE(copy.NoBox(kInUse, 2000));
    EXPECT_TRUE(copy.WaitLive());
  };
  EXPECT_EQ(first.Exit(), 0);
  takesTheTester(second);
  ASSERT_TRUE(third.Start(ui::Scenario(L"default"), L"third"));
  EXPECT_EQ(third.TakeBox(kInUse), kInUseText);
  second.Kill();
  takesTheTester(third);
  EXPECT_EQ(ui::ClaimedSerials(), std::vector<std::wstring>{L"VXPD0001"});
  // An arrival adds the new tester once, however often it is announced, and connects nothing by itself.
  const HWND main = third.Main();
  const std::vector<std::wstring> both = {L"VXPD0001", L"VXPD0002"};
  third.Sim("plug VXPD0002 kt60");
  ASSERT_TRUE(ui::WaitUntil([&] { return third.Items(main, IDC_DEVICE_LIST) == both; }));
  SendInterfaceChange(main, DBT_DEVICEARRIVAL,
                      L"\\\\?\\USB#VID_0403&PID_6015#VXPD0002#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  third.Screenshot(L"instance_tester_plugged");
  EXPECT_EQ(third.Items(main, IDC_DEVICE_LIST), both);
  EXPECT_EQ(third.Selection(main, IDC_DEVICE_LIST), 0);
  third.Sim("unplug VXPD0002");
  EXPECT_TRUE(ui::WaitUntil([&] { return third.Items(main, IDC_DEVICE_LIST).size() == 1; }));
  // Unplugging the connected tester gives back its claim; the program goes on.
  third.Sim("unplug VXPD0001");
  EXPECT_TRUE(ui::WaitUntil([&] { return third.Items(main, IDC_DEVICE_LIST).empty(); }));
  EXPECT_TRUE(ui::WaitUntil([&] { return ui::ClaimedSerials().empty(); }));
  EXPECT_EQ(third.Exit(), 0);
}

}  // namespace
