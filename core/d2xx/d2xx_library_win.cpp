#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "core/d2xx/d2xx.h"
#include "core/d2xx/d2xx_api.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace {

constexpr size_t kNameChars = 260;

std::mutex loadLock;
std::atomic<const D2xxApi*> loadedApi{nullptr};
bool loadTried = false;  // guarded by loadLock
HMODULE library = nullptr;
D2xxApi table;
wchar_t libraryName[kNameChars] = L"ftd2xx.dll";

template <typename T>
bool Resolve(const char* name, T* slot, wchar_t* missing, size_t missingChars) {
  FARPROC p = GetProcAddress(library, name);
  if (p) {
    *slot = reinterpret_cast<T>(reinterpret_cast<void*>(p));
    return true;
  }
  // Entry point names are ASCII: widen them by hand.
  size_t used = std::wcslen(missing);
  const char* separator = used == 0 ? "" : ", ";
  for (const char* parts[2] = {separator, name}; const char* part : parts) {
    for (; *part && used + 1 < missingChars; ++part) missing[used++] = static_cast<wchar_t>(*part);
  }
  missing[used] = 0;
  return false;
}

template <typename T>
T Optional(const char* name) {
  FARPROC p = GetProcAddress(library, name);
  return p ? reinterpret_cast<T>(reinterpret_cast<void*>(p)) : nullptr;
}

// Called with loadLock held, once per library name.
void LoadLocked() {
  loadTried = true;
  wchar_t text[kLogTextChars];
  library = LoadLibraryExW(libraryName, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) {
    std::swprintf(text, kLogTextChars, L"D2XX library %ls not found", libraryName);
    LogEvent(text, LogError);
    return;
  }
  wchar_t missing[kLogTextChars] = L"";
  D2xxApi api{};
  bool ok = true;
  ok &= Resolve("FT_ListDevices", &api.ListDevices, missing, kLogTextChars);
  ok &= Resolve("FT_W32_CreateFile", &api.W32_CreateFile, missing, kLogTextChars);
  ok &= Resolve("FT_SetBaudRate", &api.SetBaudRate, missing, kLogTextChars);
  ok &= Resolve("FT_SetDataCharacteristics", &api.SetDataCharacteristics, missing, kLogTextChars);
  ok &= Resolve("FT_SetTimeouts", &api.SetTimeouts, missing, kLogTextChars);
  ok &= Resolve("FT_W32_ReadFile", &api.W32_ReadFile, missing, kLogTextChars);
  ok &= Resolve("FT_W32_WriteFile", &api.W32_WriteFile, missing, kLogTextChars);
  ok &= Resolve("FT_W32_GetOverlappedResult", &api.W32_GetOverlappedResult, missing, kLogTextChars);
  ok &= Resolve("FT_Close", &api.Close, missing, kLogTextChars);
  if (!ok) {
    std::swprintf(text, kLogTextChars, L"D2XX library %ls lacks %ls", libraryName, missing);
    text[kLogTextChars - 1] = 0;
    LogEvent(text, LogError);
    FreeLibrary(library);
    library = nullptr;
    return;
  }
  // Entry points a library may lack: not an error.
  api.W32_GetLastError = Optional<FT_W32_GetLastError_t>("FT_W32_GetLastError");
  api.SetLatencyTimer = Optional<FT_SetLatencyTimer_t>("FT_SetLatencyTimer");
  api.GetLatencyTimer = Optional<FT_GetLatencyTimer_t>("FT_GetLatencyTimer");
  api.SetChars = Optional<FT_SetChars_t>("FT_SetChars");
  table = api;
  loadedApi.store(&table, std::memory_order_release);
}

}  // namespace

const D2xxApi* D2xx() {
  if (const D2xxApi* api = loadedApi.load(std::memory_order_acquire)) return api;
  std::lock_guard<std::mutex> guard(loadLock);
  if (!loadTried) LoadLocked();
  return loadedApi.load(std::memory_order_acquire);
}

bool D2xxAvailable() { return D2xx() != nullptr; }

void D2xxUseApiForTesting(const D2xxApi* api) {
  std::lock_guard<std::mutex> guard(loadLock);
  if (library) FreeLibrary(library);
  library = nullptr;
  if (api) {
    table = *api;
    loadTried = true;
    loadedApi.store(&table, std::memory_order_release);
  } else {
    loadTried = false;
    loadedApi.store(nullptr, std::memory_order_release);
  }
}

void D2xxSetLibraryName(const wchar_t* fileName) {
  std::lock_guard<std::mutex> guard(loadLock);
  loadedApi.store(nullptr, std::memory_order_release);
  if (library) FreeLibrary(library);
  library = nullptr;
  loadTried = false;
  std::swprintf(libraryName, kNameChars, L"%ls", fileName ? fileName : L"ftd2xx.dll");
  libraryName[kNameChars - 1] = 0;
}

int D2xxDeviceCount() {
  const D2xxApi* api = D2xx();
  if (!api) return 0;
  DWORD count = 0;
  if (api->ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return 0;
  return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
}

bool D2xxSerialAt(int index, char* out, size_t outSize) {
  if (!out || outSize == 0) return false;
  out[0] = 0;
  const D2xxApi* api = D2xx();
  if (!api || index < 0) return false;
  // The library writes at most 64 bytes for a serial number or description.
  char buffer[68] = {};
  const FT_STATUS status = api->ListDevices(reinterpret_cast<PVOID>(static_cast<uintptr_t>(index)), buffer,
                                            FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
  if (status != FT_OK) return false;
  buffer[sizeof buffer - 1] = 0;
  const size_t n = strnlen(buffer, sizeof buffer);
  const size_t copy = n < outSize - 1 ? n : outSize - 1;
  std::memcpy(out, buffer, copy);
  out[copy] = 0;
  return true;
}
