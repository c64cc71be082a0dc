#include "core/link/tester_commands.h"

namespace {

int32_t I16(const uint8_t* p) { return static_cast<int16_t>(LittleU16(p)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

bool Complete(const ReplyBody& reply, uint8_t command, uint16_t length) {
  return reply.length >= length && reply.body[0] == command;
}

// One round; true only for a reply of at least `length` bytes to `command`.
bool Round(const CommandChannel& channel, const uint8_t* frame, size_t frameLength, uint8_t command,
           uint16_t length, ReplyBody& reply, ExchangeStatus* status = nullptr) {
  const ExchangeStatus s = channel.exchange(frame, frameLength, command, reply);
  if (status) *status = s;
  return s == ExchangeStatus::Ok && Complete(reply, command, length);
}

void Pause(const CommandChannel& channel, uint32_t ms) {
  if (ms > 0 && channel.sleep) channel.sleep(ms);
}

}  // namespace

bool DecodeVersion(const ReplyBody& reply, uint8_t* hardwareRevision, uint8_t* firmwareVersion) {
  if (!Complete(reply, kCmdGetVersion, kVersionReplyLength)) return false;
  *hardwareRevision = reply.body[1];
  *firmwareVersion = reply.body[2];
  return true;
}

bool DecodePortStatus(const ReplyBody& reply, PortStatus* out) {
  if (!Complete(reply, kCmdGetPortStatus, kPortStatusReplyLength)) return false;
  const uint8_t* b = reply.body;
  out->attach = b[1];
  out->activeIndex = b[2];
  out->kind = b[3];
  out->subKind = b[4];
  out->voltageMv = LittleU16(b + 5);
  out->currentMa = LittleU16(b + 7);
  out->extra = U32(b + 9);
  return true;
}

bool DecodeCapabilities(const ReplyBody& reply, PdoList* out) {
  if (!Complete(reply, kCmdGetSourceCapabilities, kCapabilitiesReplyLength)) return false;
  *out = DecodePdoList(reply.body + 1);
  return true;
}

bool DecodeMeasurements(const ReplyBody& reply, Measurements* out) {
  if (!Complete(reply, kCmdGetMeasurements, kMeasurementsReplyLength)) return false;
  const uint8_t* b = reply.body;
  out->temperatureC = b[2];
  out->vbusMv = LittleU16(b + 3);
  out->setpointMa = LittleU16(b + 5);
  out->currentMa = LittleU16(b + 7);
  out->loopbackMa = LittleU16(b + 9);
  return true;
}

bool DecodeCalibration(const ReplyBody& reply, CalibrationRecord* out) {
  if (!Complete(reply, kCmdReadCalibration, kCalibrationReplyLength)) return false;
  const uint8_t* b = reply.body;
  out->isCalibrated = b[1];
  out->year = 2020u + b[2];
  out->month = b[3];
  out->refPoint1 = I16(b + 4);
  out->testerPoint1 = I16(b + 6);
  out->refPoint2 = I16(b + 8);
  out->testerPoint2 = I16(b + 10);
  return true;
}

size_t EncodeSimpleRequest(uint8_t command, uint8_t* frame) {
  return BuildFrame(command, nullptr, 0, frame, kMaxRequestFrame);
}

size_t EncodeRequestProfile(uint8_t objectPosition, uint16_t voltageMv, uint8_t* frame) {
  const uint8_t data[3] = {objectPosition, Lo(voltageMv), Hi(voltageMv)};
  return BuildFrame(kCmdRequestProfile, data, sizeof data, frame, kMaxRequestFrame);
}

size_t EncodeSetLoadCurrent(uint16_t currentMa, uint8_t* frame) {
  const uint8_t data[2] = {Lo(currentMa), Hi(currentMa)};
  return BuildFrame(kCmdSetLoadCurrent, data, sizeof data, frame, kMaxRequestFrame);
}

size_t EncodeSettingsStep(const TesterSettings& s, int step, uint8_t* frame) {
  uint8_t data[4] = {};
  size_t n = 0;
  switch (step) {
    case 1:
      data[0] = 0x00;
      data[1] = s.loopbackEnabled;
      n = 2;
      break;
    case 2:
      data[0] = 0x01;
      if (s.limitMode == 2) {
        data[1] = 0x02;
        data[2] = Lo(s.maxLoadCurrentMa);
        data[3] = Hi(s.maxLoadCurrentMa);
        n = 4;
      } else {
        data[1] = static_cast<uint8_t>(s.limitMode);
        n = 2;
      }
      break;
    case 3:
      data[0] = 0x02;
      data[1] = Lo(s.standardPortLimitMa);
      data[2] = Hi(s.standardPortLimitMa);
      n = 3;
      break;
    case 4:
      data[0] = 0x03;
      data[1] = s.estimateUpstream;
      n = 2;
      break;
    case 5:
      data[0] = 0x04;
      data[1] = Lo(s.cableResistanceMohm);
      data[2] = Hi(s.cableResistanceMohm);
      n = 3;
      break;
    default:
      return 0;
  }
  return BuildFrame(kCmdWriteTesterSettings, data, n, frame, kMaxRequestFrame);
}

size_t EncodeReadSetting(uint8_t subIndex, uint8_t* frame) {
  return BuildFrame(kCmdReadTesterSettings, &subIndex, 1, frame, kMaxRequestFrame);
}

size_t EncodeWriteCalibration(uint8_t channel, uint32_t year, uint8_t month, int16_t refPoint1, int16_t testerPoint1,
                              int16_t refPoint2, int16_t testerPoint2, uint8_t* frame) {
  const int16_t points[4] = {refPoint1, testerPoint1, refPoint2, testerPoint2};
  uint8_t data[11] = {channel, CalibrationYearByte(year), month};
  for (int i = 0; i < 4; ++i) {
    const uint16_t v = static_cast<uint16_t>(points[i]);
    data[3 + 2 * i] = Lo(v);
    data[4 + 2 * i] = Hi(v);
  }
  return BuildFrame(kCmdWriteCalibration, data, sizeof data, frame, kMaxRequestFrame);
}

size_t EncodeChannelRequest(uint8_t command, uint8_t channel, uint8_t* frame) {
  return BuildFrame(command, &channel, 1, frame, kMaxRequestFrame);
}

namespace commands {

int GetVersion(const CommandChannel& channel, uint8_t* hardwareRevision, uint8_t* firmwareVersion) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSimpleRequest(kCmdGetVersion, frame);
  ReplyBody reply;
  ExchangeStatus status;
  if (Round(channel, frame, n, kCmdGetVersion, kVersionReplyLength, reply, &status)) {
    return DecodeVersion(reply, hardwareRevision, firmwareVersion) ? 1 : 0;
  }
  if (status == ExchangeStatus::NoReply) {
    // A tester that takes the request but never answers is treated as an early
    // KT-40 with no usable firmware.
    *hardwareRevision = 10;
    *firmwareVersion = 0;
  }
  return 0;
}

int GetPortStatus(const CommandChannel& channel, uint32_t* attach, uint8_t* activeIndex, uint32_t* kind,
                  uint8_t* subKind, uint16_t* voltageMv, uint16_t* currentMa, uint32_t* extra) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSimpleRequest(kCmdGetPortStatus, frame);
  ReplyBody reply;
  PortStatus s;
  if (!Round(channel, frame, n, kCmdGetPortStatus, kPortStatusReplyLength, reply) || !DecodePortStatus(reply, &s)) {
    return 0;
  }
  *attach = s.attach;
  *activeIndex = s.activeIndex;
  *kind = s.kind;
  *subKind = s.subKind;
  *voltageMv = s.voltageMv;
  *currentMa = s.currentMa;
  *extra = s.extra;
  return 1;
}

int GetSourceCapabilities(const CommandChannel& channel, PdoList* list) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSimpleRequest(kCmdGetSourceCapabilities, frame);
  ReplyBody reply;
  if (!Round(channel, frame, n, kCmdGetSourceCapabilities, kCapabilitiesReplyLength, reply)) return 0;
  return DecodeCapabilities(reply, list) ? 1 : 0;
}

