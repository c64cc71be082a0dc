// The D2XX entry points of the stand-in ftd2xx.dll, served by the simulated
// world. Each open handle has a worker thread that completes its overlapped
// reads and writes when the simulated line says the bytes have crossed.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <type_traits>

#include "core/d2xx/d2xx_abi.h"
#include "sim/sim_host_win.h"

namespace {

// Completion states kept in OVERLAPPED::Internal, as the system does.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusDeviceGone = 0xC000009D;

constexpr DWORD kListBufferSize = 64;  // what D2XX callers provide for a serial or description
constexpr uint32_t kHandleMagic = 0x53494D44;

struct PendingIo {
  OVERLAPPED* ov = nullptr;
  uint8_t* buffer = nullptr;  // reads
  DWORD size = 0;
  sim::SimTime doneAt = 0;            // writes: the last byte has crossed
  sim::SimTime deadline = sim::kNever;  // reads: the D2XX read time-out
};

struct DeviceHandle {
  uint32_t magic = kHandleMagic;
  std::string serial;
  uint64_t generation = 0;
  bool overlapped = false;
  bool closing = false;
  ULONG baud = 9600;  // a freshly opened FTDI device runs at 9600 8N1
  UCHAR wordLength = 8, stopBits = 0, parity = 0;
  ULONG readTimeoutMs = 0;  // 0: no time-out
  std::deque<PendingIo> reads;
  std::deque<PendingIo> writes;
  HANDLE wake = nullptr;
  HANDLE thread = nullptr;
};

std::set<DeviceHandle*> handles;  // open handles, under the host lock

void WakeAllHandles() {
  for (DeviceHandle* h : handles) SetEvent(h->wake);
}

DeviceHandle* Find(FT_HANDLE handle) {
  auto* h = static_cast<DeviceHandle*>(handle);
  return handles.count(h) ? h : nullptr;
}

// A handle that is open on a device still on the bus (under the host lock);
// otherwise `status` is what the D2XX call returns.
struct OpenDevice {
  DeviceHandle* h = nullptr;
  sim::TesterModel* model = nullptr;
  FT_STATUS status = FT_OK;
};

OpenDevice FindOpen(FT_HANDLE handle) {
  OpenDevice d;
  d.h = Find(handle);
  if (!d.h) {
    d.status = FT_INVALID_HANDLE;
    return d;
  }
  d.model = simhost::World().Opened(d.h->serial, d.h->generation);
  if (!d.model) d.status = FT_IO_ERROR;
  return d;
}

void Complete(const PendingIo& io, ULONG_PTR status, DWORD bytes) {
  io.ov->InternalHigh = bytes;
  MemoryBarrier();
  io.ov->Internal = status;
  if (io.ov->hEvent) SetEvent(io.ov->hEvent);
}

void FailAll(DeviceHandle* h, ULONG_PTR status) {
  for (const PendingIo& io : h->reads) Complete(io, status, 0);
  for (const PendingIo& io : h->writes) Complete(io, status, 0);
  h->reads.clear();
  h->writes.clear();
}

DWORD ErrorOf(ULONG_PTR status) {
  switch (status) {
    case kStatusPending: return ERROR_IO_INCOMPLETE;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusDeviceGone: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_GEN_FAILURE;
  }
}

void ApplyLine(DeviceHandle* h, sim::TesterModel* model) {
  model->SetHostLine(h->baud, h->wordLength, h->stopBits, h->parity);
}

// Completes what can be completed now; returns when to look again.
sim::SimTime Service(DeviceHandle* h) {
  sim::SimWorld& world = simhost::World();
  const sim::SimTime now = simhost::Now();
  world.Advance(now);
  sim::TesterModel* model = world.Opened(h->serial, h->generation);
  if (!model) {
    FailAll(h, kStatusDeviceGone);
    return sim::kNever;
  }
  while (!h->writes.empty() && h->writes.front().doneAt <= now) {
    Complete(h->writes.front(), kStatusSuccess, h->writes.front().size);
    h->writes.pop_front();
  }
  while (!h->reads.empty()) {
    const PendingIo& io = h->reads.front();
    const size_t n = model->HostRead(io.buffer, io.size, now);
    if (n == 0 && io.deadline > now) break;
    Complete(io, kStatusSuccess, static_cast<DWORD>(n));  // on a time-out with 0 bytes, as D2XX does
    h->reads.pop_front();
  }
  sim::SimTime next = sim::kNever;
  if (!h->writes.empty()) next = std::min(next, h->writes.front().doneAt);
  if (!h->reads.empty()) next = std::min({next, h->reads.front().deadline, world.NextEventTime()});
  return next;
}

DWORD WINAPI HandleWorker(void* param) {
  auto* h = static_cast<DeviceHandle*>(param);
  for (;;) {
    sim::SimTime next;
    {
      simhost::Guard guard;
      if (h->closing) {
        FailAll(h, kStatusCancelled);
        return 0;
      }
      next = Service(h);
    }
    if (next == sim::kNever) {
      WaitForSingleObject(h->wake, INFINITE);
    } else {
      simhost::WaitUntil(next, h->wake);
    }
  }
}

void CopyText(const std::string& text, char* out) {
  const size_t n = std::min<size_t>(text.size(), kListBufferSize - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

extern "C" {

FT_STATUS WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  sim::SimWorld& world = simhost::World();
  world.Advance(simhost::Now());
  if (flags & FT_LIST_NUMBER_ONLY) {
    if (!arg1) return FT_INVALID_PARAMETER;
    *static_cast<DWORD*>(arg1) = static_cast<DWORD>(world.PluggedCount());
    return FT_OK;
  }
  const bool byDescription = (flags & FT_OPEN_BY_DESCRIPTION) != 0;
  if (flags & FT_LIST_BY_INDEX) {
    const int index = static_cast<int>(static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg1)));
    sim::TesterModel* device = world.PluggedAt(index);
    if (!device) return FT_DEVICE_NOT_FOUND;
    if (!arg2) return FT_INVALID_PARAMETER;
    CopyText(byDescription ? device->Setup().description : device->Serial(), static_cast<char*>(arg2));
    return FT_OK;
  }
  if (flags & FT_LIST_ALL) {
    if (!arg1 || !arg2) return FT_INVALID_PARAMETER;
    char** buffers = static_cast<char**>(arg1);
    const int count = world.PluggedCount();
    for (int i = 0; i < count && buffers[i]; ++i) {
      sim::TesterModel* device = world.PluggedAt(i);
      CopyText(byDescription ? device->Setup().description : device->Serial(), buffers[i]);
    }
    *static_cast<DWORD*>(arg2) = static_cast<DWORD>(count);
    return FT_OK;
  }
  return FT_INVALID_PARAMETER;
}

FT_HANDLE WINAPI FT_W32_CreateFile(const char* name, DWORD access, DWORD shareMode,
                                                         LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                                         HANDLE templateFile) {
  simhost::EnsureStarted();
  if (!name || !(flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  simhost::Guard guard;
  sim::SimWorld& world = simhost::World();
  const sim::SimTime now = simhost::Now();
  world.Advance(now);
  std::string serial = name;
  if (!(flags & FT_OPEN_BY_SERIAL_NUMBER)) {
    serial.clear();
    for (int i = 0; sim::TesterModel* device = world.PluggedAt(i); ++i) {
      if (device->Setup().description == name) {
        serial = device->Serial();
        break;
      }
    }
  }
  uint64_t generation = 0;
  const sim::OpenResult result = world.Open(serial, now, &generation);
  if (result != sim::OpenResult::Ok) {
    SetLastError(result == sim::OpenResult::AlreadyOpen ? ERROR_ACCESS_DENIED
                 : result == sim::OpenResult::Refused  ? ERROR_GEN_FAILURE
                                                       : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* h = new DeviceHandle;
  h->serial = serial;
  h->generation = generation;
  h->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  h->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (h->wake) h->thread = CreateThread(nullptr, 0, HandleWorker, h, 0, nullptr);
  if (!h->thread) {
    world.Close(serial, generation, now);
    if (h->wake) CloseHandle(h->wake);
    delete h;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  // The worker needs the lock before it looks at the handle, so it is safe to
  // finish setting up here.
  ApplyLine(h, world.Opened(serial, generation));
  handles.insert(h);
  simhost::SetWakeAll(WakeAllHandles);
  return h;
}

FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  if (baudRate < 183 || baudRate > 3000000) return FT_INVALID_BAUD_RATE;
  h->baud = baudRate;
  ApplyLine(h, model);
  return FT_OK;
}

FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                                 UCHAR parity) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4) {
    return FT_INVALID_PARAMETER;
  }
  h->wordLength = wordLength;
  h->stopBits = stopBits;
  h->parity = parity;
  ApplyLine(h, model);
  return FT_OK;
}

FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeoutMs, ULONG writeTimeoutMs) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  h->readTimeoutMs = readTimeoutMs;
  return FT_OK;
}

