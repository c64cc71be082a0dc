// The command operations against a scripted exchange: request frames, reply
// decoding, failures, and the pauses of the settings sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "core/link/frame.h"
#include "core/link/pdo.h"
#include "core/link/tester_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Answer {
  ExchangeStatus status;
  Bytes body;
};

// Answers each request with the next scripted answer (NoReply when none is left) and records every frame and sleep.
struct ScriptedTester {
  std::deque<Answer> answers;
  std::vector<Bytes> frames;
  std::vector<uint32_t> sleeps;

  CommandChannel Channel() {
    CommandChannel c;
    c.exchange = [this](const uint8_t* frame, size_t n, uint8_t expected, ReplyBody& reply) {
      frames.emplace_back(frame, frame + n);
      if (answers.empty()) return ExchangeStatus::NoReply;
      Answer a = answers.front();
      answers.pop_front();
      if (a.status != ExchangeStatus::Ok) return a.status;
      std::memcpy(reply.body, a.body.data(), a.body.size());
      reply.length = static_cast<uint16_t>(a.body.size());
      return reply.body[0] == expected ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
    };
    c.sleep = [this](uint32_t ms) { sleeps.push_back(ms); };
    return c;
  }
  void Reply(Bytes body) { answers.push_back({ExchangeStatus::Ok, std::move(body)}); }
  void Fail(ExchangeStatus s) { answers.push_back({s, {}}); }
};

TEST(Commands, GetVersionFrameReplyAndTimeOutRule) {
  ScriptedTester t;
  t.Reply({0x01, 0x14, 0x1E});
  uint8_t hw = 0, fw = 0;
  EXPECT_EQ(commands::GetVersion(t.Channel(), &hw, &fw), 1);
  EXPECT_EQ(t.frames.at(0), (Bytes{0x02, 0x01, 0x01, 0x01, 0x03}));
  EXPECT_EQ((Bytes{hw, fw}), (Bytes{20, 30}));
  // Written but unanswered: revision 10, firmware 0, and still a failure.
  t.Fail(ExchangeStatus::NoReply);
  EXPECT_EQ(commands::GetVersion(t.Channel(), &hw, &fw), 0);
  EXPECT_EQ((Bytes{hw, fw}), (Bytes{10, 0}));
  // Every other failure (a late reply of another command too) leaves the values alone.
  t.Fail(ExchangeStatus::NotSent);
  t.Reply({0x0C, 1, 2});
  for (int i = 0; i < 2; ++i) {
    hw = 20, fw = 30;
    EXPECT_EQ(commands::GetVersion(t.Channel(), &hw, &fw), 0);
    EXPECT_EQ((Bytes{hw, fw}), (Bytes{20, 30}));
  }
}

TEST(Commands, PortStatusDecodingAndRefusedReplies) {
  ScriptedTester t;
  t.Reply({0x0A, 0x01, 0x02, 0x05, 0x03, 0x34, 0x21, 0xB8, 0x0B, 0x78, 0x56, 0x34, 0x12});
  uint32_t attach = 0, kind = 0, extra = 0;
  uint8_t index = 0, sub = 0;
  uint16_t mv = 0, ma = 0;
  ASSERT_EQ(commands::GetPortStatus(t.Channel(), &attach, &index, &kind, &sub, &mv, &ma, &extra), 1);
  EXPECT_EQ(t.frames.at(0), (Bytes{0x02, 0x01, 0x0A, 0x0A, 0x03}));
  EXPECT_EQ((std::vector<uint32_t>{attach, index, kind, sub, mv, ma, extra}),
            (std::vector<uint32_t>{1, 2, 5, 3, 0x2134, 3000, 0x12345678u}));
  // A late GetMeasurements reply, then a port status reply cut short: the fields must not come from old data.
  t.Reply({0x0C, 0, 30, 0x88, 0x13, 0, 0, 0, 0, 0, 0});
  t.Reply({0x0A, 0x01, 0x02});
  for (int i = 0; i < 2; ++i) {
    attach = 7, index = 7, mv = 7, extra = 7;
    EXPECT_EQ(commands::GetPortStatus(t.Channel(), &attach, &index, &kind, &sub, &mv, &ma, &extra), 0);
    EXPECT_EQ((std::vector<uint32_t>{attach, index, mv, extra}), std::vector<uint32_t>(4, 7));
  }
  uint8_t temp = 9;
  uint16_t v = 9, s = 9, c = 9, l = 9;
  t.Reply({0x0C, 0, 30, 0x88});
  EXPECT_EQ(commands::GetMeasurements(t.Channel(), &temp, &v, &s, &c, &l), 0);
  EXPECT_EQ((std::vector<int>{temp, v}), (std::vector<int>{9, 9}));
}

