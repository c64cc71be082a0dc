// About and Help: the About box's texts, modal and centred over the main
// window, kept on the screen, closed by OK or Escape; Help without a browser.
#include "tests/ui/harness/ui_harness.h"

namespace {

TEST(AboutAndHelp, AboutBoxAndHelpButton) {
  ui::App app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  auto open = [&] { return app.Click(IDC_ABOUT) ? app.WaitForDialog(L"About Loadpost") : nullptr; };
  HWND box = open();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(app.Text(box, IDC_ABOUT_VERSION), L"Loadpost tester V1.1 (1013)");
  EXPECT_EQ(app.Text(box, IDC_ABOUT_LEGAL), L"(C) 2026 Trevane. All rights reserved.");
  EXPECT_EQ(app.Text(box, IDC_ABOUT_WEB), L"www.trevane.example/loadpost");
  EXPECT_FALSE(IsWindowEnabled(app.Main()));
  const RECT main = ui::Rect(app.Main()), own = ui::Rect(box);
  EXPECT_NEAR(own.left + own.right, main.left + main.right, 2);
  EXPECT_NEAR(own.top + own.bottom, main.top + main.bottom, 2);
  app.Screenshot(L"about_box", box);
  ASSERT_TRUE(app.Close(box, IDOK));
  EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(app.Main()); }, 5000));
  // The main window mostly off the bottom-right corner: the box ends at the screen's edges. Escape closes it like OK.
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  SetWindowPos(app.Main(), nullptr, screenW - (main.right - main.left) / 4, screenH - (main.bottom - main.top) / 4, 0,
               0, SWP_NOSIZE | SWP_NOZORDER);
  ASSERT_NE(box = open(), nullptr);
  EXPECT_EQ(ui::Rect(box).right, screenW);
  EXPECT_EQ(ui::Rect(box).bottom, screenH);
  ui::PressKey(box, VK_ESCAPE);
  EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindow(box) && IsWindowEnabled(app.Main()); }, 5000));
  // Wine has no "microsoft-edge:" protocol, like a PC without the browser: Help shows nothing and the program goes on.
  const size_t windows = ui::TopWindows(app.ProcessId(), nullptr, nullptr).size();
  ASSERT_TRUE(app.Click(IDC_HELP_BUTTON));
  Sleep(1500);
  EXPECT_EQ(ui::TopWindows(app.ProcessId(), nullptr, nullptr).size(), windows);
  EXPECT_TRUE(IsWindowEnabled(app.Main()));
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
