// load and watch: a load that always goes back to 0 mA, and the measurement
// stream with its capacity test.
#include <chrono>
#include <cmath>
#include <cstring>

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "link/profile_text.h"
#include "shell/shared_state.h"

namespace {

using nlohmann::json;

constexpr unsigned kDetachedBit = 1u << 1;
constexpr long long kTopLoadMa = 5100;
constexpr int kLostAfterFailures = 4;
constexpr unsigned kMaxMeasurePeriodMs = 1000;  // capacity needs a reading at least this often

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// The limit options as the tester's limit mode and ceiling; an empty string
// when they are acceptable, else why not.
std::string CheckLimits(const LimitOptions& l, uint32_t* mode, uint16_t* forcedIndex) {
  *mode = l.mode == "allow" ? AllowOverLimit : l.mode == "force" ? ForceLimit : EnforceLimits;
  *forcedIndex = 0;
  if (*mode != ForceLimit && l.forcedLimitMa >= 0) return "--limit goes with --limit-mode force";
  if (*mode == ForceLimit) {
    if (l.forcedLimitMa < 1000 || l.forcedLimitMa > 5000 || l.forcedLimitMa % 500 != 0) {
      return "--limit-mode force needs --limit MA, 1000 to 5000 in steps of 500";
    }
    *forcedIndex = static_cast<uint16_t>(l.forcedLimitMa / 500 - 2);
  }
  if (*mode != EnforceLimits && !l.acceptRisk) {
    return "--limit-mode " + l.mode + " lets the load exceed the source's rating: add --accept-risk to accept that";
  }
  return "";
}

namespace {

// A load on the source, set back to 0 mA (and the tester back to enforced
// limits) however the command ends.
class LoadHold {
 public:
  explicit LoadHold(Session& s) : s_(s) {}
  ~LoadHold() { Release(); }

  // Connects, reads the source and checks `ma` against the ceiling of the
  // chosen limit mode; then writes that mode to the tester and sets the load.
  int Apply(long long ma, const LimitOptions& limits) {
    uint32_t mode = EnforceLimits;
    uint16_t forcedIndex = 0;
    CheckLimits(limits, &mode, &forcedIndex);
    if (ma < 0 || ma > kTopLoadMa) return Fail(Format("load %lld mA is out of range (0 to %lld mA)", ma, kTopLoadMa));
    PortStatus p;
    if (!commands::GetPortStatus(s_.channel, &p.attach, &p.activeIndex, &p.kind, &p.subKind, &p.voltageMv,
                                 &p.currentMa, &p.extra)) {
      return Fail(s_.Name() + ": the tester did not answer the status request");
    }
    if (p.attach != 1) return Fail(s_.Name() + ": no source is attached");
    const uint16_t ceiling = ComputeMaxLoadCurrent(mode, p.currentMa, forcedIndex, 0);
    if (ma > ceiling) {
      return Fail(Format("load %lld mA is above the ceiling of %d mA (limit mode %s, rated current %d mA)", ma,
                         ceiling, limits.mode.c_str(), p.currentMa));
    }
    TesterSettings wanted = s_.settings;
    wanted.limitMode = mode;
    wanted.maxLoadCurrentMa = ceiling;
    relaxed_ = true;  // from here on the tester may hold other settings than it had
    if (!commands::WriteTesterSettings(s_.channel, wanted)) {
      return Fail(s_.Name() + ": the tester's settings could not be written");
    }
    loaded_ = true;  // the request may reach the tester even when its reply is lost
    if (!commands::SetLoadCurrent(s_.channel, static_cast<uint16_t>(ma))) {
      return Fail(Format("%s: the tester did not take the load of %lld mA", s_.Name().c_str(), ma));
    }
    return kExitOk;
  }

  // Back to 0 mA and enforced limits; false when the tester could not be told.
  bool Release() {
    bool ok = true;
    if (loaded_) ok = commands::SetLoadCurrent(s_.channel, 0) || commands::SetLoadCurrent(s_.channel, 0);
    if (relaxed_) {
      TesterSettings safe = s_.settings;
      safe.limitMode = EnforceLimits;
      ok = commands::WriteTesterSettings(s_.channel, safe) && ok;
    }
    if (!ok && (loaded_ || relaxed_)) {
      Fail(s_.Name() + ": could not set the load back to 0 mA (the tester did not answer)");
    }
    loaded_ = relaxed_ = false;
    return ok;
  }

