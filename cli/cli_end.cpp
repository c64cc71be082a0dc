#include "cli/cli_end.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/cli_output.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/report/report_plan.h"
#include "core/base/tester_state.h"

namespace {

constexpr int kLoadAttempts = 3;
constexpr uint32_t kProfileChangeWaitMs = 5000;

// The port's channel, keeping how its last round went, so that a failure is
// told as what it was: a tester that did not answer, or a link that is gone.
class TrackedChannel {
 public:
  explicit TrackedChannel(TesterPort& port) : port_(port) {
    channel_.exchange = [this](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
      last_ = port_.Channel().exchange(frame, length, expected, reply);
      return last_;
    };
    channel_.sleep = [this](uint32_t ms) {
      const CommandChannel& c = port_.Channel();
      if (c.sleep) c.sleep(ms);
    };
  }
  const CommandChannel& Channel() const { return channel_; }
  bool Open() const { return port_.IsOpen(); }

  // Why the last failed operation failed.
  std::string Why() const {
    if (!port_.IsOpen()) return "the connection to the tester was lost";
    switch (last_) {
      case ExchangeStatus::NotSent: return "the request could not be sent to the tester";
      case ExchangeStatus::NoReply: return "the tester did not answer";
      case ExchangeStatus::WrongCommand: return "the tester answered another request";
      default: return "the tester's answer was incomplete";
    }
  }

 private:
  TesterPort& port_;
  CommandChannel channel_;
  ExchangeStatus last_ = ExchangeStatus::Ok;
};

// 0 mA until the tester reports it as its set-point; empty on success.
std::string LoadToZero(const TrackedChannel& t) {
  std::string why;
  for (int attempt = 0; attempt < kLoadAttempts && t.Open(); ++attempt) {
    if (!commands::SetLoadCurrent(t.Channel(), 0)) {
      why = t.Why();
      continue;
    }
    Measurements m;
    if (!commands::GetMeasurements(t.Channel(), &m.temperatureC, &m.vbusMv, &m.setpointMa, &m.currentMa,
                                   &m.loopbackMa)) {
      why = t.Why() + " when asked for its set-point";
      continue;
    }
    if (m.setpointMa == 0) return "";
    why = Format("the tester still reports a set-point of %u mA", static_cast<unsigned>(m.setpointMa));
  }
  return why.empty() ? t.Why() : why;
}

// The enforced limits, written when the command changed them or the tester
// reports others; empty when the tester holds them.
std::string LimitsToEnforced(TesterState& S, const TrackedChannel& t, bool changed) {
  uint32_t mode = 0;
  uint16_t ceiling = 0;
  const bool read = commands::ReadLimitMode(t.Channel(), &mode, &ceiling) != 0;
  if (read && mode == EnforceLimits) return "";
  // Unread and never changed: the program's own (enforced) settings were
  // written when it connected, and a tester that does not answer here is
  // reported with the load.
  if (!read && !changed) return "";
  S.config.limitMode = EnforceLimits;
  S.RecomputeMaxLoadCurrent();
  if (!commands::WriteTesterSettings(t.Channel(), SettingsFromConfig(S))) return t.Why();
  if (!commands::ReadLimitMode(t.Channel(), &mode, &ceiling)) return "";  // written and acknowledged
  return mode == EnforceLimits ? "" : std::string("the tester still reports limit mode ") + LimitModeName(mode);
}

// Asks for `row` and waits until the source supplies it; empty on success or
// when no source is attached (a source plugged in later starts on its own
// first profile).
std::string BackToRow(const TesterState& S, const TrackedChannel& t, int row, uint16_t wantedMv, uint8_t hardwareRevision) {
  PortStatus p;
  const auto read = [&] {
    return commands::GetPortStatus(t.Channel(), &p.attach, &p.activeIndex, &p.kind, &p.subKind, &p.voltageMv,
                                   &p.currentMa, &p.extra) != 0;
  };
  if (!read()) return t.Why();
  if (p.attach != 1) return "";
  const PdoList list = S.GetPdoList();
  if (row >= list.count) return "";
  const PdoEntry& entry = list.entries[row];
  uint8_t position = static_cast<uint8_t>(entry.ObjectPosition());
  uint16_t mv = entry.IsProgrammable() && wantedMv != 0 ? wantedMv : entry.minMv;
  if (!entry.IsProgrammable()) {
    ProfileRequestFor(list, row, p.kind, p.subKind, hardwareRevision, &position, &mv);
  }
  // A programmable row goes back to the voltage asked for, else its lowest.
  const int target = std::clamp<int>(mv, entry.minMv, entry.maxMv);
  const int tolerance = VoltageToleranceMv(entry);
  const auto there = [&] { return p.activeIndex == row && std::abs(p.voltageMv - target) <= tolerance; };
  if (there()) return "";
  if (!commands::RequestProfile(t.Channel(), position, mv)) return t.Why();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProfileChangeWaitMs);
  while (std::chrono::steady_clock::now() < until) {
    if (read()) {
      if (p.attach != 1) return "";
      if (there()) return "";
    } else if (!t.Open()) {
      return t.Why();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "the source did not switch";
}

}  // namespace

const char* LimitModeName(uint32_t mode) {
  switch (mode) {
    case EnforceLimits: return "enforce";
    case AllowOverLimit: return "allow";
    case ForceLimit: return "force";
    default: return "unknown";
  }
}

const char* StopCauseText(StopCause cause) {
  switch (cause) {
    case StopCause::Interrupt: return "stopped by the user";
    case StopCause::Terminate: return "stopped by SIGTERM";
    case StopCause::HangUp: return "the terminal was closed (SIGHUP)";
    case StopCause::Quit: return "quit by the user (SIGQUIT)";
    case StopCause::Break: return "stopped by the user (Ctrl-Break)";
    case StopCause::ConsoleClosed: return "the console window was closed";
    case StopCause::LogOff: return "the user logged off";
    case StopCause::Shutdown: return "the system is shutting down";
    default: return "";
  }
}

bool StopIsRequest(StopCause cause) {
  return cause == StopCause::Interrupt || cause == StopCause::Terminate || cause == StopCause::Break;
}

std::string EndSafely(TesterState& S, TesterPort& port, const EndPlan& plan) {
  // Nothing left waiting in the monitor may raise the load again.
  S.requests.requestedLoadMa = 0;
  S.requests.loadRequestPending = 0;
  const TrackedChannel t(port);
  if (!t.Open()) {
    return "the connection to the tester was lost: the load could not be set back to 0 mA nor the limits to "
           "enforced; once the tester is back, check it with 'loadpost-cli status' and clear it with "
           "'loadpost-cli load 0'";
  }
  std::string problem;
  const auto add = [&problem](const std::string& text) { problem += (problem.empty() ? "" : "; ") + text; };
  if (const std::string why = LoadToZero(t); !why.empty()) add("could not set the load back to 0 mA (" + why + ")");
  if (t.Open()) {
    if (const std::string why = LimitsToEnforced(S, t, plan.limitsChanged); !why.empty()) {
      add("could not set the tester back to enforced limits (" + why + ")");
    }
  }
  if (!problem.empty()) add("check the tester with 'loadpost-cli status' and clear it with 'loadpost-cli load 0'");
  if (plan.profileRow >= 0 && t.Open()) {
    if (const std::string why = BackToRow(S, t, plan.profileRow, plan.profileMv, plan.hardwareRevision); !why.empty()) {
      add(Format("could not put the source back on row %d (", plan.profileRow) + why + ")");
    }
  }
  return problem;
}
