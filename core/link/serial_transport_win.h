// The byte transport to a tester: one D2XX handle, one worker thread running
// overlapped reads and writes, two 256-byte buffers. It knows nothing about
// frames and reports what happens through one callback.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "core/d2xx/d2xx_abi.h"

class SerialTransport;

enum TransportEvent : int {
  TransportStarted = 0,       // the worker thread has begun
  TransportStopped = 1,       // the worker thread is ending; the handle is closed
  TransportWriteDone = 2,     // the queued frame has been written
  TransportDataReceived = 3,  // a read completed (ReceivedCount bytes; 0 after a failed read)
  TransportWriteFailed = 4,   // the queued frame's write completed with a failure
  TransportFailed = 5,        // a read or write could not even start: the device is gone
};

using TransportCallback = void (*)(SerialTransport* transport, void* context, int code);

constexpr int kTransportBufferBytes = 256;

class SerialTransport {
 public:
  enum EventSlot : int {
    kStop = 0,           // auto-reset
    kReadComplete = 1,   // manual-reset, event of readOv
    kReadRequest = 2,    // auto-reset
    kWriteComplete = 3,  // manual-reset, event of writeOv
    kWriteRequest = 4,   // manual-reset
    kSpare = 5,          // manual-reset, event of spareOv
    kSpare2 = 6,         // auto-reset
    kEventCount = 7,
  };

  SerialTransport();
  virtual ~SerialTransport();
  SerialTransport(const SerialTransport&) = delete;
  SerialTransport& operator=(const SerialTransport&) = delete;

  void SetCallback(TransportCallback function, void* context);
  // readSize = min(n, 256), and at least 1.
  void SetReadSize(int n);
  // Opens the device with this serial number at 115200 8N1, asks the bridge for
  // low latency (link/low_latency.h; a refusal is logged, not a failure) and
  // starts the worker.
  bool Open(const char* serialNumber);
  // Queues one frame. False (nothing queued) while a write is in flight, after
  // the transport failed, for a missing frame, or for one of 256 bytes or more.
  bool Send(const uint8_t* bytes, uint32_t length);
  void RequestRead();
  const uint8_t* ReceivedData() const { return readBuffer; }
  uint32_t ReceivedCount() const { return bytesRead; }
  // Ends the worker (which closes the handle). True when it has ended.
  bool Stop();
  bool Running() const { return running != 0; }

  std::atomic<uint8_t> running{0};
  HANDLE ioEvents[kEventCount] = {};
  DWORD threadId = 0;
  FT_HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE thread = nullptr;
  OVERLAPPED readOv{};
  OVERLAPPED writeOv{};
  OVERLAPPED spareOv{};
  std::atomic<uint8_t> writeBusy{0};
  // A read or write could not start (TransportFailed): nothing more is written.
  std::atomic<bool> failed{false};
  uint8_t readPending = 0;  // worker thread only
  uint8_t readBuffer[kTransportBufferBytes] = {};
  std::atomic<int32_t> readSize{1};
  uint32_t bytesRead = 0;
  uint8_t writeBuffer[kTransportBufferBytes] = {};
  uint32_t writeLength = 0;
  TransportCallback callback = nullptr;
  void* callbackContext = nullptr;
  // The Diagnostics record of the last Open when the bridge kept its default
  // latency; empty otherwise.
  std::string latencyRefusal;

 private:
  static DWORD WINAPI WorkerEntry(LPVOID self);
  void Worker();
  void Report(int code);
  void CloseHandleOnce();
  bool eventsReady = false;
};
