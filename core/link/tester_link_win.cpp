#include "core/link/tester_link_win.h"

namespace {

class Hold {
 public:
  explicit Hold(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~Hold() { LeaveCriticalSection(cs_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

}  // namespace

TesterLink::TesterLink() {
  InitializeCriticalSection(&lock);
  replyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  sentEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  channel.exchange = [this](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
    return Exchange(frame, length, expected, reply);
  };
  channel.sleep = [](uint32_t ms) { Sleep(ms); };
}

TesterLink::~TesterLink() {
  Close();
  if (replyEvent) CloseHandle(replyEvent);
  if (sentEvent) CloseHandle(sentEvent);
  DeleteCriticalSection(&lock);
}

void TesterLink::DropTransport() {
  if (!transport) return;
  // A worker that does not end in time still uses the object: leave it be
  // rather than free memory under it.
  if (transport->Stop()) delete transport;
  transport = nullptr;
}

int TesterLink::Open(const char* serialNumber, NoticeCallback callback) {
  Hold hold(&lock);
  DropTransport();
  // Nothing from a previous tester may leak into this connection.
  receiver.Reset();
  droppedAtOpen = receiver.droppedFrames;
  lost = false;
  owed = 0;
  notices = 0;
  mailbox.Discard();
  ResetEvent(replyEvent);
  ResetEvent(sentEvent);
  noticeCallback = callback;

  transport = new SerialTransport();
  transport->SetCallback(&TesterLink::OnTransportEvent, this);
  transport->SetReadSize(kTransportBufferBytes);
  if (!transport->Open(serialNumber)) {
    DropTransport();
    return 0;
  }
  if (!GetVersion(&hardwareRevision, &firmwareVersion)) {
    DropTransport();
    return 0;
  }
  return 1;
}

void TesterLink::Close() {
  Hold hold(&lock);
  DropTransport();
}

void TesterLink::OnTransportEvent(SerialTransport* source, void* context, int code) {
  static_cast<TesterLink*>(context)->HandleEvent(source, code);
}

void TesterLink::HandleEvent(SerialTransport* source, int code) {
  switch (code) {
    case TransportStarted:
      source->SetReadSize(1);
      source->RequestRead();
      break;
    case TransportWriteDone:
      SetEvent(sentEvent);
      break;
    case TransportWriteFailed:
      writeFailed = true;
      SetEvent(sentEvent);
      break;
    case TransportFailed:
      // The device is gone: no more reads are asked for, and the waiting
      // command (if any) fails at once.
      lost = true;
      writeFailed = true;
      SetEvent(sentEvent);
      SetEvent(replyEvent);
      break;
    case TransportDataReceived: {
      const uint32_t count = source->ReceivedCount();
      int next = 1;
      if (count == 0) {
        receiver.Reset();
      } else {
        next = DispatchReceived(
            receiver, mailbox, source->ReceivedData(), count,
            [this](int n) {
              if (n >= 1 && n <= 4) notices.fetch_or(1u << (n - 1));
              if (NoticeCallback cb = noticeCallback.load()) cb(n);
            },
            [this] { SetEvent(replyEvent); }, [this] { SetEvent(replyEvent); });
      }
      source->SetReadSize(next);
      source->RequestRead();
      break;
    }
    default:
      break;
  }
}

int TesterLink::PendingNotice() const {
  const unsigned bits = notices.load();
  for (int n = 1; n <= 4; ++n) {
    if (bits & (1u << (n - 1))) return n;
  }
  return 0;
}

void TesterLink::ClearNotice(int n) {
  if (n >= 1 && n <= 4) notices.fetch_and(~(1u << (n - 1)));
}

bool TesterLink::Write(const uint8_t* frame, size_t frameLength) {
  ResetEvent(sentEvent);
  writeFailed = false;
  if (!transport->Send(frame, static_cast<uint32_t>(frameLength))) return false;
  return WaitForSingleObject(sentEvent, kSentWaitMs) == WAIT_OBJECT_0 && !writeFailed;
}

ExchangeStatus TesterLink::Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand,
                                    ReplyBody& reply) {
  Hold hold(&lock);
  if (!transport || lost) return ExchangeStatus::NotSent;
  DropOwed();
  // Whatever arrived for an earlier round (a reply after its time-out) is not
  // an answer to this request.
  ResetEvent(replyEvent);
  mailbox.Discard();
  if (!Write(frame, frameLength)) return ExchangeStatus::NotSent;

  const ULONGLONG deadline = GetTickCount64() + kReplyWaitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(replyEvent, left) != WAIT_OBJECT_0 || lost) return ExchangeStatus::NoReply;
    // The event may have been left by a reply that the discard above dropped.
    const MailboxTake taken = mailbox.TakeNewest(&reply);
    if (taken == MailboxTake::Reply) break;
    // A damaged reply fails the round at once, as the time-out would.
    if (taken == MailboxTake::Damaged) return ExchangeStatus::NoReply;
  }
  return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
}

bool TesterLink::Post(const uint8_t* frame, size_t frameLength) {
  Hold hold(&lock);
  if (!transport || lost || !frame || frameLength == 0) return false;
  if (owed == 0) {
    // Nothing posted is on its way: whatever is stored belongs to earlier rounds.
    ResetEvent(replyEvent);
    mailbox.Discard();
  }
  if (!Write(frame, frameLength)) return false;
  ++owed;
  return true;
}

MailboxTake TesterLink::WaitOldest(ReplyBody* out) {
  const ULONGLONG deadline = GetTickCount64() + kReplyWaitMs;
  for (;;) {
    const MailboxTake taken = mailbox.TakeOldest(out);
    if (taken != MailboxTake::None || lost) return taken;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    // The event is auto-reset and several replies may have set it once: the
    // mailbox is looked at again after each wake.
    if (WaitForSingleObject(replyEvent, left) != WAIT_OBJECT_0) return mailbox.TakeOldest(out);
  }
}

ExchangeStatus TesterLink::Collect(uint8_t expectedCommand, ReplyBody& reply) {
  Hold hold(&lock);
  if (!transport || owed == 0) return ExchangeStatus::NotSent;
  --owed;
  const MailboxTake taken = WaitOldest(&reply);
  if (taken == MailboxTake::None) {
    // Nothing came in time: a reply still on its way could belong to this
    // request or to a later one, so none of them is taken.
    DropOwed();
    return lost ? ExchangeStatus::NotSent : ExchangeStatus::NoReply;
  }
  if (taken == MailboxTake::Damaged) return ExchangeStatus::Damaged;
  return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
}

void TesterLink::DropOwed() {
  ReplyBody dropped;
  while (owed > 0 && !lost && WaitOldest(&dropped) != MailboxTake::None) --owed;
  owed = 0;
  mailbox.Discard();
}

int TesterLink::GetVersion(uint8_t* hardwareRevisionOut, uint8_t* firmwareVersionOut) {
  Hold hold(&lock);
  return commands::GetVersion(channel, hardwareRevisionOut, firmwareVersionOut);
}

int TesterLink::GetPortStatus(uint32_t* attach, uint8_t* activeIndex, uint32_t* kind, uint8_t* subKind,
                              uint16_t* voltageMv, uint16_t* currentMa, uint32_t* extra) {
  Hold hold(&lock);
  return commands::GetPortStatus(channel, attach, activeIndex, kind, subKind, voltageMv, currentMa, extra);
}

int TesterLink::GetSourceCapabilities(PdoList* list) {
  Hold hold(&lock);
  return commands::GetSourceCapabilities(channel, list);
}

int TesterLink::GetMeasurements(uint8_t* temperatureC, uint16_t* vbusMv, uint16_t* setpointMa, uint16_t* currentMa,
                                uint16_t* loopbackMa) {
  Hold hold(&lock);
  return commands::GetMeasurements(channel, temperatureC, vbusMv, setpointMa, currentMa, loopbackMa);
}

int TesterLink::RequestProfile(uint8_t objectPosition, uint16_t voltageMv) {
  Hold hold(&lock);
  return commands::RequestProfile(channel, objectPosition, voltageMv);
}

int TesterLink::SetLoadCurrent(uint16_t currentMa) {
  Hold hold(&lock);
  return commands::SetLoadCurrent(channel, currentMa);
}

int TesterLink::WriteTesterSettings() {
  Hold hold(&lock);
  return commands::WriteTesterSettings(channel, settings);
}

int TesterLink::ReadTesterSettings() {
  Hold hold(&lock);
  return commands::ReadTesterSettings(channel, &settings);
}

int TesterLink::WriteCalibration(uint8_t channelNumber, uint32_t year, uint8_t month, int16_t refPoint1,
                                 int16_t testerPoint1, int16_t refPoint2, int16_t testerPoint2) {
  Hold hold(&lock);
  return commands::WriteCalibration(channel, channelNumber, year, month, refPoint1, testerPoint1, refPoint2,
                                    testerPoint2);
}

int TesterLink::ReadCalibration(uint8_t channelNumber, uint32_t* isCalibrated, uint32_t* year, uint32_t* month,
                                int32_t* refPoint1, int32_t* testerPoint1, int32_t* refPoint2,
                                int32_t* testerPoint2) {
  Hold hold(&lock);
  return commands::ReadCalibration(channel, channelNumber, isCalibrated, year, month, refPoint1, testerPoint1,
                                   refPoint2, testerPoint2);
}

int TesterLink::ResetCalibration(uint8_t channelNumber) {
  Hold hold(&lock);
  return commands::ResetCalibration(channel, channelNumber);
}
