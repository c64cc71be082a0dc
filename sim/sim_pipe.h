// In-process use of the simulated tester, for native tests: a byte pipe to one
// tester model in simulated time, and a helper that runs one request/reply
// exchange to its end.
//
//   sim::TesterModel tester(setup, &recorder);
//   sim::SimPipe pipe(tester);
//   pipe.Write(sim::BuildFrame(0x01), 0);           // host sends GetVersion at t = 0
//   sim::Bytes got = pipe.Read(2000);              // what has arrived by t = 2 ms
//   auto r = sim::RunExchange(tester, sim::BuildFrame(0x0C), 5000);
//   // r.ok, r.body (reply CMD + DATA), r.doneAt (when its last byte arrived)
#pragma once

#include <vector>

#include "sim/sim_frame.h"
#include "sim/sim_tester.h"

namespace sim {

class SimPipe {
 public:
  explicit SimPipe(TesterModel& tester) : tester_(tester) {}
  // Host writes at time t; returns when the last byte has crossed the line.
  SimTime Write(const Bytes& bytes, SimTime t) { return tester_.HostWrite(bytes, t); }
  // Everything readable at time t.
  Bytes Read(SimTime t) { return tester_.HostReadAll(t); }
  size_t Read(uint8_t* out, size_t max, SimTime t) { return tester_.HostRead(out, max, t); }
  size_t Available(SimTime t) { return tester_.HostAvailable(t); }
  // When something next happens at the tester's end (kNever when idle).
  SimTime NextEventTime() const { return tester_.NextEventTime(); }
  TesterModel& Tester() { return tester_; }

 private:
  TesterModel& tester_;
};

struct ExchangeResult {
  bool ok = false;           // a reply frame (not a notice) arrived before the deadline
  Bytes frame;               // the whole reply frame as received
  Bytes body;                // its CMD + DATA
  std::vector<uint8_t> notices;  // notice codes (0x20..0x23) received meanwhile
  Bytes received;            // every byte received, in order
  SimTime writeDoneAt = 0;   // the request's last byte has crossed the line
  SimTime doneAt = 0;        // the reply's last byte arrived (or the deadline)
};

// Writes `request` at time `start`, then follows simulated time until a reply
// frame (any complete frame that is not a notice) has arrived, or until
// start + timeoutUs. Frames are taken as the host does: STX, LEN, LEN + 2 more
// bytes, ending in ETX; the checksum is not checked.
ExchangeResult RunExchange(TesterModel& tester, const Bytes& request, SimTime start, SimTime timeoutUs = 500000);

// Runs simulated time to `until`, collecting the notice codes that arrive.
std::vector<uint8_t> CollectNotices(TesterModel& tester, SimTime from, SimTime until);

}  // namespace sim