// The bridge's latency timer: 1..255 ms (a fresh handle starts at the
// scenario's value, 16 ms unless it says otherwise). A `nolatency` fault makes
// the bridge refuse it.
FT_STATUS WINAPI FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timerMs) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  if (timerMs < sim::kMinLatencyMs) return FT_INVALID_PARAMETER;
  if (!model->SetLatencyTimer(timerMs, simhost::Now())) return FT_IO_ERROR;
  // What the bridge holds may now be due at another time.
  SetEvent(h->wake);
  return FT_OK;
}

FT_STATUS WINAPI FT_GetLatencyTimer(FT_HANDLE handle, PUCHAR timerMs) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  if (!timerMs) return FT_INVALID_PARAMETER;
  *timerMs = static_cast<UCHAR>(model->LatencyTimer());
  return FT_OK;
}

// Only the event character matters to the model: the error character is
// inserted on line errors, which the simulated line does not have. A
// `nochars` fault makes the bridge refuse.
FT_STATUS WINAPI FT_SetChars(FT_HANDLE handle, UCHAR eventChar, UCHAR eventCharEnabled, UCHAR, UCHAR) {
  simhost::EnsureStarted();
  simhost::Guard guard;
  const auto [h, model, status] = FindOpen(handle);
  if (status != FT_OK) return status;
  if (!model->SetEventChar(eventChar, eventCharEnabled != 0, simhost::Now())) return FT_IO_ERROR;
  SetEvent(h->wake);
  return FT_OK;
}

