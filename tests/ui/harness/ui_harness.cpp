#include "tests/ui/harness/ui_harness.h"

#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>
#include <shlobj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <sstream>

#include "core/link/frame.h"
#include "core/base/registry_slots.h"

namespace ui {

namespace {

std::wstring Widen(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  const int n = static_cast<int>(text.size());
  out.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), n, out.data(), n)));
  return out;
}

// A folder named by the environment (a Unix path gets the Z: drive), else `fallback`.
std::wstring FolderFromEnv(const char* name, const std::wstring& fallback) {
  const char* value = std::getenv(name);
  std::wstring out = value && *value ? Widen(value) : fallback;
  if (!out.empty() && out[0] == L'/') {
    for (auto& c : out) c = c == L'/' ? L'\\' : c;
    out = L"Z:" + out;
  }
  CreateDirectoryW(out.c_str(), nullptr);
  return out;
}

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

void EnsureGdiplus() {
  static struct Session {
    ULONG_PTR token = 0;
    Session() {
      Gdiplus::GdiplusStartupInput input;
      Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
  } session;
}

bool SavePng(const Capture& image, const std::wstring& path) {
  EnsureGdiplus();
  const CLSID png = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
  std::vector<uint32_t> pixels(image.pixels);
  Gdiplus::Bitmap bitmap(image.width, image.height, image.width * 4, PixelFormat32bppRGB,
                         reinterpret_cast<BYTE*>(pixels.data()));
  return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

// The pixels of a GDI+ bitmap.
Capture Pixels(Gdiplus::Bitmap& image) {
  Capture out;
  Gdiplus::Rect all(0, 0, static_cast<INT>(image.GetWidth()), static_cast<INT>(image.GetHeight()));
  Gdiplus::BitmapData data;
  if (image.GetLastStatus() != Gdiplus::Ok || all.Width <= 0 ||
      image.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok) {
    return out;
  }
  out.width = all.Width;
  out.height = all.Height;
  for (int y = 0; y < out.height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data.Scan0) + y * data.Stride);
    for (int x = 0; x < out.width; ++x) out.pixels.push_back(row[x] & 0xFFFFFF);
  }
  image.UnlockBits(&data);
  return out;
}

std::string ReadAll(HANDLE file) {
  std::string out;
  char buffer[65536];
  DWORD n = 0;
  while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
    out.append(buffer, n);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return out;
}

bool WriteText(const std::wstring& path, const std::string& text, DWORD how, DWORD access = GENERIC_WRITE) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, how, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  return CloseHandle(file) && written == text.size();
}

bool Gone(HWND window) { return !IsWindow(window) || !IsWindowVisible(window); }

}  // namespace

std::wstring Scenario(const std::wstring& name) { return ExeFolder() + L"\\scenarios\\" + name + L".sim"; }

std::wstring ScratchFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return FolderFromEnv("LOADPOST_TEST_WORK", std::wstring(temp) + L"loadpost-ui");
}

std::wstring WriteScenario(const std::wstring& name, const std::string& text) {
  const std::wstring path = ScratchFolder() + L"\\" + name + L".sim";
  return WriteText(path, text, CREATE_ALWAYS) ? path : L"";
}

std::wstring DefaultSaveFolder() {
  wchar_t path[MAX_PATH] = L"";
  SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path);
  return std::wstring(path) + L"\\Trevane\\Loadpost tester";
}

void PressKey(HWND window, WPARAM key) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  HWND target = GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus ? info.hwndFocus
                                                                                                      : window;
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC)) << 16;
  PostMessageW(target, WM_KEYDOWN, key, 1 | scan);
  PostMessageW(target, WM_KEYUP, key, 1 | scan | (3LL << 30));
}

std::vector<HWND> TopWindows(DWORD processId, const wchar_t* windowClass, const wchar_t* title) {
  std::vector<HWND> found;
  for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, windowClass, title)) != nullptr;) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if ((!processId || pid == processId) && IsWindowVisible(w)) found.push_back(w);
  }
  return found;
}

HWND WaitForWindow(DWORD processId, const wchar_t* windowClass, const wchar_t* title, int timeoutMs) {
  std::vector<HWND> found;
  WaitUntil([&] { return !(found = TopWindows(processId, windowClass, title)).empty(); }, timeoutMs);
  return found.empty() ? nullptr : found[0];
}

