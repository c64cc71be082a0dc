// Round trips of the command layer against the simulated tester, on the
// model's clock: how long a request/reply round takes in (simulated) wire time,
// as a ratio to the time its bytes alone need at 115200 baud, with the USB
// bridge at its defaults (argument 0) and with the settings the program asks
// for on opening (argument 1); and the host-side cost of the receiver in real
// time.
#include <benchmark/benchmark.h>

#include "core/link/clocked_link.h"
#include "core/link/low_latency.h"
#include "core/link/reply_mailbox.h"
#include "core/link/tester_commands.h"
#include "sim/sim_tester.h"

namespace {

// 10 bits per byte at 115200 baud.
constexpr double kByteUs = 10.0 * 1e6 / 115200.0;

sim::DeviceSetup Tester() {
  sim::DeviceSetup setup;
  setup.serial = "VXPD0001";
  setup.hasCharger = true;
  setup.charger.profiles = {{5, 0, 5000, 5000, 3000}, {5, 0, 9000, 9000, 3000}, {5, 3, 3300, 11000, 5000}};
  return setup;
}

struct Rig {
  explicit Rig(bool lowLatency) : model(Tester(), nullptr), link(Pipe()) {
    if (lowLatency) {
      model.SetLatencyTimer(kBridgeLatencyMs, 0);
      model.SetEventChar(kBridgeEventChar, true, 0);
    }
  }
  ClockedPipe Pipe() {
    ClockedPipe p;
    p.write = [this](const uint8_t* b, size_t n, int64_t t) { return model.HostWrite(b, n, t); };
    p.read = [this](uint8_t* out, size_t max, int64_t t) { return model.HostRead(out, max, t); };
    p.nextChange = [this](int64_t t) {
      model.Advance(t);
      return model.NextEventTime();
    };
    return p;
  }
  sim::TesterModel model;
  ClockedLink link;
};

// Runs `round` repeatedly and reports simulated microseconds per round and the
// ratio to the wire time of `wireBytes` bytes.
template <typename Round>
void RunRounds(benchmark::State& state, size_t wireBytes, Round&& round) {
  Rig rig(state.range(0) != 0);
  CommandChannel channel = rig.link.Channel();
  int64_t rounds = 0, failures = 0;
  const int64_t start = rig.link.ExchangeUs();
  for (auto _ : state) {
    if (!round(channel)) ++failures;
    ++rounds;
  }
  const double simUs = static_cast<double>(rig.link.ExchangeUs() - start) / static_cast<double>(rounds);
  const double wireUs = static_cast<double>(wireBytes) * kByteUs;
  state.counters["sim_us_per_round"] = simUs;
  state.counters["wire_us"] = wireUs;
  state.counters["ratio_to_wire"] = simUs / wireUs;
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_GetMeasurementsRoundTrip(benchmark::State& state) {
  // Request 5 bytes, reply 15 bytes: 1.74 ms on the wire.
  RunRounds(state, 20, [](const CommandChannel& c) {
    uint8_t temp;
    uint16_t vbus, setpoint, current, loopback;
    return commands::GetMeasurements(c, &temp, &vbus, &setpoint, &current, &loopback) == 1;
  });
}
BENCHMARK(BM_GetMeasurementsRoundTrip)->Arg(0)->Arg(1);

void BM_GetSourceCapabilitiesRoundTrip(benchmark::State& state) {
  // Request 5 bytes, reply 63 bytes.
  RunRounds(state, 68, [](const CommandChannel& c) {
    PdoList list;
    return commands::GetSourceCapabilities(c, &list) == 1;
  });
}
BENCHMARK(BM_GetSourceCapabilitiesRoundTrip)->Arg(0)->Arg(1);

void BM_SetLoadCurrentRoundTrip(benchmark::State& state) {
  // Request 7 bytes, reply 5 bytes.
  uint16_t ma = 0;
  RunRounds(state, 12, [&ma](const CommandChannel& c) {
    ma = static_cast<uint16_t>((ma + 100) % 3000);
    return commands::SetLoadCurrent(c, ma) == 1;
  });
}
BENCHMARK(BM_SetLoadCurrentRoundTrip)->Arg(0)->Arg(1);

// Host-side cost of reassembling replies: bytes through the receiver per
// second of real time, fed in the read sizes the receiver asks for.
void BM_ReceiveStateMachine(benchmark::State& state) {
  uint8_t frame[kFrameBufferBytes];
  uint8_t data[58] = {};
  const size_t n = BuildFrame(kCmdGetSourceCapabilities, data, sizeof data, frame, sizeof frame);
  FrameReceiver receiver;
  ReplyMailbox mailbox;
  int replies = 0;
  for (auto _ : state) {
    size_t pos = 0;
    int next = 1;
    while (pos < n) {
      const size_t k = std::min(n - pos, static_cast<size_t>(next));
      next = DispatchReceived(receiver, mailbox, frame + pos, k, [](int) {}, [&replies] { ++replies; });
      pos += k;
    }
    ReplyBody reply;
    benchmark::DoNotOptimize(mailbox.Take(&reply));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
  state.counters["replies"] = replies;
}
BENCHMARK(BM_ReceiveStateMachine);

}  // namespace

BENCHMARK_MAIN();