// Checks a read or write request (under the host lock) and brings the model up
// to `now`: the handle must be open on a device still on the bus and the buffer
// present. An overlapped request's event is reset here.
bool BeginIo(FT_HANDLE handle, LPVOID buffer, DWORD size, LPOVERLAPPED overlapped, sim::SimTime now,
             DeviceHandle** device, sim::TesterModel** model) {
  DeviceHandle* h = Find(handle);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  sim::SimWorld& world = simhost::World();
  world.Advance(now);
  *model = world.Opened(h->serial, h->generation);
  if (!*model) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!buffer && size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (h->overlapped && overlapped && overlapped->hEvent) ResetEvent(overlapped->hEvent);
  *device = h;
  return true;
}

// A request that cannot complete at once is queued for the device's worker. An
// overlapped one returns ERROR_IO_PENDING and completes through its event; a
// plain one gets an event of its own, which WaitQueued then waits on.
struct QueuedIo {
  OVERLAPPED own{};
  HANDLE ownEvent = nullptr;
};

BOOL QueueIo(DeviceHandle* h, std::deque<PendingIo>& queue, PendingIo io, LPOVERLAPPED overlapped, bool async,
             QueuedIo& wait, LPDWORD transferred) {
  if (async) {
    io.ov = overlapped;
  } else {
    wait.ownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wait.own.hEvent = wait.ownEvent;
    io.ov = &wait.own;
  }
  io.ov->Internal = kStatusPending;
  io.ov->InternalHigh = 0;
  queue.push_back(io);
  SetEvent(h->wake);
  if (async) {
    if (transferred) *transferred = 0;
    SetLastError(ERROR_IO_PENDING);
  }
  return FALSE;
}

