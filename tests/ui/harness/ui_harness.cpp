#include "tests/ui/harness/ui_harness.h"

#include <commctrl.h>
#include <gdiplus.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ui {

namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::wstring TestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return L"test";
  return Widen(std::string(info->test_suite_name()) + "." + info->name());
}

int PngEncoder(CLSID* clsid) {
  UINT count = 0, size = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return -1;
  std::vector<unsigned char> buffer(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok) return -1;
  for (UINT i = 0; i < count; ++i) {
    if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
      *clsid = codecs[i].Clsid;
      return static_cast<int>(i);
    }
  }
  return -1;
}

struct GdiplusSession {
  ULONG_PTR token = 0;
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
  }
  ~GdiplusSession() { Gdiplus::GdiplusShutdown(token); }
};

}  // namespace

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring WindowsPath(const std::string& path) {
  std::wstring out = Widen(path);
  if (!out.empty() && out[0] == L'/') {
    for (auto& c : out) {
      if (c == L'/') c = L'\\';
    }
    out = L"Z:" + out;
  }
  return out;
}

std::wstring Scenario(const std::wstring& name) { return ExeFolder() + L"\\scenarios\\" + name + L".sim"; }

std::wstring ArtifactFolder() {
  std::string base = Env("LOADPOST_ARTIFACTS");
  std::wstring folder = base.empty() ? ExeFolder() + L"\\..\\test-artifacts" : WindowsPath(base);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring ScratchFolder() {
  std::string base = Env("LOADPOST_TEST_WORK");
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring root = base.empty() ? std::wstring(temp) : WindowsPath(base);
  std::wstring folder = root + L"\\" + TestName();
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring WriteScenario(const std::wstring& name, const std::string& text) {
  const std::wstring path = ScratchFolder() + L"\\" + name + L".sim";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return written == text.size() ? path : L"";
}

bool WaitForClosedFile(const std::wstring& path, int timeoutMs) {
  return WaitUntil(
      [&] {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        CloseHandle(file);
        return true;
      },
      timeoutMs);
}

void EnsureGdiplus() { static GdiplusSession session; }

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return condition();
    Sleep(static_cast<DWORD>(pollMs));
  }
}

std::wstring WindowText(HWND window) {
  if (!window) return L"";
  wchar_t buffer[4096] = L"";
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &result);
  return buffer;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = L"";
  GetClassNameW(window, name, 256);
  return name;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string out;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0) out.append(buffer, n);
  CloseHandle(file);
  return out;
}

LoadpostApp::~LoadpostApp() {
  if (Running()) Kill();
  if (info_.hThread) CloseHandle(info_.hThread);
  if (process_) CloseHandle(process_);
}

bool LoadpostApp::Start(const std::wstring& scenarioFile, int timeoutMs) {
  const std::wstring scratch = ScratchFolder();
  controlFile_ = scratch + L"\\sim-control.txt";
  recordFile_ = scratch + L"\\sim-frames.txt";
  DeleteFileW(controlFile_.c_str());
  DeleteFileW(recordFile_.c_str());
  HANDLE created = CreateFileW(controlFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
  if (created != INVALID_HANDLE_VALUE) CloseHandle(created);

  SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", scenarioFile.empty() ? nullptr : scenarioFile.c_str());
  SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", controlFile_.c_str());
  SetEnvironmentVariableW(L"LOADPOST_SIM_RECORD", recordFile_.c_str());

  std::wstring exe = ExeFolder() + L"\\Loadpost.exe";
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {sizeof(startup)};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, ExeFolder().c_str(),
                      &startup, &info_)) {
    return false;
  }
  process_ = info_.hProcess;
  processId_ = info_.dwProcessId;
  return WaitUntil(
      [this] {
        for (HWND w : TopWindows()) {
          if (ClassName(w) == L"LOADPOST") {
            main_ = w;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
}

bool LoadpostApp::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

std::wstring LoadpostApp::Text(int id) const { return WindowText(GetDlgItem(main_, id)); }
std::wstring LoadpostApp::Text(HWND dialog, int id) const { return WindowText(GetDlgItem(dialog, id)); }

void LoadpostApp::SetText(HWND dialog, int id, const std::wstring& text) const {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                      5000, &result);
}

bool LoadpostApp::IsEnabled(HWND dialog, int id) const {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowEnabled(control) && IsWindowEnabled(dialog);
}

bool LoadpostApp::Click(HWND dialog, int id) const {
  if (!IsEnabled(dialog, id)) return false;
  return PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0) != 0;
}

std::vector<std::wstring> LoadpostApp::ComboItems(HWND dialog, int id) const {
  HWND combo = GetDlgItem(dialog, id);
  std::vector<std::wstring> items;
  const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[512] = L"";
    if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 511) SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    items.emplace_back(text);
  }
  return items;
}

