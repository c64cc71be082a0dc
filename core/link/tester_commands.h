// The tester's command set: request payloads, reply layouts and the command
// operations, written once on top of an exchange callable so that the Win32
// TesterLink and the native tests (against the simulated tester) run the same
// code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/link/frame.h"
#include "core/link/pdo.h"

// Command codes, host to tester.
constexpr uint8_t kCmdGetVersion = 0x01;
constexpr uint8_t kCmdGetPortStatus = 0x0A;
constexpr uint8_t kCmdGetSourceCapabilities = 0x0B;
constexpr uint8_t kCmdGetMeasurements = 0x0C;
constexpr uint8_t kCmdRequestProfile = 0x0D;
constexpr uint8_t kCmdSetLoadCurrent = 0x10;
constexpr uint8_t kCmdWriteTesterSettings = 0xE0;
constexpr uint8_t kCmdReadTesterSettings = 0xE1;
constexpr uint8_t kCmdWriteCalibration = 0xE3;
constexpr uint8_t kCmdReadCalibration = 0xE4;
constexpr uint8_t kCmdResetCalibration = 0xE5;

// Notices, tester to host (body = the code alone).
constexpr uint8_t kNoticeAttached = 0x20;
constexpr uint8_t kNoticeDetached = 0x21;
constexpr uint8_t kNoticeNewProfile = 0x22;
constexpr uint8_t kNoticeCapabilityChanged = 0x23;

// 1..4 for the notice codes 0x20..0x23, 0 for anything else.
inline int NoticeNumber(uint8_t code) { return (code >= 0x20 && code <= 0x23) ? code - 0x1F : 0; }

// Length (LEN) of a complete reply to each command. A reply shorter than this
// is refused: its fields would otherwise be read from an earlier reply.
constexpr uint16_t kVersionReplyLength = 3;
constexpr uint16_t kPortStatusReplyLength = 13;
constexpr uint16_t kCapabilitiesReplyLength = 1 + kPdoListBytes;
constexpr uint16_t kMeasurementsReplyLength = 11;
constexpr uint16_t kCalibrationReplyLength = 12;
constexpr uint16_t kSettingFlagReplyLength = 2;
constexpr uint16_t kSettingValueReplyLength = 3;

// Pause after each of the first four frames of the settings sequence.
constexpr uint32_t kSettingsPauseMs = 100;

// A reply body as copied out of the link: body[0] is the command byte.
struct ReplyBody {
  uint8_t body[kMaxBodyBytes + 1] = {};
  uint16_t length = 0;
};

enum class ExchangeStatus : uint8_t {
  Ok = 0,
  NotSent = 1,       // the request was not queued or its write did not complete
  NoReply = 2,       // written, but no reply came in time
  WrongCommand = 3,  // a reply came whose command byte is not the expected one
  Damaged = 4,       // collect only: a frame whose end byte or checksum failed came in the reply's place
};

// One request/reply round: send `frame`, wait for the reply, require its
// command byte to be `expectedCommand`, copy it into `reply`. A reply that
// arrives damaged fails the round at once (NoReply), as the time-out would.
using ExchangeFunction =
    std::function<ExchangeStatus(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand, ReplyBody& reply)>;
using SleepFunction = std::function<void(uint32_t ms)>;

// Requests one behind the other (a capture's measurements): `post` writes a
// request without waiting for its reply (false when it was not written);
// `collect` waits for the oldest reply not yet collected, as long as an
// exchange waits. A link that offers them collects and drops whatever is still
// owed before its next exchange. Links that keep one request at a time leave
// them empty.
using PostFunction = std::function<bool(const uint8_t* frame, size_t frameLength)>;
using CollectFunction = std::function<ExchangeStatus(uint8_t expectedCommand, ReplyBody& reply)>;

struct CommandChannel {
  ExchangeFunction exchange;
  SleepFunction sleep;
  PostFunction post;
  CollectFunction collect;
};

// The tester-side settings mirror.
struct TesterSettings {
  uint8_t loopbackEnabled = 0;       // sub-index 0
  uint8_t estimateUpstream = 0;      // sub-index 3
  uint16_t standardPortLimitMa = 0;  // sub-index 2
  uint32_t limitMode = 0;            // sub-index 1: 0 enforce, 1 allow over limit, 2 force
  uint16_t maxLoadCurrentMa = 0;     // sub-index 1, sent only with limit mode 2
  uint16_t cableResistanceMohm = 0;  // sub-index 4
};

struct PortStatus {
  uint32_t attach = 0;
  uint8_t activeIndex = 0;
  uint32_t kind = 0;
  uint8_t subKind = 0;
  uint16_t voltageMv = 0;
  uint16_t currentMa = 0;
  uint32_t extra = 0;
};