BOOL WaitQueued(QueuedIo& wait, LPDWORD transferred) {
  WaitForSingleObject(wait.ownEvent, INFINITE);
  CloseHandle(wait.ownEvent);
  if (transferred) *transferred = static_cast<DWORD>(wait.own.InternalHigh);
  if (wait.own.Internal != kStatusSuccess) {
    SetLastError(ErrorOf(wait.own.Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FT_W32_ReadFile(FT_HANDLE handle, LPVOID buffer, DWORD bytesToRead,
                                                  LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  simhost::EnsureStarted();
  QueuedIo wait;
  DeviceHandle* h = nullptr;
  {
    simhost::Guard guard;
    const sim::SimTime now = simhost::Now();
    sim::TesterModel* model = nullptr;
    if (!BeginIo(handle, buffer, bytesToRead, overlapped, now, &h, &model)) return FALSE;
    const bool async = h->overlapped && overlapped;
    // Bytes that are already there complete the read at once.
    if (h->reads.empty()) {
      const size_t n = bytesToRead ? model->HostRead(static_cast<uint8_t*>(buffer), bytesToRead, now) : 0;
      if (n > 0 || bytesToRead == 0) {
        if (bytesRead) *bytesRead = static_cast<DWORD>(n);
        if (async) Complete({overlapped, nullptr, 0, 0, 0}, kStatusSuccess, static_cast<DWORD>(n));
        return TRUE;
      }
    }
    PendingIo io;
    io.buffer = static_cast<uint8_t*>(buffer);
    io.size = bytesToRead;
    io.deadline = h->readTimeoutMs ? now + static_cast<sim::SimTime>(h->readTimeoutMs) * 1000 : sim::kNever;
    const BOOL result = QueueIo(h, h->reads, io, overlapped, async, wait, bytesRead);
    if (async) return result;
  }
  // A synchronous read waits here for its completion.
  return WaitQueued(wait, bytesRead);
}

BOOL WINAPI FT_W32_WriteFile(FT_HANDLE handle, LPVOID buffer, DWORD bytesToWrite,
                                                   LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  simhost::EnsureStarted();
  QueuedIo wait;
  {
    simhost::Guard guard;
    const sim::SimTime now = simhost::Now();
    DeviceHandle* h = nullptr;
    sim::TesterModel* model = nullptr;
    if (!BeginIo(handle, buffer, bytesToWrite, overlapped, now, &h, &model)) return FALSE;
    const bool async = h->overlapped && overlapped;
    PendingIo io;
    io.size = bytesToWrite;
    io.doneAt = model->HostWrite(static_cast<const uint8_t*>(buffer), bytesToWrite, now);
    const BOOL result = QueueIo(h, h->writes, io, overlapped, async, wait, bytesWritten);
    if (async) return result;
  }
  return WaitQueued(wait, bytesWritten);
}

BOOL WINAPI FT_W32_GetOverlappedResult(FT_HANDLE handle, LPOVERLAPPED overlapped,
                                                             LPDWORD bytesTransferred, BOOL wait) {
  if (!overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  volatile ULONG_PTR* status = &overlapped->Internal;
  while (*status == kStatusPending) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    if (overlapped->hEvent) {
      WaitForSingleObject(overlapped->hEvent, INFINITE);
    } else {
      Sleep(1);
    }
  }
  MemoryBarrier();
  if (bytesTransferred) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != kStatusSuccess) {
    SetLastError(ErrorOf(overlapped->Internal));
    return FALSE;
  }
  return TRUE;
}

FT_STATUS WINAPI FT_Close(FT_HANDLE handle) {
  simhost::EnsureStarted();
  DeviceHandle* h = nullptr;
  {
    simhost::Guard guard;
    h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    handles.erase(h);
    h->closing = true;
    SetEvent(h->wake);
    simhost::World().Close(h->serial, h->generation, simhost::Now());
  }
  // The worker fails what is still pending and ends.
  if (WaitForSingleObject(h->thread, 5000) == WAIT_OBJECT_0) {
    CloseHandle(h->thread);
    CloseHandle(h->wake);
    delete h;
  }
  return FT_OK;
}

}  // extern "C"

// The exports have exactly the signatures the program's loader expects.
static_assert(std::is_same_v<decltype(&FT_ListDevices), FT_ListDevices_t>);
static_assert(std::is_same_v<decltype(&FT_W32_CreateFile), FT_W32_CreateFile_t>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), FT_SetBaudRate_t>);
static_assert(std::is_same_v<decltype(&FT_SetDataCharacteristics), FT_SetDataCharacteristics_t>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), FT_SetTimeouts_t>);
static_assert(std::is_same_v<decltype(&FT_W32_ReadFile), FT_W32_ReadFile_t>);
static_assert(std::is_same_v<decltype(&FT_W32_WriteFile), FT_W32_WriteFile_t>);
static_assert(std::is_same_v<decltype(&FT_W32_GetOverlappedResult), FT_W32_GetOverlappedResult_t>);
static_assert(std::is_same_v<decltype(&FT_Close), FT_Close_t>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), FT_SetLatencyTimer_t>);
static_assert(std::is_same_v<decltype(&FT_GetLatencyTimer), FT_GetLatencyTimer_t>);
static_assert(std::is_same_v<decltype(&FT_SetChars), FT_SetChars_t>);