int GetMeasurements(const CommandChannel& channel, uint8_t* temperatureC, uint16_t* vbusMv, uint16_t* setpointMa,
                    uint16_t* currentMa, uint16_t* loopbackMa) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSimpleRequest(kCmdGetMeasurements, frame);
  ReplyBody reply;
  Measurements m;
  if (!Round(channel, frame, n, kCmdGetMeasurements, kMeasurementsReplyLength, reply) ||
      !DecodeMeasurements(reply, &m)) {
    return 0;
  }
  *temperatureC = m.temperatureC;
  *vbusMv = m.vbusMv;
  *setpointMa = m.setpointMa;
  *currentMa = m.currentMa;
  *loopbackMa = m.loopbackMa;
  return 1;
}

int RequestProfile(const CommandChannel& channel, uint8_t objectPosition, uint16_t voltageMv) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeRequestProfile(objectPosition, voltageMv, frame);
  ReplyBody reply;
  return Round(channel, frame, n, kCmdRequestProfile, 1, reply) ? 1 : 0;
}

int SetLoadCurrent(const CommandChannel& channel, uint16_t currentMa) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSetLoadCurrent(currentMa, frame);
  ReplyBody reply;
  return Round(channel, frame, n, kCmdSetLoadCurrent, 1, reply) ? 1 : 0;
}