int LoadpostApp::ComboSelection(HWND dialog, int id) const {
  return static_cast<int>(SendMessageW(GetDlgItem(dialog, id), CB_GETCURSEL, 0, 0));
}

void LoadpostApp::ChooseComboRow(HWND dialog, int id, int row) const {
  HWND combo = GetDlgItem(dialog, id);
  SendMessageW(combo, CB_SETCURSEL, row, 0);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

int LoadpostApp::SliderPos(HWND dialog, int id) const {
  return static_cast<int>(SendMessageW(GetDlgItem(dialog, id), TBM_GETPOS, 0, 0));
}

std::pair<int, int> LoadpostApp::SliderRange(HWND dialog, int id) const {
  HWND slider = GetDlgItem(dialog, id);
  return {static_cast<int>(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0)),
          static_cast<int>(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0))};
}

std::vector<HWND> LoadpostApp::TopWindows() const {
  struct Search {
    DWORD pid;
    std::vector<HWND> found;
  } search{processId_, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == s->pid && IsWindowVisible(window)) s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND LoadpostApp::WaitForDialog(const std::wstring& title, int timeoutMs) const {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND w : TopWindows()) {
          if (ClassName(w) == L"#32770" && WindowText(w) == title) {
            found = w;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::wstring LoadpostApp::MessageText(HWND box) { return WindowText(GetDlgItem(box, 0xFFFF)); }

void LoadpostApp::Answer(HWND box, int buttonId) const {
  HWND button = GetDlgItem(box, buttonId);
  if (button) {
    PostMessageW(button, BM_CLICK, 0, 0);
  } else {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0);
  }
  WaitUntil([box] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
}

std::wstring LoadpostApp::TakeMessageBox(const std::wstring& caption, int timeoutMs) const {
  HWND box = WaitForDialog(caption, timeoutMs);
  if (!box) return L"";
  std::wstring text = MessageText(box);
  Answer(box, IDOK);
  return text;
}

std::wstring LoadpostApp::Screenshot(const std::wstring& name, HWND window) const {
  EnsureGdiplus();
  if (!window) window = main_;
  RECT rect;
  if (!window || !GetWindowRect(window, &rect)) return L"";
  const int w = rect.right - rect.left;
  const int h = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  std::wstring path = ArtifactFolder() + L"\\" + name + L".png";
  {
    Gdiplus::Bitmap image(bitmap, nullptr);
    CLSID png;
    if (PngEncoder(&png) < 0 || image.Save(path.c_str(), &png, nullptr) != Gdiplus::Ok) path.clear();
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return path;
}

void LoadpostApp::SimCommand(const std::string& line) const {
  HANDLE file = CreateFileW(controlFile_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string LoadpostApp::FrameRecord() const { return ReadFileBytes(recordFile_); }

int LoadpostApp::CountFrames(const std::string& direction, const std::string& hex) const {
  std::istringstream lines(FrameRecord());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.find(" " + direction + " ") != std::string::npos && line.find(hex) != std::string::npos) ++count;
  }
  return count;
}

int LoadpostApp::Exit(int timeoutMs) {
  if (!Running()) {
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }
  if (!Click(1012)) PostMessageW(main_, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    Kill();
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<int>(code);
}

void LoadpostApp::Kill() {
  if (Running()) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
}

Capture CaptureWindow(HWND window) {
  Capture capture;
  RECT rect;
  if (!window || !GetWindowRect(window, &rect)) return capture;
  capture.width = rect.right - rect.left;
  capture.height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = -capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, capture.width, capture.height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  capture.pixels.resize(static_cast<size_t>(capture.width) * capture.height);
  const auto* source = static_cast<const uint32_t*>(bits);
  for (size_t i = 0; i < capture.pixels.size(); ++i) {
    const uint32_t p = source[i];  // 0x00RRGGBB
    capture.pixels[i] = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return capture;
}

}  // namespace ui
