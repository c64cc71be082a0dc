#include "sim/sim_host_win.h"

#include <dbt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace simhost {

namespace {

// GUID_DEVINTERFACE_USB_DEVICE, the class the program registers for.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr DWORD kTickMs = 10;         // timeline and plug events
constexpr DWORD kControlPollMs = 50;  // control file

CRITICAL_SECTION lock;
INIT_ONCE startOnce = INIT_ONCE_STATIC_INIT;
LARGE_INTEGER counterStart;
LARGE_INTEGER counterFrequency;
sim::FrameRecorder* recorder = nullptr;
sim::SimWorld* world = nullptr;
WakeAllFn wakeAll = nullptr;
std::wstring controlPath;
HANDLE hostThread = nullptr;
// Plug events wait here for the announcer thread, so that a window that is slow
// to answer never holds up the timeline and the control file.
std::vector<sim::PlugEvent> announceQueue;
HANDLE announceEvent = nullptr;
HANDLE announceThread = nullptr;

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[2048];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
  if (n == 0 || n >= 2048) return L"";
  return std::wstring(buffer, n);
}

std::wstring ModuleFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleFolder), &self);
  wchar_t path[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH * 2);
  std::wstring folder(path, n);
  const size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() > 1 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

bool ReadWholeFile(const std::wstring& path, std::string* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text->append(buffer, n);
  CloseHandle(file);
  return true;
}

std::wstring FileName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// The one meaningful line of a pointer file ("scenarios/qc3.sim"), if that is
// all it holds.
bool SingleFileName(const std::string& text, std::string* name) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line = line.substr(0, line.find('#'));
    size_t a = line.find_first_not_of(" \t\r");
    if (a != std::string::npos) {
      const size_t b = line.find_last_not_of(" \t\r");
      words.push_back(line.substr(a, b - a + 1));
    }
    start = end + 1;
  }
  if (words.size() != 1 || words[0].find_first_of(" \t") != std::string::npos) return false;
  static const char* const kKeywords[] = {"charger", "tester", "ftdi", "at", "option", "end"};
  for (const char* k : kKeywords) {
    if (words[0] == k) return false;
  }
  *name = words[0];
  return true;
}

void Report(const std::string& text) {
  recorder->Note(0, text);
  std::fprintf(stderr, "ftd2xx (simulated tester): %s\n", text.c_str());
  std::fflush(stderr);
}

// Which scenario runs: LOADPOST_SIM_SCENARIO, else ftd2xx-sim.txt beside the
// DLL (a scenario, or the name of one relative to the DLL), else the default.
sim::Scenario ChooseScenario() {
  sim::Scenario scenario;
  std::string error;
  std::string text;
  std::wstring path = Environment(L"LOADPOST_SIM_SCENARIO");
  const std::wstring folder = ModuleFolder();
  if (path.empty()) {
    const std::wstring pointer = folder + L"\\ftd2xx-sim.txt";
    if (ReadWholeFile(pointer, &text)) {
      std::string name;
      if (SingleFileName(text, &name)) {
        path = Widen(name);
        if (!IsAbsolute(path)) path = folder + L"\\" + path;
      } else if (sim::ParseScenario(text, "ftd2xx-sim.txt", &scenario, &error)) {
        return scenario;
      } else {
        Report("scenario error: " + error);
        return sim::Scenario{};
      }
    }
  }
  if (path.empty()) {
    sim::ParseScenario(sim::DefaultScenarioText(), "built-in default", &scenario, &error);
    return scenario;
  }
  if (!ReadWholeFile(path, &text)) {
    Report("scenario error: " + Narrow(path) + ": cannot be read");
    return sim::Scenario{};
  }
  if (!sim::ParseScenario(text, Narrow(FileName(path)), &scenario, &error)) {
    Report("scenario error: " + error);
    return sim::Scenario{};
  }
  return scenario;
}

// Lines appended to the control file since the last look (complete lines only).
class ControlFile {
 public:
  std::vector<std::string> NewLines(const std::wstring& path) {
    std::vector<std::string> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    if (size.QuadPart < offset_) {  // the file was started afresh
      offset_ = 0;
      partial_.clear();
    }
    LARGE_INTEGER at{};
    at.QuadPart = offset_;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
      offset_ += n;
      partial_.append(buffer, n);
    }
    CloseHandle(file);
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
      std::string line = partial_.substr(0, nl);
      partial_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#') continue;
      lines.push_back(line.substr(first));
    }
    return lines;
  }

 private:
  long long offset_ = 0;
  std::string partial_;
};

struct WindowList {
  DWORD process;
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* list = reinterpret_cast<WindowList*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == list->process) list->windows.push_back(window);
  return TRUE;
}