std::string ReadClosedFile(const std::wstring& path) {
  // The program holds a file open for writing until it is complete; until then an open that shares only reading fails.
  HANDLE file = INVALID_HANDLE_VALUE;
  WaitUntil([&] {
    file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  return ReadAll(file);
}

std::vector<std::string> CrLfLines(const std::string& bytes, int* bare) {
  std::vector<std::string> lines;
  for (size_t at = 0, end = 0; at < bytes.size(); at = end + 2) {
    end = std::min(bytes.find("\r\n", at), bytes.size());
    lines.push_back(bytes.substr(at, end - at));
  }
  const auto count = [&](char c) { return static_cast<int>(std::count(bytes.begin(), bytes.end(), c)); };
  if (bare) *bare = count('\r') + count('\n') - 2 * static_cast<int>(lines.size());
  return lines;
}

std::string FrameHex(uint8_t command, const std::vector<uint8_t>& data) {
  uint8_t frame[64];
  const size_t n = BuildFrame(command, data.data(), data.size(), frame, sizeof(frame));
  std::string hex;
  char part[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(part, sizeof(part), i ? " %02X" : "%02X", frame[i]);
    hex += part;
  }
  return hex;
}

std::vector<std::wstring> ClaimedSerials() {
  std::vector<std::wstring> serials;
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Loadpost_pluginfo");
  const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kRegistryBytes) : nullptr;
  for (int i = 0; view && i < kRegistrySlots; ++i) {
    int32_t pid = 0;
    wchar_t serial[kRegistrySerialUnits] = L"";
    ReadRegistrySlot(static_cast<const uint8_t*>(view), i, &pid, serial);
    if (pid > 0) serials.push_back(serial);
  }
  if (view) UnmapViewOfFile(view);
  if (mapping) CloseHandle(mapping);
  return serials;
}

Capture CaptureWindow(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  // Other tests' windows may share the display: raise the window's top-level
  // window for the capture (the graph repaints every 10 ms).
  HWND root = GetAncestor(window, GA_ROOT);
  SetWindowPos(root, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  Sleep(200);
  EnsureGdiplus();
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, rect.right - rect.left, rect.bottom - rect.top);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, rect.right - rect.left, rect.bottom - rect.top, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  Capture capture;
  {
    Gdiplus::Bitmap image(bitmap, nullptr);
    capture = Pixels(image);
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  SetWindowPos(root, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return capture;
}

Capture LoadPng(const std::wstring& path) {
  EnsureGdiplus();
  Gdiplus::Bitmap image(path.c_str());
  return Pixels(image);
}

App::~App() {
  Kill();
  if (info_.hThread) CloseHandle(info_.hThread);
  if (info_.hProcess) CloseHandle(info_.hProcess);
}

bool App::Start(const std::wstring& scenarioFile, const std::wstring& copy, int timeoutMs) {
  const std::wstring folder = ScratchFolder() + (copy.empty() ? L"" : L"\\" + copy);
  CreateDirectoryW(folder.c_str(), nullptr);
  controlFile_ = folder + L"\\sim-control.txt";
  recordFile_ = folder + L"\\sim-frames.txt";
  DeleteFileW(recordFile_.c_str());
  WriteText(controlFile_, "", CREATE_ALWAYS);
  SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", scenarioFile.c_str());
  SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", controlFile_.c_str());
  SetEnvironmentVariableW(L"LOADPOST_SIM_RECORD", recordFile_.c_str());
  const std::wstring exe = ExeFolder() + L"\\Loadpost.exe";
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {sizeof(startup)};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, ExeFolder().c_str(),
                      &startup, &info_)) {
    return false;
  }
  return WaitMain(timeoutMs);
}

std::vector<std::wstring> App::Items(HWND dialog, int id) const {
  HWND combo = GetDlgItem(dialog, id);
  std::vector<std::wstring> items;
  const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[512] = L"";  // rows are far shorter
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    items.emplace_back(text);
  }
  return items;
}

void App::Choose(HWND dialog, int id, int row) const {
  HWND combo = GetDlgItem(dialog, id);
  SendMessageW(combo, CB_SETCURSEL, row, 0);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

std::pair<int, int> App::SliderRange(HWND dialog, int id) const {
  HWND slider = GetDlgItem(dialog, id);
  return {static_cast<int>(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0)),
          static_cast<int>(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0))};
}