int WriteTesterSettings(const CommandChannel& channel, const TesterSettings& settings) {
  constexpr int kSteps = 5;
  bool ok = true;
  for (int step = 1; step <= kSteps; ++step) {
    const uint32_t pausesLeft = static_cast<uint32_t>(kSteps - step);  // this step's and the later ones
    if (ok) {
      uint8_t frame[kMaxRequestFrame];
      const size_t n = EncodeSettingsStep(settings, step, frame);
      ReplyBody reply;
      ExchangeStatus status;
      ok = Round(channel, frame, n, kCmdWriteTesterSettings, 1, reply, &status);
      if (status == ExchangeStatus::NotSent) {
        Pause(channel, pausesLeft * kSettingsPauseMs);
        return 0;
      }
    }
    if (step < kSteps) Pause(channel, kSettingsPauseMs);
  }
  return ok ? 1 : 0;
}

int ReadTesterSettings(const CommandChannel& channel, TesterSettings* settings) {
  static constexpr uint8_t kSubIndices[4] = {0, 2, 3, 4};
  static constexpr int kMasks[4] = {kReadLoopback, kReadStandardLimit, kReadUpstream, kReadCable};
  int read = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t sub = kSubIndices[i];
    uint8_t frame[kMaxRequestFrame];
    const size_t n = EncodeReadSetting(sub, frame);
    const bool isValue = sub == 2 || sub == 4;
    ReplyBody reply;
    if (!Round(channel, frame, n, kCmdReadTesterSettings,
               isValue ? kSettingValueReplyLength : kSettingFlagReplyLength, reply)) {
      continue;
    }
    const uint8_t* b = reply.body;
    switch (sub) {
      case 0: settings->loopbackEnabled = b[1] != 0 ? 1 : 0; break;
      case 2: settings->standardPortLimitMa = LittleU16(b + 1); break;
      case 3: settings->estimateUpstream = b[1] != 0 ? 1 : 0; break;
      case 4: settings->cableResistanceMohm = LittleU16(b + 1); break;
    }
    read |= kMasks[i];
  }
  return read;
}

int ReadLimitMode(const CommandChannel& channel, uint32_t* limitMode, uint16_t* maxLoadCurrentMa) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeReadSetting(1, frame);
  ReplyBody reply;
  if (!Round(channel, frame, n, kCmdReadTesterSettings, kSettingFlagReplyLength, reply)) return 0;
  *limitMode = reply.body[1];
  *maxLoadCurrentMa = reply.length >= 4 ? LittleU16(reply.body + 2) : 0;
  return 1;
}

int WriteCalibration(const CommandChannel& channel, uint8_t channelNumber, uint32_t year, uint8_t month,
                     int16_t refPoint1, int16_t testerPoint1, int16_t refPoint2, int16_t testerPoint2) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeWriteCalibration(channelNumber, year, month, refPoint1, testerPoint1, refPoint2,
                                          testerPoint2, frame);
  ReplyBody reply;
  return Round(channel, frame, n, kCmdWriteCalibration, 1, reply) ? 1 : 0;
}

int ReadCalibration(const CommandChannel& channel, uint8_t channelNumber, uint32_t* isCalibrated, uint32_t* year,
                    uint32_t* month, int32_t* refPoint1, int32_t* testerPoint1, int32_t* refPoint2,
                    int32_t* testerPoint2) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeChannelRequest(kCmdReadCalibration, channelNumber, frame);
  ReplyBody reply;
  CalibrationRecord r;
  if (!Round(channel, frame, n, kCmdReadCalibration, kCalibrationReplyLength, reply) ||
      !DecodeCalibration(reply, &r)) {
    return 0;
  }
  *isCalibrated = r.isCalibrated;
  *year = r.year;
  *month = r.month;
  *refPoint1 = r.refPoint1;
  *testerPoint1 = r.testerPoint1;
  *refPoint2 = r.refPoint2;
  *testerPoint2 = r.testerPoint2;
  return 1;
}

int ResetCalibration(const CommandChannel& channel, uint8_t channelNumber) {
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeChannelRequest(kCmdResetCalibration, channelNumber, frame);
  ReplyBody reply;
  return Round(channel, frame, n, kCmdResetCalibration, 1, reply) ? 1 : 0;
}

}  // namespace commands