// Tells the process's top-level windows about a device arriving or leaving, the
// way Windows announces a USB device interface.
void Announce(const sim::PlugEvent& e) {
  const std::wstring name =
      L"\\\\?\\USB#VID_0403&PID_6015#" + Widen(e.serial) + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(bytes, 0);
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  b->dbcc_size = static_cast<DWORD>(bytes);
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  b->dbcc_classguid = kUsbDeviceInterface;
  std::memcpy(b->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));

  WindowList list{GetCurrentProcessId(), {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&list));
  for (HWND window : list.windows) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_DEVICECHANGE, e.arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(b), SMTO_NORMAL | SMTO_ABORTIFHUNG, 5000, &result);
  }
  Guard guard;
  recorder->Note(Now(), std::string(e.arrived ? "announced arrival of " : "announced removal of ") + e.serial + " to " +
                            std::to_string(list.windows.size()) + " window(s)");
}

DWORD WINAPI AnnounceThread(void*) {
  for (;;) {
    WaitForSingleObject(announceEvent, INFINITE);
    std::vector<sim::PlugEvent> events;
    {
      Guard guard;
      events.swap(announceQueue);
    }
    for (const sim::PlugEvent& e : events) Announce(e);
  }
  return 0;
}

DWORD WINAPI HostThread(void*) {
  ControlFile control;
  DWORD sinceControl = kControlPollMs;
  for (;;) {
    std::vector<std::string> lines;
    if (!controlPath.empty() && sinceControl >= kControlPollMs) {
      lines = control.NewLines(controlPath);
      sinceControl = 0;
    }
    {
      Guard guard;
      const sim::SimTime now = Now();
      world->Advance(now);
      for (const std::string& line : lines) {
        std::string error;
        if (world->Execute(line, now, &error)) {
          recorder->Note(now, "control: " + line);
        } else {
          recorder->Note(now, "control error: " + error + " (in '" + line + "')");
        }
      }
      std::vector<sim::PlugEvent> events = world->TakePlugEvents();
      if (!lines.empty() || !events.empty()) WakeAll();
      if (!events.empty()) {
        announceQueue.insert(announceQueue.end(), events.begin(), events.end());
        SetEvent(announceEvent);
      }
    }
    Sleep(kTickMs);
    sinceControl += kTickMs;
  }
  return 0;
}

BOOL CALLBACK Start(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&lock);
  QueryPerformanceFrequency(&counterFrequency);
  QueryPerformanceCounter(&counterStart);
  recorder = new sim::FrameRecorder;
  recorder->KeepLines(false);
  const std::wstring recordPath = Environment(L"LOADPOST_SIM_RECORD");
  if (!recordPath.empty()) {
    FILE* file = _wfopen(recordPath.c_str(), L"ab");
    if (file) recorder->UseFile(file);
  }
  world = new sim::SimWorld(recorder);
  world->Load(ChooseScenario());
  controlPath = Environment(L"LOADPOST_SIM_CONTROL");
  // The threads below live as long as the process: keep the DLL loaded.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&Start), &self);
  announceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  announceThread = CreateThread(nullptr, 0, AnnounceThread, nullptr, 0, nullptr);
  hostThread = CreateThread(nullptr, 0, HostThread, nullptr, 0, nullptr);
  return TRUE;
}

}  // namespace

void EnsureStarted() { InitOnceExecuteOnce(&startOnce, Start, nullptr, nullptr); }
void Lock() { EnterCriticalSection(&lock); }
void Unlock() { LeaveCriticalSection(&lock); }
sim::SimWorld& World() { return *world; }
sim::FrameRecorder& Recorder() { return *recorder; }
void SetWakeAll(WakeAllFn fn) { wakeAll = fn; }
void WakeAll() {
  if (wakeAll) wakeAll();
}

sim::SimTime Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const long long ticks = now.QuadPart - counterStart.QuadPart;
  const long long f = counterFrequency.QuadPart;
  return ticks / f * 1000000 + ticks % f * 1000000 / f;
}

void WaitUntil(sim::SimTime t, HANDLE wake) {
  for (;;) {
    const sim::SimTime left = t - Now();
    if (left <= 0) return;
    if (left >= 1400) {
      // Sleep most of the gap (a 1 ms wait takes about 1.1 ms under Wine) and
      // spin only the last few hundred microseconds; a wake-up ends it early.
      if (WaitForSingleObject(wake, static_cast<DWORD>((left - 300) / 1000)) == WAIT_OBJECT_0) return;
    } else {
      if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) return;
      SwitchToThread();
    }
  }
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

}  // namespace simhost
