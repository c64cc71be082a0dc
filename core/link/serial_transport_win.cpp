#include "core/link/serial_transport_win.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/d2xx/d2xx_api.h"
#include "core/link/low_latency.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace {

constexpr ULONG kBaudRate = 115200;
constexpr ULONG kD2xxTimeoutMs = 10000;
constexpr DWORD kStopWaitMs = 2000;
// After a failed read the next one is issued after this pause, so that a
// device that fails every read at once does not make the worker spin.
constexpr DWORD kFailedReadPauseMs = 10;

// Asks the bridge for a short latency timer and ETX as event character, so that
// replies reach the program with their last byte. A refusal, or a library
// without these calls, leaves the bridge at its default: one Diagnostics
// record, and the link carries on.
std::string AskForLowLatency(const D2xxApi& api, FT_HANDLE handle) {
  std::vector<std::string> refusals;
  auto ask = [&refusals](const char* name, bool present, FT_STATUS status) {
    if (!present) {
      refusals.push_back(std::string(name) + ": not in the D2XX library");
    } else if (status != FT_OK) {
      refusals.push_back(std::string(name) + ": status " + std::to_string(status));
    }
  };
  ask("FT_SetLatencyTimer", api.SetLatencyTimer != nullptr,
      api.SetLatencyTimer ? api.SetLatencyTimer(handle, static_cast<UCHAR>(kBridgeLatencyMs)) : FT_OK);
  ask("FT_SetChars", api.SetChars != nullptr, api.SetChars ? api.SetChars(handle, kBridgeEventChar, 1, 0, 0) : FT_OK);
  const std::string text = LowLatencyRefusedText(refusals);
  if (text.empty()) return text;
  const std::wstring wide(text.begin(), text.end());  // ASCII
  LogEvent(wide.c_str(), LogDiagnostics);
  return text;
}

// Whether a read or write that returned FALSE is under way after all.
bool Pending(const D2xxApi* api, FT_HANDLE handle) {
  const DWORD error = api->W32_GetLastError ? api->W32_GetLastError(handle) : GetLastError();
  return error == ERROR_IO_PENDING;
}

}  // namespace

SerialTransport::SerialTransport() {
  eventsReady = true;
  for (int i = 0; i < kEventCount; ++i) {
    const bool manualReset = i == kReadComplete || i == kWriteComplete || i == kWriteRequest || i == kSpare;
    ioEvents[i] = CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    if (!ioEvents[i]) eventsReady = false;
  }
}

SerialTransport::~SerialTransport() {
  if (thread) Stop();
  CloseHandleOnce();
  for (HANDLE& e : ioEvents) {
    if (e) CloseHandle(e);
    e = nullptr;
  }
}

void SerialTransport::SetCallback(TransportCallback function, void* context) {
  callback = function;
  callbackContext = context;
}

void SerialTransport::SetReadSize(int n) {
  if (n > kTransportBufferBytes) n = kTransportBufferBytes;
  if (n < 1) n = 1;
  readSize = n;
}

void SerialTransport::CloseHandleOnce() {
  if (handle == INVALID_HANDLE_VALUE) return;
  if (const D2xxApi* api = D2xx()) api->Close(handle);
  handle = INVALID_HANDLE_VALUE;
}

bool SerialTransport::Open(const char* serialNumber) {
  if (thread) Stop();
  CloseHandleOnce();
  const D2xxApi* api = D2xx();
  if (!api || !serialNumber) return false;

  std::memset(&readOv, 0, sizeof readOv);
  std::memset(&writeOv, 0, sizeof writeOv);
  std::memset(&spareOv, 0, sizeof spareOv);
  handle = api->W32_CreateFile(serialNumber, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | FT_OPEN_BY_SERIAL_NUMBER, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    handle = INVALID_HANDLE_VALUE;
    return false;
  }
  readOv.hEvent = ioEvents[kReadComplete];
  writeOv.hEvent = ioEvents[kWriteComplete];
  spareOv.hEvent = ioEvents[kSpare];

  bool ok = api->SetBaudRate(handle, kBaudRate) == FT_OK;
  ok = ok && api->SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) == FT_OK;
  ok = ok && api->SetTimeouts(handle, kD2xxTimeoutMs, kD2xxTimeoutMs) == FT_OK;
  ok = ok && eventsReady;
  latencyRefusal.clear();
  if (ok) latencyRefusal = AskForLowLatency(*api, handle);
  if (ok) {
    for (HANDLE e : ioEvents) ResetEvent(e);
    failed = false;
    running = 1;
    thread = CreateThread(nullptr, 0, &SerialTransport::WorkerEntry, this, 0, &threadId);
    ok = thread != nullptr;
    if (!ok) running = 0;
  }
  if (!ok) CloseHandleOnce();
  return ok;
}