 private:
  Session& s_;
  bool loaded_ = false;
  bool relaxed_ = false;
};

struct Summary {
  int64_t startUs = 0;
  int64_t endUs = 0;
  uint64_t readings = 0;
  double mah = 0;
  double mwh = 0;
  uint16_t minMv = 0xFFFF;
  uint16_t maxMv = 0;
  std::string reason;
  bool complete = true;
};

void PrintSummary(FILE* out, const Summary& s, bool asJson) {
  const double seconds = (s.endUs - s.startUs) / 1e6;
  if (asJson) {
    PrintJson(out, {{"summary",
                     {{"durationS", seconds},
                      {"readings", s.readings},
                      {"capacityMah", s.mah},
                      {"capacityMwh", s.mwh},
                      {"vbusMinV", s.readings ? s.minMv / 1000.0 : 0.0},
                      {"vbusMaxV", s.readings ? s.maxMv / 1000.0 : 0.0},
                      {"stopped", s.reason},
                      {"complete", s.complete}}}});
    return;
  }
  PrintTable(out,
             {{"Duration", Format("%.1f s", seconds)},
              {"Readings", std::to_string(s.readings)},
              {"Capacity", Format("%.3f mAh, %.3f mWh", s.mah, s.mwh)},
              {"VBUS", s.readings ? Format("min %.3f V, max %.3f V", s.minMv / 1000.0, s.maxMv / 1000.0) : "-"},
              {"Stopped", s.reason + (s.complete ? "" : " (incomplete)")}},
             false);
}

}  // namespace

int RunLoad(const CliOptions& options, const LoadOptions& load) {
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(load.limits, &mode, &index); !why.empty()) return Fail(why);
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  LoadHold hold(s);
  if (const int code = hold.Apply(load.loadMa, load.limits)) return code;
  Measurements m;
  commands::GetMeasurements(s.channel, &m.temperatureC, &m.vbusMv, &m.setpointMa, &m.currentMa, &m.loopbackMa);
  if (options.json) {
    PrintJson(stdout, {{"setpointMa", m.setpointMa}, {"currentMa", m.currentMa}, {"vbusV", m.vbusMv / 1000.0}});
  } else {
    std::printf("Load %d mA on %s (VBUS %.2f V); %s\n", m.setpointMa, s.Name().c_str(), m.vbusMv / 1000.0,
                load.loadMa == 0 ? "done" : "Ctrl-C sets it back to 0 mA");
    std::fflush(stdout);
  }
  if (load.loadMa == 0) return kExitOk;
  const int64_t end = load.holdSeconds >= 0 ? NowUs() + static_cast<int64_t>(load.holdSeconds * 1e6) : INT64_MAX;
  int failures = 0;
  while (!StopRequested() && NowUs() < end) {
    s.link->Wait(static_cast<unsigned>(std::min<int64_t>(1000, (end - NowUs()) / 1000 + 1)));
    if (s.link->TakeNotices() & kDetachedBit) return Fail(s.Name() + ": the source was detached");
    uint32_t attach = 0;
    PortStatus p;
    if (commands::GetPortStatus(s.channel, &attach, &p.activeIndex, &p.kind, &p.subKind, &p.voltageMv, &p.currentMa,
                                &p.extra)) {
      failures = 0;
      if (attach != 1) return Fail(s.Name() + ": the source was detached");
    } else if (++failures >= kLostAfterFailures || s.link->Gone()) {
      return Fail(s.Name() + ": connection to the tester lost");
    }
  }
  return hold.Release() ? kExitOk : kExitError;
}

