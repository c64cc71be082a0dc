#include "tests/ui/harness/calibration_helpers.h"

#include <dbt.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ui {

HWND WaitForBox(const LoadpostApp& app, const std::wstring& caption, int timeoutMs) {
  return app.WaitForDialog(caption, timeoutMs);
}

HWND WaitForTopWindow(const std::wstring& caption, int timeoutMs) {
  struct Search {
    const std::wstring* caption;
    HWND found;
  } search{&caption, nullptr};
  WaitUntil(
      [&] {
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
              auto* s = reinterpret_cast<Search*>(data);
              if (IsWindowVisible(window) && ClassName(window) == L"#32770" && WindowText(window) == *s->caption) {
                s->found = window;
                return FALSE;
              }
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      timeoutMs);
  return search.found;
}

bool NoBoxAppears(const LoadpostApp& app, const std::wstring& caption, int waitMs) {
  return app.WaitForDialog(caption, waitMs) == nullptr;
}

bool WaitForControlText(const LoadpostApp& app, HWND dialog, int id, const std::wstring& text, int timeoutMs) {
  return WaitUntil([&] { return app.Text(dialog, id) == text; }, timeoutMs);
}

bool WaitForLiveVbus(const LoadpostApp& app, int timeoutMs) {
  return WaitUntil([&] { return app.Text(1063).find(L" V") != std::wstring::npos; }, timeoutMs);
}

void PressKey(HWND window, WPARAM key) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  HWND target = window;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) target = info.hwndFocus;
  const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, key, 1 | (static_cast<LPARAM>(scan) << 16));
  PostMessageW(target, WM_KEYUP, key, 1 | (static_cast<LPARAM>(scan) << 16) | (1LL << 30) | (1LL << 31));
}

bool StartAnotherCopy(LoadpostApp& copy, const std::wstring& scenarioFile, const std::wstring& label) {
  // The harness keeps a copy's simulated-tester files in the scratch folder
  // below LOADPOST_TEST_WORK; pointing that at a sub-folder for the start gives
  // this copy files of its own.
  const std::wstring root = ScratchFolder() + L"\\" + label;
  CreateDirectoryW(root.c_str(), nullptr);
  const char* previous = std::getenv("LOADPOST_TEST_WORK");
  const std::string saved = previous ? previous : "";
  _putenv_s("LOADPOST_TEST_WORK", Narrow(root).c_str());
  const bool started = copy.Start(scenarioFile);
  _putenv_s("LOADPOST_TEST_WORK", saved.c_str());
  return started;
}

bool SendDeviceInterfaceChange(HWND mainWindow, WPARAM event, const std::wstring& path) {
  const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  const size_t size = nameOffset + (path.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(size, 0);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  broadcast->dbcc_size = static_cast<DWORD>(size);
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  std::memcpy(buffer.data() + nameOffset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(mainWindow, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

}  // namespace ui
