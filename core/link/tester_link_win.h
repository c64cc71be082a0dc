// The frame and command layer over a SerialTransport: reassembles frames,
// hands replies to the waiting command and notices to the notice callback, and
// serialises commands with one lock. One per tester: a front end that drives
// several testers at once holds one for each, and each keeps its own notices.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/link/frame.h"
#include "core/link/reply_mailbox.h"
#include "core/link/serial_transport_win.h"
#include "core/link/tester_commands.h"

// Called on the link's worker thread with n = 1..4 for the notices 0x20..0x23.
// It must only signal events.
using NoticeCallback = void (*)(int n);

constexpr DWORD kSentWaitMs = 500;
constexpr DWORD kReplyWaitMs = 500;

class TesterLink {
 public:
  TesterLink();
  virtual ~TesterLink();
  TesterLink(const TesterLink&) = delete;
  TesterLink& operator=(const TesterLink&) = delete;

  // Opens the tester with this serial number and asks its version. 1 when it
  // answered GetVersion; 0 otherwise (the device is then closed again).
  int Open(const char* serialNumber, NoticeCallback callback);
  void Close();
  bool IsOpen() const { return transport != nullptr; }
  // The device is gone (unplugged, or its transport failed): every exchange
  // fails at once until the next Open. Safe from any thread.
  void MarkLost() { lost = true; }
  bool Lost() const { return lost; }
  // The notices that arrived since the last Open and were not cleared, as the
  // monitor core's port reports them (tester_port.h): the lowest pending 1..4,
  // or 0. Kept whether or not a notice callback is given; safe from any thread.
  int PendingNotice() const;
  void ClearNotice(int n);
  // Frames the receiver dropped since the last Open.
  uint32_t DroppedFrames() const { return receiver.droppedFrames - droppedAtOpen; }

  // One request/reply round under the lock (see tester_commands.h).
  ExchangeStatus Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand, ReplyBody& reply);
  // Requests one behind the other (see CommandChannel::post and collect), for
  // the one thread that runs the monitor.
  bool Post(const uint8_t* frame, size_t frameLength);
  ExchangeStatus Collect(uint8_t expectedCommand, ReplyBody& reply);

  // The command operations: 1 on success, 0 on failure.
  int GetVersion(uint8_t* hardwareRevisionOut, uint8_t* firmwareVersionOut);
  int GetPortStatus(uint32_t* attach, uint8_t* activeIndex, uint32_t* kind, uint8_t* subKind, uint16_t* voltageMv,
                    uint16_t* currentMa, uint32_t* extra);
  int GetSourceCapabilities(PdoList* list);
  int GetMeasurements(uint8_t* temperatureC, uint16_t* vbusMv, uint16_t* setpointMa, uint16_t* currentMa,
                      uint16_t* loopbackMa);
  int RequestProfile(uint8_t objectPosition, uint16_t voltageMv);
  int SetLoadCurrent(uint16_t currentMa);
  // Writes `settings` to the tester (five frames, 400 ms of pauses).
  int WriteTesterSettings();
  // Reads the tester's settings into `settings`.
  int ReadTesterSettings();
  // `year` is the calendar year.
  int WriteCalibration(uint8_t channel, uint32_t year, uint8_t month, int16_t refPoint1, int16_t testerPoint1,
                       int16_t refPoint2, int16_t testerPoint2);
  int ReadCalibration(uint8_t channel, uint32_t* isCalibrated, uint32_t* year, uint32_t* month, int32_t* refPoint1,
                      int32_t* testerPoint1, int32_t* refPoint2, int32_t* testerPoint2);
  int ResetCalibration(uint8_t channel);

  // Receive handler, called by the transport on its worker thread.
  static void OnTransportEvent(SerialTransport* source, void* context, int code);

  SerialTransport* transport = nullptr;  // owned; replaced by every Open
  FrameReceiver receiver;                // rawFrame, framePos, frameRemaining, frameCount
  ReplyMailbox mailbox;                  // the last reply's body
  HANDLE replyEvent = nullptr;           // auto-reset: a reply was posted
  HANDLE sentEvent = nullptr;            // auto-reset: the request's write is over
  std::atomic<NoticeCallback> noticeCallback{nullptr};
  CRITICAL_SECTION lock;
  uint8_t hardwareRevision = 0;
  uint8_t firmwareVersion = 0;
  TesterSettings settings;

 private:
  void DropTransport();
  void HandleEvent(SerialTransport* source, int code);
  // Writes one frame and waits until it is out; false when it was not.
  bool Write(const uint8_t* frame, size_t frameLength);
  // Waits up to kReplyWaitMs for the oldest stored entry.
  MailboxTake WaitOldest(ReplyBody* out);
  // Collects and drops the replies still owed to posted requests.
  void DropOwed();

  CommandChannel channel;
  std::atomic<bool> writeFailed{false};
  std::atomic<bool> lost{false};
  std::atomic<unsigned> notices{0};  // bit n - 1 for notice n
  uint32_t droppedAtOpen = 0;
  int owed = 0;  // posted requests whose replies were not collected yet
};