TEST(Commands, SourceCapabilitiesDecoding) {
  PdoList sent;
  sent.count = 3;
  sent.entries[0] = {MakeTypeWord(1, 5, 0), 5000, 5000, 3000};
  sent.entries[1] = {MakeTypeWord(2, 5, 0), 9000, 9000, 3000};
  sent.entries[2] = {MakeTypeWord(4, 5, 3), 3300, 21000, 5000};
  Bytes body(1 + kPdoListBytes);
  body[0] = 0x0B;
  EncodePdoList(sent, body.data() + 1);
  ScriptedTester t;
  t.Reply(body);
  PdoList got;
  ASSERT_EQ(commands::GetSourceCapabilities(t.Channel(), &got), 1);
  EXPECT_TRUE(got.entries[2].IsProgrammable());
  EXPECT_EQ((std::vector<int>{got.count, got.entries[1].minMv, got.entries[2].ObjectPosition(), got.entries[2].maxMv,
                              got.entries[2].maxCurrentMa}),
            (std::vector<int>{3, 9000, 4, 21000, 5000}));
  // count 0 gives an empty list; a reply one byte short is refused.
  Bytes empty(1 + kPdoListBytes, 0);
  empty[0] = 0x0B;
  t.Reply(empty);
  ASSERT_EQ(commands::GetSourceCapabilities(t.Channel(), &got), 1);
  EXPECT_EQ(got.count, 0);
  got.count = 5;
  t.Reply(Bytes(body.begin(), body.end() - 1));
  EXPECT_EQ(commands::GetSourceCapabilities(t.Channel(), &got), 0);
  EXPECT_EQ(got.count, 5);
}

TEST(Commands, ProfileAndLoadRequests) {
  ScriptedTester t;
  t.Reply({0x0D});
  t.Reply({0x10});
  t.Reply({0x0D});  // answers the load request with the wrong command
  EXPECT_EQ(commands::RequestProfile(t.Channel(), 3, 9000), 1);
  EXPECT_EQ(commands::SetLoadCurrent(t.Channel(), 500), 1);
  EXPECT_EQ(commands::SetLoadCurrent(t.Channel(), 3000), 0);
  EXPECT_EQ(t.frames.at(0), (Bytes{0x02, 0x04, 0x0D, 0x03, 0x28, 0x23, 0x00 ^ 0x02 ^ 0x04 ^ 0x0D ^ 0x03 ^ 0x28 ^ 0x23 ^ 0x03, 0x03}));
  EXPECT_EQ(t.frames.at(1), (Bytes{0x02, 0x03, 0x10, 0xF4, 0x01, 0xE7, 0x03}));
}

TesterSettings SampleSettings() {
  return {.loopbackEnabled = 1, .estimateUpstream = 1, .standardPortLimitMa = 900, .limitMode = 2,
          .maxLoadCurrentMa = 3000, .cableResistanceMohm = 80};
}

