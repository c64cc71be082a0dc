// Sharing testers between running copies of the window and the command line.
// Every copy maps the same small table of (serial, process ID) slots from
// named shared memory and guards it with a named mutex; a tester named in
// another running copy's slot is not used here.
#include "core/base/instance_registry_win.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <mutex>

#include "core/base/registry_slots.h"

namespace {

constexpr const wchar_t* kRegistryMutexName = L"Loadpost_pluginfo_mutex";
constexpr const wchar_t* kRegistryMappingName = L"Loadpost_pluginfo";
constexpr DWORD kRegistryWaitMs = 5000;

// Opening and closing the registry's objects, by this copy's threads one at a
// time (the named mutex below keeps the copies apart).
std::mutex openLock;
HANDLE registryMutex = nullptr;
HANDLE registryMapping = nullptr;
uint8_t* registryView = nullptr;

bool RegistryAvailable() { return registryMapping && registryView; }

// Holds the registry mutex for a scope. A copy that cannot get it within 5 s
// goes on without it; one that ended while holding it left the table as it
// was, which the slot rules tolerate.
class RegistryLock {
 public:
  RegistryLock() {
    if (!registryMutex) return;
    const DWORD result = WaitForSingleObject(registryMutex, kRegistryWaitMs);
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  }
  ~RegistryLock() {
    if (owned_) ReleaseMutex(registryMutex);
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  bool owned_ = false;
};

int64_t FileTimeValue(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// When a process started (its creation time), for the slot liveness rule.
ProcessStart ProcessStartOf(int32_t processId, void*) {
  ProcessStart out;
  if (processId <= 0) return out;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
  if (!process) {
    // A process we may not look at still exists; only a missing one has ended.
    if (GetLastError() == ERROR_ACCESS_DENIED) out.kind = ProcessStart::Unreadable;
    return out;
  }
  DWORD exitCode = 0;
  FILETIME created, exited, kernel, user;
  if (GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE) {
    out.kind = ProcessStart::NoProcess;
  } else if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    out.kind = ProcessStart::Started;
    out.time = FileTimeValue(created);
  } else {
    out.kind = ProcessStart::Unreadable;
  }
  CloseHandle(process);
  return out;
}

int64_t OwnStartTime() {
  static const int64_t start = [] {
    FILETIME created, exited, kernel, user;
    return GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) ? FileTimeValue(created) : 0;
  }();
  return start;
}

void CloseRegistryObjects() {
  if (registryView) UnmapViewOfFile(registryView);
  registryView = nullptr;
  if (registryMapping) CloseHandle(registryMapping);
  registryMapping = nullptr;
  if (registryMutex) CloseHandle(registryMutex);
  registryMutex = nullptr;
}

}  // namespace

bool OpenTesterRegistry() {
  std::lock_guard<std::mutex> hold(openLock);
  if (registryMutex || registryMapping) return RegistryAvailable();
  registryMutex = CreateMutexW(nullptr, FALSE, kRegistryMutexName);
  if (!registryMutex) return false;
  // Every copy creates-or-opens the mapping under the mutex, so a copy started
  // while the first one is still making it waits instead of failing to open it.
  {
    RegistryLock lock;
    registryMapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistryBytes, kRegistryMappingName);
    if (registryMapping) {
      registryView = static_cast<uint8_t*>(MapViewOfFile(registryMapping, FILE_MAP_ALL_ACCESS, 0, 0, kRegistryBytes));
    }
  }
  if (!RegistryAvailable()) {
    if (registryMapping) CloseHandle(registryMapping);
    registryMapping = nullptr;
    return false;
  }
  return true;
}

bool ClaimTester(const wchar_t* serial) {
  if (!RegistryAvailable()) return false;
  RegistryLock lock;
  const ClaimOutcome outcome = ClaimTesterSlot(registryView, serial, static_cast<int32_t>(GetCurrentProcessId()),
                                               OwnStartTime(), ProcessStartOf, nullptr);
  // A serial too long for a slot is not claimed; the connection refuses it.
  return outcome.result == ClaimResult::InUse;
}

bool ClaimOneOfSeveral(const wchar_t* serial) {
  if (!RegistryAvailable()) return false;
  RegistryLock lock;
  const ClaimOutcome outcome = AddTesterSlot(registryView, serial, static_cast<int32_t>(GetCurrentProcessId()),
                                             OwnStartTime(), ProcessStartOf, nullptr);
  return outcome.result == ClaimResult::InUse;
}

void ReleaseTesterClaimOf(const wchar_t* serial) {
  if (!RegistryAvailable()) return;
  RegistryLock lock;
  ReleaseTesterSlot(registryView, serial, static_cast<int32_t>(GetCurrentProcessId()));
}

void ReleaseTesterClaim() {
  if (!RegistryAvailable()) return;
  RegistryLock lock;
  ReleaseTesterSlots(registryView, static_cast<int32_t>(GetCurrentProcessId()));
}

void ReleaseInstanceRegistry() {
  std::lock_guard<std::mutex> hold(openLock);
  if (RegistryAvailable()) {
    RegistryLock lock;
    ReleaseTesterSlots(registryView, static_cast<int32_t>(GetCurrentProcessId()));
  }
  CloseRegistryObjects();
}