int RunWatch(const CliOptions& options, const WatchOptions& w) {
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(w.limits, &mode, &index); !why.empty()) return Fail(why);
  if (w.intervalMs < 0) return Fail("--interval must be 0 (every reading) or more");
  if (w.stopBelowMv >= 0 && w.loadMa < 0) return Fail("--stop-below needs --load: with no load the voltage stays up");
  const bool asJson = options.json || w.format == "json";
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  LoadHold hold(s);
  if (w.loadMa >= 0) {
    if (const int code = hold.Apply(w.loadMa, w.limits)) return code;
  }
  FILE* out = stdout;
  if (!w.outPath.empty()) {
    out = std::fopen(w.outPath.c_str(), "w");
    if (!out) return Fail("cannot write " + w.outPath + ": " + std::strerror(errno));
  }
  int code = kExitOk;
  Summary sum;
  sum.startUs = NowUs();
  const int64_t intervalUs = static_cast<int64_t>(w.intervalMs * 1000);
  const unsigned periodMs = w.intervalMs == 0 ? 0 : static_cast<unsigned>(std::min<double>(w.intervalMs, kMaxMeasurePeriodMs));
  const bool bounded = w.durationSec >= 0 || w.stopBelowMv >= 0 || w.stopAfterMah >= 0;
  if (!asJson) {
    std::fprintf(out, "time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,capacity_mwh\n");
  }
  int64_t nextLine = sum.startUs;
  int64_t lastUs = 0;
  Measurements last;
  int failures = 0;
  while (code == kExitOk) {
    if (StopRequested()) {
      sum.reason = "stopped by the user";
      sum.complete = !bounded;
      code = bounded ? kExitError : kExitOk;
      break;
    }
    const int64_t measuredAt = NowUs();
    Measurements m;
    if (!commands::GetMeasurements(s.channel, &m.temperatureC, &m.vbusMv, &m.setpointMa, &m.currentMa,
                                   &m.loopbackMa)) {
      if (s.link->Gone() || ++failures >= kLostAfterFailures) {
        sum.reason = s.link->Gone() ? "the tester was unplugged" : "the tester stopped answering";
        sum.complete = false;
        code = kExitError;
      }
      continue;
    }
    failures = 0;
    const int64_t t = NowUs();
    if (sum.readings > 0 && t - lastUs <= 10'000'000) {
      const double hours = (t - lastUs) / 3.6e9;
      sum.mah += (last.currentMa + m.currentMa) / 2.0 * hours;
      sum.mwh += (last.currentMa * last.vbusMv / 1000.0 + m.currentMa * m.vbusMv / 1000.0) / 2.0 * hours;
    }
    ++sum.readings;
    sum.minMv = std::min(sum.minMv, m.vbusMv);
    sum.maxMv = std::max(sum.maxMv, m.vbusMv);
    last = m;
    lastUs = t;
    if (intervalUs == 0 || t >= nextLine) {
      nextLine = std::max(nextLine + intervalUs, t);
      const double seconds = (t - sum.startUs) / 1e6;
      const double watts = m.currentMa * m.vbusMv / 1e6;
      if (asJson) {
        PrintJson(out, {{"timeS", seconds}, {"seq", sum.readings}, {"vbusV", m.vbusMv / 1000.0},
                        {"currentMa", m.currentMa}, {"setpointMa", m.setpointMa}, {"loopbackMa", m.loopbackMa},
                        {"powerW", watts}, {"temperatureC", m.temperatureC}, {"capacityMah", sum.mah},
                        {"capacityMwh", sum.mwh}});
      } else {
        std::fprintf(out, "%.3f,%llu,%.3f,%u,%u,%u,%.3f,%u,%.3f,%.3f\n", seconds,
                     static_cast<unsigned long long>(sum.readings), m.vbusMv / 1000.0, m.currentMa, m.setpointMa,
                     m.loopbackMa, watts, m.temperatureC, sum.mah, sum.mwh);
      }
      if (std::fflush(out) != 0 || std::ferror(out)) {
        sum.reason = "the output could not be written";
        sum.complete = false;
        code = kExitError;
        break;
      }
    }
    const bool detached = s.link->TakeNotices() & kDetachedBit;
    if (w.stopBelowMv >= 0 && (m.vbusMv < w.stopBelowMv || detached)) {
      sum.reason = Format("VBUS below %lld mV", w.stopBelowMv) + (detached ? " (the source shut down)" : "");
    } else if (detached) {
      sum.reason = "the source was detached";
      sum.complete = false;
      code = kExitError;
    } else if (w.stopAfterMah >= 0 && sum.mah >= w.stopAfterMah) {
      sum.reason = Format("%.3f mAh drawn", w.stopAfterMah);
    } else if (w.durationSec >= 0 && t - sum.startUs >= w.durationSec * 1e6) {
      sum.reason = Format("%.1f s elapsed", w.durationSec);
    }
    if (!sum.reason.empty()) break;
    if (periodMs > 0) {
      const int64_t wait = measuredAt + periodMs * 1000LL - NowUs();
      if (wait > 0) s.link->Wait(static_cast<unsigned>((wait + 999) / 1000));
    }
  }
  sum.endUs = NowUs();
  if (!hold.Release()) code = kExitError;
  // JSON lines end with the summary; a table of it goes where people look,
  // standard output when the lines went to a file.
  if (asJson) PrintSummary(out, sum, true);
  if (out != stdout && std::fclose(out) != 0) code = Fail("cannot write " + w.outPath);
  if (!asJson) PrintSummary(w.outPath.empty() ? stderr : stdout, sum, false);
  return code;
}