bool SerialTransport::Send(const uint8_t* bytes, uint32_t length) {
  if (!bytes || length >= static_cast<uint32_t>(kTransportBufferBytes) || !thread || failed) return false;
  uint8_t idle = 0;
  if (!writeBusy.compare_exchange_strong(idle, 1)) return false;
  std::memcpy(writeBuffer, bytes, length);
  writeLength = length;
  SetEvent(ioEvents[kWriteRequest]);
  return true;
}

void SerialTransport::RequestRead() { SetEvent(ioEvents[kReadRequest]); }

bool SerialTransport::Stop() {
  running = 0;
  if (ioEvents[kStop]) SetEvent(ioEvents[kStop]);
  if (!thread) return true;
  const bool ended = WaitForSingleObject(thread, kStopWaitMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  thread = nullptr;
  return ended;
}

void SerialTransport::Report(int code) {
  if (callback) callback(this, callbackContext, code);
}

DWORD WINAPI SerialTransport::WorkerEntry(LPVOID self) {
  static_cast<SerialTransport*>(self)->Worker();
  return 0;
}

void SerialTransport::Worker() {
  const D2xxApi* api = D2xx();
  running = 1;
  writeBusy = 0;
  readPending = 0;
  Report(TransportStarted);
  bool stop = false;
  while (!stop && api) {
    const DWORD w = WaitForMultipleObjects(kEventCount, ioEvents, FALSE, INFINITE);
    switch (w) {
      case WAIT_OBJECT_0 + kStop:
        stop = true;
        break;
      case WAIT_OBJECT_0 + kReadComplete: {
        DWORD n = 0;
        const BOOL ok = api->W32_GetOverlappedResult(handle, &readOv, &n, FALSE);
        ResetEvent(ioEvents[kReadComplete]);
        bytesRead = ok ? (n > static_cast<DWORD>(kTransportBufferBytes) ? kTransportBufferBytes : n) : 0;
        readPending = 0;
        // A failed read is reported as no data, so the receiver resets and asks
        // for the next read instead of leaving reception stalled.
        if (!ok) Sleep(kFailedReadPauseMs);
        Report(TransportDataReceived);
        break;
      }
      case WAIT_OBJECT_0 + kReadRequest:
        if (!readPending) {
          readPending = 1;
          DWORD ignored = 0;
          int size = readSize;
          if (size < 1) size = 1;
          if (size > kTransportBufferBytes) size = kTransportBufferBytes;
          if (!api->W32_ReadFile(handle, readBuffer, static_cast<DWORD>(size), &ignored, &readOv) &&
              !Pending(api, handle)) {
            // Nothing will complete: no further read is asked for.
            readPending = 0;
            failed = true;
            Report(TransportFailed);
          }
        }
        break;
      case WAIT_OBJECT_0 + kWriteComplete: {
        DWORD n = 0;
        const BOOL ok = api->W32_GetOverlappedResult(handle, &writeOv, &n, FALSE);
        ResetEvent(ioEvents[kWriteComplete]);
        // Either way the write is over: the next request may be queued.
        writeBusy = 0;
        Report(ok ? TransportWriteDone : TransportWriteFailed);
        break;
      }
      case WAIT_OBJECT_0 + kWriteRequest: {
        ResetEvent(ioEvents[kWriteRequest]);
        if (failed) {
          // Queued before the failure was known: never written.
          writeBusy = 0;
          Report(TransportWriteFailed);
          break;
        }
        DWORD ignored = 0;
        if (!api->W32_WriteFile(handle, writeBuffer, writeLength, &ignored, &writeOv) && !Pending(api, handle)) {
          // The write never started: the device is gone.
          writeBusy = 0;
          failed = true;
          Report(TransportFailed);
        }
        break;
      }
      case WAIT_OBJECT_0 + kSpare:
      case WAIT_OBJECT_0 + kSpare2:
        break;
      default:
        stop = true;
        break;
    }
  }
  running = 0;
  CloseHandleOnce();
  Report(TransportStopped);
}