std::wstring App::TakeBox(const std::wstring& caption, int answer, int timeoutMs) const {
  HWND box = WaitForDialog(caption, timeoutMs);
  if (!box) return L"";
  const std::wstring text = MessageText(box);
  Answer(box, answer);
  return text;
}

bool App::SaveAs(HWND owner, int button, const std::wstring& title, const std::wstring& path,
                 std::wstring* offered) const {
  if (!Click(owner, button)) return false;
  HWND dialog = WaitForDialog(title);
  if (!dialog) return false;
  // The file name: the classic dialog's edit 0x480, or the Edit inside the
  // explorer-style dialog's combo 0x47C (a ComboBoxEx32 holding a ComboBox).
  HWND edit = GetDlgItem(dialog, 0x480);
  if (!IsWindowVisible(edit) && GetDlgItem(dialog, 0x47C)) {
    edit = FindWindowExW(FindWindowExW(GetDlgItem(dialog, 0x47C), nullptr, L"ComboBox", nullptr), nullptr, L"Edit",
                         nullptr);
  }
  if (!edit) return false;
  if (offered) *offered = WindowText(edit);
  if (path.empty()) return Close(dialog, IDCANCEL);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000, &result);
  if (!Click(dialog, IDOK)) return false;
  return WaitUntil(
      [&] {
        if (Gone(dialog)) return true;
        for (HWND w : TopWindows(ProcessId(), L"#32770", nullptr)) {  // "replace it?"
          if (GetWindow(w, GW_OWNER) == dialog) Answer(w, IDYES);
        }
        return false;
      },
      15000, 100);
}

std::vector<std::string> App::SavedLog(const std::wstring& path, std::wstring* offered) const {
  DeleteFileW(path.c_str());
  std::vector<std::string> texts;
  if (!SaveAs(main_, IDC_SAVE_LOG, L"Select a log file name", path, offered)) return texts;
  const std::vector<std::string> lines = CrLfLines(ReadClosedFile(path));
  for (size_t i = 4; i < lines.size(); ++i) {
    const size_t mark = lines[i].find("- ", 26);  // "<24-character time>: <11-character label>- <text>"
    texts.push_back(mark == std::string::npos ? lines[i] : lines[i].substr(mark + 2));
  }
  return texts;
}

HWND App::OpenGraph(bool sweep) const {
  if (!Click(sweep ? IDC_SWEEP_GRAPH : IDC_REALTIME_GRAPH)) return nullptr;
  HWND graph =
      WaitForDialog(sweep ? L"Graph - Voltage vs. Current sweep" : L"Graph - Real time voltage & ripple");
  RECT r{};
  GetWindowRect(graph, &r);  // wider than the test screen at its template size
  const int width = std::min<int>(r.right - r.left, GetSystemMetrics(SM_CXSCREEN) - 40);
  if (graph) SetWindowPos(graph, nullptr, 0, 0, width, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  return graph;
}

void App::Screenshot(const std::wstring& name, HWND window) const {
  SavePng(CaptureWindow(window ? window : main_),
          FolderFromEnv("LOADPOST_ARTIFACTS", ExeFolder() + L"\\..\\test-artifacts") + L"\\" + name + L".png");
}

void App::Sim(const std::string& command) const {
  WriteText(controlFile_, command + "\n", OPEN_ALWAYS, FILE_APPEND_DATA);
}

std::string App::FrameRecord() const {
  return ReadAll(CreateFileW(recordFile_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
}

int App::CountSent(const std::string& hex) const {
  std::istringstream lines(FrameRecord());
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    count += line.find(" RX ") != std::string::npos && line.find(hex) != std::string::npos;
  }
  return count;
}

int App::Exit(int timeoutMs) {
  if (Running() && !Click(IDC_EXIT)) PostMessageW(main_, WM_CLOSE, 0, 0);
  DWORD code = 0;
  const bool ended = WaitForSingleObject(info_.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
  Kill();
  return ended && GetExitCodeProcess(info_.hProcess, &code) ? static_cast<int>(code) : -1;
}

}  // namespace ui
