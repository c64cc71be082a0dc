// The About box and the Help button.
#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

constexpr const wchar_t* kAboutTitle = L"About Loadpost";

HWND OpenAbout(ui::LoadpostApp& app) {
  if (!app.Click(IDC_ABOUT)) return nullptr;
  return app.WaitForDialog(kAboutTitle);
}

RECT RectOf(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect;
}

void ExpectCentredOverMain(ui::LoadpostApp& app, HWND box) {
  const RECT own = RectOf(box);
  const POINT expected = ui::CentredPosition(RectOf(app.Main()), own.right - own.left, own.bottom - own.top);
  EXPECT_EQ(own.left, expected.x);
  EXPECT_EQ(own.top, expected.y);
}

TEST(AboutBox, ShowsNameVersionAndNoticeCentredOverTheMainWindow) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  HWND box = OpenAbout(app);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(app.Text(box, IDC_ABOUT_VERSION), L"Loadpost tester V1.1 (1013)");
  EXPECT_EQ(app.Text(box, IDC_ABOUT_LEGAL), L"(C) 2026 Trevane. All rights reserved.");
  EXPECT_EQ(app.Text(box, IDC_ABOUT_WEB), L"www.trevane.example/loadpost");
  EXPECT_EQ(app.Text(box, IDOK), L"OK");
  // The box is modal: the main window waits until it is closed.
  EXPECT_FALSE(IsWindowEnabled(app.Main()));
  ExpectCentredOverMain(app, box);
  EXPECT_FALSE(app.Screenshot(L"about_box", box).empty());

  ASSERT_TRUE(app.Click(box, IDOK));
  EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindow(box); }, 5000));
  EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(app.Main()) != FALSE; }, 5000));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(AboutBox, EscapeClosesItLikeOk) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  HWND box = OpenAbout(app);
  ASSERT_NE(box, nullptr);
  ui::PressKey(box, VK_ESCAPE);
  EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindow(box); }, 5000));
  EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(app.Main()) != FALSE; }, 5000));
  // It opens again as often as asked.
  box = OpenAbout(app);
  ASSERT_NE(box, nullptr);
  ui::PressKey(box, VK_ESCAPE);
  EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindow(box); }, 5000));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(AboutBox, StaysOnTheScreenWhenTheMainWindowIsAtAnEdge) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);

  // Mostly off the bottom-right corner: the box ends at the screen's edges.
  const RECT main = RectOf(app.Main());
  SetWindowPos(app.Main(), nullptr, screenWidth - (main.right - main.left) / 4,
               screenHeight - (main.bottom - main.top) / 4, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  HWND box = OpenAbout(app);
  ASSERT_NE(box, nullptr);
  RECT own = RectOf(box);
  EXPECT_EQ(own.right, screenWidth);
  EXPECT_EQ(own.bottom, screenHeight);
  ExpectCentredOverMain(app, box);
  ASSERT_TRUE(app.Click(box, IDOK));
  ASSERT_TRUE(ui::WaitUntil([&] { return !IsWindow(box); }, 5000));

  // Mostly off the top-left corner: the box starts at 0, 0.
  SetWindowPos(app.Main(), nullptr, -(main.right - main.left) * 3 / 4, -(main.bottom - main.top) * 3 / 4, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER);
  box = OpenAbout(app);
  ASSERT_NE(box, nullptr);
  own = RectOf(box);
  EXPECT_EQ(own.left, 0);
  EXPECT_EQ(own.top, 0);
  ASSERT_TRUE(app.Click(box, IDOK));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(HelpButton, AskingForTheGuideReportsNothingAndKeepsTheProgramRunning) {
  // Wine has no "microsoft-edge:" protocol, as a PC without the browser: the
  // request fails quietly.
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  const size_t windowsBefore = app.TopWindows().size();
  ASSERT_TRUE(app.Click(IDC_HELP_BUTTON));
  Sleep(1500);
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.TopWindows().size(), windowsBefore);
  EXPECT_TRUE(IsWindowEnabled(app.Main()));
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