struct Measurements {
  uint8_t temperatureC = 0;
  uint16_t vbusMv = 0;
  uint16_t setpointMa = 0;
  uint16_t currentMa = 0;
  uint16_t loopbackMa = 0;
};

struct CalibrationRecord {
  uint32_t isCalibrated = 0;
  uint32_t year = 0;   // calendar year
  uint32_t month = 0;  // 1..12
  int32_t refPoint1 = 0;
  int32_t testerPoint1 = 0;
  int32_t refPoint2 = 0;
  int32_t testerPoint2 = 0;
};

// Year byte of a calibration record: (year - 2020) mod 256, which is the year's
// low byte + 28.
inline uint8_t CalibrationYearByte(uint32_t year) { return static_cast<uint8_t>((year & 0xFF) + 28); }

// Reply decoders: false (and *out unchanged) when the body is not a complete
// reply to that command.
bool DecodeVersion(const ReplyBody& reply, uint8_t* hardwareRevision, uint8_t* firmwareVersion);
bool DecodePortStatus(const ReplyBody& reply, PortStatus* out);
bool DecodeCapabilities(const ReplyBody& reply, PdoList* out);
bool DecodeMeasurements(const ReplyBody& reply, Measurements* out);
bool DecodeCalibration(const ReplyBody& reply, CalibrationRecord* out);

// Request frames. Each returns the frame length (at most kMaxRequestFrame).
size_t EncodeSimpleRequest(uint8_t command, uint8_t* frame);
size_t EncodeRequestProfile(uint8_t objectPosition, uint16_t voltageMv, uint8_t* frame);
size_t EncodeSetLoadCurrent(uint16_t currentMa, uint8_t* frame);
// Frame `step` (1..5) of the settings sequence.
size_t EncodeSettingsStep(const TesterSettings& settings, int step, uint8_t* frame);
size_t EncodeReadSetting(uint8_t subIndex, uint8_t* frame);
size_t EncodeWriteCalibration(uint8_t channel, uint32_t year, uint8_t month, int16_t refPoint1, int16_t testerPoint1,
                              int16_t refPoint2, int16_t testerPoint2, uint8_t* frame);
size_t EncodeChannelRequest(uint8_t command, uint8_t channel, uint8_t* frame);

// Fields of TesterSettings that ReadTesterSettings reads.
enum SettingsReadMask : int {
  kReadLoopback = 1,
  kReadStandardLimit = 2,
  kReadUpstream = 4,
  kReadCable = 8,
  kAllSettingsRead = 15,
};

// The command operations: 1 on success, 0 on failure with the out-parameters
// unchanged (except where noted).
namespace commands {

// On a written request that got no reply, stores revision 10 and firmware 0.
int GetVersion(const CommandChannel& channel, uint8_t* hardwareRevision, uint8_t* firmwareVersion);
int GetPortStatus(const CommandChannel& channel, uint32_t* attach, uint8_t* activeIndex, uint32_t* kind,
                  uint8_t* subKind, uint16_t* voltageMv, uint16_t* currentMa, uint32_t* extra);
int GetSourceCapabilities(const CommandChannel& channel, PdoList* list);
int GetMeasurements(const CommandChannel& channel, uint8_t* temperatureC, uint16_t* vbusMv, uint16_t* setpointMa,
                    uint16_t* currentMa, uint16_t* loopbackMa);
int RequestProfile(const CommandChannel& channel, uint8_t objectPosition, uint16_t voltageMv);
int SetLoadCurrent(const CommandChannel& channel, uint16_t currentMa);
// Five frames, 100 ms after each of the first four; always 400 ms of pauses.
int WriteTesterSettings(const CommandChannel& channel, const TesterSettings& settings);
// Four rounds (sub-indices 0, 2, 3, 4), each tried even when an earlier one
// failed. Returns the fields read (kReadLoopback | ...; kAllSettingsRead when
// every round succeeded); a field not read is left unchanged.
int ReadTesterSettings(const CommandChannel& channel, TesterSettings* settings);
// Sub-index 1 of 0xE1: the limit mode the tester holds, and the ceiling of
// mode 2 when the reply carries it (else 0). The window never reads these
// back; the command line's end checks them.
int ReadLimitMode(const CommandChannel& channel, uint32_t* limitMode, uint16_t* maxLoadCurrentMa);
int WriteCalibration(const CommandChannel& channel, uint8_t channelNumber, uint32_t year, uint8_t month,
                     int16_t refPoint1, int16_t testerPoint1, int16_t refPoint2, int16_t testerPoint2);
int ReadCalibration(const CommandChannel& channel, uint8_t channelNumber, uint32_t* isCalibrated, uint32_t* year,
                    uint32_t* month, int32_t* refPoint1, int32_t* testerPoint1, int32_t* refPoint2,
                    int32_t* testerPoint2);
int ResetCalibration(const CommandChannel& channel, uint8_t channelNumber);

}  // namespace commands
