// Fuzz target for what a client of serve can send: the bytes are cut into messages with the line cap, and every message
// is carried out by the instrument over a tester that always answers. Nothing may crash or hang, a reply is one line of
// printable text, the buffers stay bounded, and no load above the source's rating reaches the tester unless the risk
// was accepted.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/instrument.h"
#include "server/scpi_lines.h"
#include "core/base/tester_state.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class Tester : public ServedTester {
 public:
  Tester() {
    list.count = 2;
    list.entries[0] = {MakeTypeWord(1, 1, 0), 5000, 5000, 3000};
    list.entries[1] = {MakeTypeWord(2, 5, 3), 3300, 11000, 3000};
  }
  PdoList list;
  int row = 0;
  uint32_t mode = EnforceLimits;
  uint16_t forced = 0;

  TesterIdentity Identity() override { return {"Trevane", "KT-60", "VXPD0001", "3.0"}; }
  uint8_t HardwareRevision() override { return 20; }
  std::optional<Reading> Measure() override { return Reading{0, 1, 25, 5000, 0, 0, 0}; }
  bool SourceAttached() override { return true; }
  uint16_t RatedMa() override { return 3000; }
  std::string SetLoad(uint16_t ma) override {
    Check(ma <= ComputeMaxLoadCurrent(mode, 3000, forced, 5100));
    return "";
  }
  std::string SetLimits(uint32_t m, uint16_t f) override {
    Check(m <= ForceLimit && f <= 8);
    mode = m;
    forced = f;
    return "";
  }
  PdoList Profiles() override { return list; }
  int ActiveRow() override { return row; }
  uint16_t ProfileMv() override { return 5000; }
  std::string SelectRow(int r) override {
    Check(r >= 0 && r < list.count);
    row = r;
    return "";
  }
  std::string SetVoltage(long long) override { return ""; }
  double CapacityMah() override { return 0; }
  double CapacityMwh() override { return 0; }
  void ResetCapacity() override {}
  RippleCapture Ripple(double seconds, std::string*) override {
    Check(seconds > 0 && seconds <= 3600);
    return {};
  }
  SweepRecord Sweep(uint16_t stepMa, uint16_t stepMs, std::string*) override {
    Check(stepMa >= 5 && stepMa <= 500 && stepMs <= 60000);
    return {};
  }
  std::string SafeEnd() override {
    mode = EnforceLimits;
    return "";
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of the reads the bytes arrive in (0: all at once).
  const size_t chunk = data[0];
  ++data;
  --size;
  Tester tester;
  Instrument instrument(tester);
  scpi::LineSplitter splitter;
  for (size_t pos = 0; pos < size;) {
    const size_t n = chunk == 0 ? size : std::min(chunk, size - pos);
    std::vector<scpi::Line> lines;
    splitter.Feed(std::string_view(reinterpret_cast<const char*>(data + pos), n), &lines);
    pos += n;
    Check(splitter.Pending() <= scpi::LineSplitter::kMaxLine + 1);
    for (const scpi::Line& line : lines) {
      Check(line.text.size() <= scpi::LineSplitter::kMaxLine);
      if (line.overrun) {
        instrument.Overrun();
        continue;
      }
      for (const char c : instrument.Execute(line.text)) {
        Check(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
      }
    }
  }
  Check(instrument.Execute("SYST:ERR:COUN?").size() <= 2);
  instrument.End();
  return 0;
}