TEST(Commands, WriteTesterSettingsFramesAndPauses) {
  ScriptedTester t;
  for (int i = 0; i < 5; ++i) t.Reply({0xE0});
  EXPECT_EQ(commands::WriteTesterSettings(t.Channel(), SampleSettings()), 1);
  ASSERT_EQ(t.frames.size(), 5u);
  EXPECT_EQ(t.frames[0], (Bytes{0x02, 0x03, 0xE0, 0x00, 0x01, 0xE3, 0x03}));
  EXPECT_EQ(t.frames[1], (Bytes{0x02, 0x05, 0xE0, 0x01, 0x02, 0xB8, 0x0B, 0x54, 0x03}));
  EXPECT_EQ(t.frames[2].size(), 8u);
  EXPECT_EQ(Bytes(t.frames[2].begin() + 2, t.frames[2].end() - 2), (Bytes{0xE0, 0x02, 0x84, 0x03}));
  EXPECT_EQ(Bytes(t.frames[3].begin() + 2, t.frames[3].end() - 2), (Bytes{0xE0, 0x03, 0x01}));
  EXPECT_EQ(Bytes(t.frames[4].begin() + 2, t.frames[4].end() - 2), (Bytes{0xE0, 0x04, 0x50, 0x00}));
  EXPECT_EQ(t.sleeps, (std::vector<uint32_t>{100, 100, 100, 100}));
  // Modes other than 2 send the mode as one byte and no ceiling.
  ScriptedTester u;
  for (int i = 0; i < 5; ++i) u.Reply({0xE0});
  TesterSettings s = SampleSettings();
  s.limitMode = 1;
  EXPECT_EQ(commands::WriteTesterSettings(u.Channel(), s), 1);
  EXPECT_EQ(Bytes(u.frames[1].begin() + 1, u.frames[1].end() - 2), (Bytes{0x03, 0xE0, 0x01, 0x01}));
}

// A failed step ends the write; the pauses are still spent, those of the
// steps not sent in one sleep when the request could not be written.
TEST(Commands, WriteTesterSettingsStopsEarlyButKeepsThePauses) {
  struct Case {
    int answered;         // steps answered before the failing one
    ExchangeStatus fail;  // Ok: a reply of the wrong command
    size_t frames;
    std::vector<uint32_t> sleeps;
  } cases[] = {
      {1, ExchangeStatus::NoReply, 2, {100, 100, 100, 100}}, {4, ExchangeStatus::Ok, 5, {100, 100, 100, 100}},
      {1, ExchangeStatus::NotSent, 2, {100, 300}},
      {4, ExchangeStatus::NotSent, 5, {100, 100, 100, 100}},  // step 5 has no pause of its own
  };
  for (const Case& c : cases) {
    ScriptedTester t;
    for (int i = 0; i < c.answered; ++i) t.Reply({0xE0});
    if (c.fail == ExchangeStatus::Ok) t.Reply({0xE1, 0});
    else t.Fail(c.fail);
    EXPECT_EQ(commands::WriteTesterSettings(t.Channel(), SampleSettings()), 0);
    EXPECT_EQ(t.frames.size(), c.frames) << c.answered << " " << int(c.fail);
    EXPECT_EQ(t.sleeps, c.sleeps) << c.answered << " " << int(c.fail);
  }
}

// Loopback, standard-port limit, upstream estimate, cable, limit mode, ceiling.
std::vector<int> Fields(const TesterSettings& s) {
  return {s.loopbackEnabled, s.standardPortLimitMa, s.estimateUpstream, s.cableResistanceMohm,
          static_cast<int>(s.limitMode), s.maxLoadCurrentMa};
}

