// The SCPI parser: messages and the units they parse into, the path rule of compound messages, suffixes, parameters and
// every kind of malformed input; and the cutting of a client's bytes into messages with the line cap.
#include <gtest/gtest.h>

#include <string>

#include "server/scpi_errors.h"
#include "server/scpi_lines.h"
#include "server/scpi_parser.h"

namespace {

using scpi::Command;

const Command kTable[] = {
    {"*IDN", 0, false, true}, {"*RST", 1, true, false}, {"MEASure[:SCALar]:VOLTage[:DC]", 2, false, true},
    {"MEASure[:SCALar]:CURRent[:DC]", 3, false, true}, {"[SOURce#:]CURRent[:LEVel][:IMMediate]", 4, true, true},
    {"[SOURce#:]CURRent:LIMit[:LEVel]", 5, true, true}, {"INPut#[:STATe]", 6, true, true},
    {"SYSTem:ERRor[:NEXT]", 7, false, true}, {"SYSTem:NAME", 8, true, false}, {"*OPC", 9, true, true},
};

// The units in a short form: "4 #2 (N 1.5 MA)", "2?", "E-113", joined by " | ".
std::string Parsed(const std::string& message) {
  const scpi::Parser parser(kTable);
  std::string out;
  for (const scpi::Unit& u : parser.Parse(message)) {
    if (!out.empty()) out += " | ";
    if (u.error != 0) {
      out += "E" + std::to_string(u.error);
      continue;
    }
    out += std::to_string(u.id) + (u.query ? "?" : "");
    for (const int s : u.suffixes) {
      if (s != 1) out += " #" + std::to_string(s);
    }
    for (const scpi::Param& p : u.params) {
      if (p.kind == scpi::ParamKind::Number) {
        char n[40];
        std::snprintf(n, sizeof n, "%g", p.number);
        out += std::string(" (N ") + n + (p.unit.empty() ? "" : " " + p.unit) + ")";
      } else {
        out += std::string(p.kind == scpi::ParamKind::Word ? " (W " : " (S ") + p.text + ")";
      }
    }
  }
  return out;
}

TEST(ScpiParser, MessagesParseIntoTheirUnits) {
  struct Case {
    const char* message;
    const char* parsed;
  };
  const Case cases[] = {
      // Long and short forms in any case; nothing in between; optional nodes.
      {"*IDN?", "0?"}, {"*idn?", "0?"}, {"MEAS:VOLT?", "2?"}, {"measure:scalar:voltage:dc?", "2?"},
      {"Meas:Volt:DC?", "2?"}, {"MEASU:VOLT?", "E-113"}, {"MEAS:VOLTA?", "E-113"}, {"SYST:ERR?", "7?"},
      {"SYSTEM:ERROR:NEXT?", "7?"},
      // Forms the table does not have.
      {"MEAS:VOLT", "E-113"}, {"*RST?", "E-113"}, {"SYST:NAME?", "E-113"},
      // Compound messages: the path of the previous header, ':' back to the root, common commands leave the path alone.
      {"MEAS:VOLT?;CURR?", "2? | 3?"}, {"MEAS:VOLT?;:CURR 1", "2? | 4 (N 1)"}, {"MEAS:VOLT?;CURR 1", "2? | E-113"},
      {"SOUR:CURR 1.5;*OPC?;CURR 2", "4 (N 1.5) | 9? | 4 (N 2)"},
      {"SOUR:CURR:LIM 2;*OPC?;LIM 3", "5 (N 2) | 9? | 5 (N 3)"}, {"SOUR:CURR 1.5;LIM 2", "4 (N 1.5) | E-113"},
      {"CURR 1;LIM 2", "4 (N 1) | E-113"}, {"CURR 1;FOO;*IDN?", "4 (N 1) | E-113"}, {"*IDN?;", "0?"},
      {" ;; *IDN? ;\t*OPC? ", "0? | 9?"}, {"", ""}, {"   ", ""},
      // Numeric suffixes: 1 when omitted; only on the nodes that take one.
      {"SOUR2:CURR 1", "4 #2 (N 1)"}, {"INP1 ON", "6 (W ON)"}, {"INP0 ON", "E-114"}, {"MEAS2:VOLT?", "E-114"},
      {"INP99999999999 ON", "E-112"},
      // Numbers with and without suffixes, words, strings.
      {"CURR 250 MA", "4 (N 250 MA)"}, {"CURR 250mA", "4 (N 250 MA)"}, {"CURR 1e-3A", "4 (N 0.001 A)"},
      {"CURR -.5", "4 (N -0.5)"}, {"CURR +1.E2", "4 (N 100)"}, {"curr max", "4 (W MAX)"},
      {"INP 1 , 0", "6 (N 1) (N 0)"}, {"SYST:NAME 'it''s'", "8 (S it's)"},
      {"SYST:NAME \"a;b,c\";*IDN?", "8 (S a;b,c) | 0?"},
      // Malformed input: its command error, and nothing after it runs.
      {"CURR 1 2", "E-103"}, {"CURR 1,", "E-102"}, {"CURR 1,,2", "E-102"}, {"CURR 1.2.3", "E-121"}, {"CURR -", "E-121"},
      {"CURR 1e99999", "E-123"}, {"CURR 1e400", "E-123"}, {"CURR #H12", "E-168"}, {"CURR (1)", "E-102"},
      {"CURR ABCDEFGHIJKLMN", "E-144"}, {"CURR 1ABCDEFGHIJKLMN", "E-131"}, {"SYST:NAME 'open", "E-151"},
      {"SYST:NAME 'a'b", "E-103"}, {"MEAS:VOLT?X", "E-102"}, {"MEAS: VOLT?", "E-102"}, {"MEAS::VOLT?", "E-102"},
      {":", "E-102"}, {"*", "E-102"}, {"?", "E-102"}, {"ABCDEFGHIJKLM?", "E-112"}, {"CURR \x01", "E-101"},
      {"MEAS:\xff", "E-101"}, {"*IDN?\r", "E-101"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(Parsed(c.message), c.parsed);
  }
  // A NUL inside the message (the table above stops at it).
  EXPECT_EQ(Parsed(std::string("*IDN?\0;*RST", 11)), "E-101");
}

TEST(ScpiParser, ErrorQueueKeepsOrderAndMarksOverflow) {
  scpi::ErrorQueue q;
  EXPECT_EQ(q.Next(), "0,\"No error\"");
  q.Push(scpi::kUndefinedHeader, "FOO");
  q.Push(scpi::kExecutionError, "PPS profiles are not supported by \"KT-40\"");
  EXPECT_EQ(q.Next(), "-113,\"Undefined header;FOO\"");
  EXPECT_EQ(q.Next(), "-200,\"Execution error;PPS profiles are not supported by \"\"KT-40\"\"\"");
  for (size_t i = 0; i < scpi::ErrorQueue::kCapacity + 5; ++i) q.Push(scpi::kDataOutOfRange);
  EXPECT_EQ(q.Count(), scpi::ErrorQueue::kCapacity);
  std::string last;
  while (q.Count() > 0) last = q.Next();
  EXPECT_EQ(last, "-350,\"Queue overflow\"");
}

TEST(ScpiLines, BytesBecomeMessagesWithinTheCap) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;  // "!" for an overrun
    size_t pending;
  };
  const std::string cap(scpi::LineSplitter::kMaxLine, 'A');
  const Case cases[] = {
      {"one line", {"*IDN?\n"}, {"*IDN?"}, 0}, {"CR LF", {"*IDN?\r\n"}, {"*IDN?"}, 0},
      {"split across reads", {"MEAS:", "VOLT?", "\n*O", "PC?\n"}, {"MEAS:VOLT?", "*OPC?"}, 0},
      {"several in one read", {"A\nB\n\nC"}, {"A", "B", ""}, 1}, {"exactly the cap", {cap + "\r\n"}, {cap}, 0},
      {"over the cap, then a good line", {cap, "B", "C\nD\n"}, {"!", "D"}, 0},
      {"endless binary stays bounded", {std::string(3000, '\0'), std::string(3000, '\xff'), std::string(9000, 'x')},
       {"!"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scpi::LineSplitter s;
    std::vector<scpi::Line> got;
    for (const std::string& chunk : c.chunks) s.Feed(chunk, &got);
    std::vector<std::string> lines;
    for (const scpi::Line& l : got) lines.push_back(l.overrun ? "!" : l.text);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(s.Pending(), c.pending);
    EXPECT_LE(s.Pending(), scpi::LineSplitter::kMaxLine);
  }
}

}  // namespace