TEST(Commands, ReadTesterSettingsFourRoundsAndWhichWereRead) {
  ScriptedTester t;
  t.Reply({0xE1, 0x05});
  t.Reply({0xE1, 0x84, 0x03});
  t.Reply({0xE1, 0x00});
  t.Reply({0xE1, 0xE8, 0x03});
  TesterSettings s;
  s.limitMode = 2;
  s.maxLoadCurrentMa = 4000;
  ASSERT_EQ(commands::ReadTesterSettings(t.Channel(), &s), kAllSettingsRead);
  ASSERT_EQ(t.frames.size(), 4u);
  EXPECT_EQ(t.frames[0], (Bytes{0x02, 0x02, 0xE1, 0x00, 0xE2, 0x03}));
  EXPECT_EQ((Bytes{t.frames[1][3], t.frames[2][3], t.frames[3][3]}), (Bytes{2, 3, 4}));
  // Sub-index 1 (mode and ceiling) is never read back.
  EXPECT_EQ(Fields(s), (std::vector<int>{1, 900, 0, 1000, 2, 4000}));
  EXPECT_TRUE(t.sleeps.empty());
  // A round that fails leaves its field alone and says which were read.
  {
    ScriptedTester t;
    t.Reply({0xE1, 0x01});
    t.Reply({0xE1, 0xF4, 0x01});
    t.Reply({0xE0});  // wrong command on round 3
    t.Reply({0xE1, 0x2C, 0x01});
    TesterSettings s;
    s.estimateUpstream = 1;
    EXPECT_EQ(commands::ReadTesterSettings(t.Channel(), &s), kReadLoopback | kReadStandardLimit | kReadCable);
    EXPECT_EQ(t.frames.size(), 4u);
    EXPECT_EQ(Fields(s), (std::vector<int>{1, 500, 1, 300, 0, 0}));  // upstream not read: unchanged
  }
}

TEST(Commands, CalibrationWriteReadResetAndTheirFailures) {
  EXPECT_EQ((Bytes{CalibrationYearByte(2021), CalibrationYearByte(2020), CalibrationYearByte(2275),
                   CalibrationYearByte(2276)}),
            (Bytes{1, 0, 255, 0}));
  ScriptedTester t;
  t.Reply({0xE3});
  EXPECT_EQ(commands::WriteCalibration(t.Channel(), 1, 2021, 7, 1000, 998, -20, -19), 1);
  ASSERT_EQ(t.frames.size(), 1u);
  const Bytes& f = t.frames[0];
  ASSERT_EQ(f.size(), 16u);
  uint8_t x = 0;
  for (uint8_t b : f) x ^= b;
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 14),
            (Bytes{0x02, 0x0C, 0xE3, 0x01, 0x01, 0x07, 0xE8, 0x03, 0xE6, 0x03, 0xEC, 0xFF, 0xED, 0xFF}));
  EXPECT_EQ(x, 0);  // the checksum
  // The tester echoes the record: the year reads as 2021, negatives sign-extend.
  t.Reply({0xE4, 0x01, 0x01, 0x07, 0xE8, 0x03, 0xE6, 0x03, 0xEC, 0xFF, 0x00, 0x80});
  uint32_t cal = 0, year = 0, month = 0;
  int32_t r1 = 0, t1 = 0, r2 = 0, t2 = 0;
  ASSERT_EQ(commands::ReadCalibration(t.Channel(), 1, &cal, &year, &month, &r1, &t1, &r2, &t2), 1);
  EXPECT_EQ(t.frames[1], (Bytes{0x02, 0x02, 0xE4, 0x01, 0xE6, 0x03}));
  EXPECT_EQ((std::vector<int64_t>{cal, year, month, r1, t1, r2, t2}), (std::vector<int64_t>{1, 2021, 7, 1000, 998, -20, -32768}));
  // A failed read leaves every output alone.
  t.Fail(ExchangeStatus::NoReply);
  cal = year = month = 5;
  r1 = t1 = r2 = t2 = 5;
  EXPECT_EQ(commands::ReadCalibration(t.Channel(), 0, &cal, &year, &month, &r1, &t1, &r2, &t2), 0);
  EXPECT_EQ((std::vector<int64_t>{cal, year, month, r1, t1, r2, t2}), std::vector<int64_t>(7, 5));
  t.Reply({0xE5});
  EXPECT_EQ(commands::ResetCalibration(t.Channel(), 0), 1);
  EXPECT_EQ(t.frames.back(), (Bytes{0x02, 0x02, 0xE5, 0x00, 0xE6, 0x03}));
  t.Fail(ExchangeStatus::NotSent);
  EXPECT_EQ(commands::ResetCalibration(t.Channel(), 1), 0);
  t.Fail(ExchangeStatus::NoReply);
  EXPECT_EQ(commands::WriteCalibration(t.Channel(), 0, 2024, 1, 5000, 5000, 20000, 20000), 0);
}

}  // namespace
