// load and watch: a load that always goes back to 0 mA, and the measurement
// stream with its capacity test.
#include <chrono>
#include <cmath>
#include <cstring>

#include "cli/cli_commands.h"
#include "cli/cli_files.h"
#include "cli/cli_output.h"
#include "cli/cli_watch.h"
#include "link/measured_values.h"
#include "link/monitor_core.h"
#include "link/profile_text.h"
#include "shell/tester_state.h"

namespace {

using nlohmann::json;

constexpr long long kTopLoadMa = 5100;
constexpr int64_t kMaxMeasurePeriodMs = 1000;  // capacity needs a reading at least this often
constexpr int64_t kPassEveryUs = 1'000'000;    // how often a watch lets the monitor follow the source

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

// The load against the ceiling of the chosen limit mode on the source just
// read (its rated current), before the tester is sent its settings or a load.
int CheckCeiling(const TesterState& S, long long ma, const LimitOptions& limits) {
  uint32_t mode = EnforceLimits;
  uint16_t forcedIndex = 0;
  CheckLimits(limits, &mode, &forcedIndex);
  const uint16_t ceiling = ComputeMaxLoadCurrent(mode, S.live.ratedCurrentMa, forcedIndex, S.config.maxLoadCurrentMa);
  if (ma <= ceiling) return kExitOk;
  return Fail(Format("load %lld mA is above the ceiling of %d mA (limit mode %s, rated current %d mA)", ma, ceiling,
                     limits.mode.c_str(), static_cast<int>(S.live.ratedCurrentMa)));
}

// A load on the source, set back to 0 mA (and the tester back to enforced
// limits) however the command ends.
class LoadHold {
 public:
  explicit LoadHold(Session& s) : s_(s) {}
  ~LoadHold() { Release(); }

  // With the source read (AwaitSource), checks `ma` against the ceiling of
  // the chosen limit mode, has the monitor write that mode to the tester and
  // sets the load.
  int Apply(long long ma, const LimitOptions& limits) {
    TesterState& S = s_.state;
    uint32_t mode = EnforceLimits;
    uint16_t forcedIndex = 0;
    CheckLimits(limits, &mode, &forcedIndex);
    if (ma < 0 || ma > kTopLoadMa) return Fail(Format("load %lld mA is out of range (0 to %lld mA)", ma, kTopLoadMa));
    S.config.limitMode = mode;
    S.config.forcedLimitIndex = forcedIndex;
    S.RecomputeMaxLoadCurrent();
    const uint16_t ceiling = S.config.maxLoadCurrentMa;
    if (ma > ceiling) {
      return Fail(Format("load %lld mA is above the ceiling of %d mA (limit mode %s, rated current %d mA)", ma,
                         ceiling, limits.mode.c_str(), static_cast<int>(S.live.ratedCurrentMa)));
    }
    if (mode != EnforceLimits) {
      relaxed_ = true;  // from here on the tester may hold other settings than it had
      if (const int code = WriteSettings()) return code;
    }
    loaded_ = true;  // the request may reach the tester even when its reply is lost
    const CommandResult r = s_.core->SetLoad(static_cast<uint16_t>(ma));
    return r.ok ? kExitOk : FailWith(s_, r.message);
  }

  // Back to 0 mA and enforced limits; false when the tester could not be told.
  bool Release() {
    TesterState& S = s_.state;
    bool ok = true;
    if (loaded_) ok = s_.core->SetLoad(0).ok || s_.core->SetLoad(0).ok;
    if (relaxed_) {
      S.config.limitMode = EnforceLimits;
      S.RecomputeMaxLoadCurrent();
      ok = WriteSettings() == kExitOk && ok;
    }
    if (!ok) Fail(s_.Name() + ": could not set the load back to 0 mA (the tester did not answer)");
    loaded_ = relaxed_ = false;
    return ok;
  }

 private:
  // The configuration's settings to the tester, through the monitor's passes.
  int WriteSettings() {
    TesterState& S = s_.state;
    S.requests.configPending = 1;
    for (int pass = 0; pass < 8 && S.live.testerConnected && (S.requests.configPending || s_.core->SettingsOwed()); ++pass) {
      s_.core->Pass();
    }
    return s_.core->SettingsOwed() || S.requests.configPending ? FailWith(s_, kSettingsNotWrittenText) : kExitOk;
  }

  Session& s_;
  bool loaded_ = false;
  bool relaxed_ = false;
};

void PrintSummary(FILE* out, const WatchSummary& s, bool asJson, const std::string& serial = "") {
  const double seconds = SecondsFromUs(s.endUs - s.startUs);
  const double mah = Rounded(s.mah, 3), mwh = Rounded(s.mwh, 3);
  if (asJson) {
    json j = {{"summary",
               {{"durationS", seconds},
                      {"readings", s.readings},
                      {"capacityMah", mah},
                      {"capacityMwh", mwh},
                      {"vbusMinV", s.readings ? VoltsFromMv(s.minMv) : 0.0},
                      {"vbusMaxV", s.readings ? VoltsFromMv(s.maxMv) : 0.0},
                      {"stopped", s.reason},
                      {"complete", s.complete}}}};
    if (!serial.empty()) j["serial"] = serial;
    PrintJson(out, j);
    return;
  }
  PrintTable(out,
             {{"Duration", Format("%.1f s", seconds)},
              {"Readings", std::to_string(s.readings)},
              {"Capacity", Format("%.3f mAh, %.3f mWh", mah, mwh)},
              {"VBUS", s.readings ? Format("min %.3f V, max %.3f V", VoltsFromMv(s.minMv), VoltsFromMv(s.maxMv)) : "-"},
              {"Stopped", s.reason + (s.complete ? "" : " (incomplete)")}},
             false);
}

}  // namespace

int RunLoad(const CliOptions& options, const LoadOptions& load) {
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(load.limits, &mode, &index); !why.empty()) return Fail(why);
  Session s;
  TesterState& S = s.state;
  if (const int code = ConnectTester(options, &s)) return code;
  if (const int code = AwaitSource(s, [&] { return CheckCeiling(s.state, load.loadMa, load.limits); })) return code;
  LoadHold hold(s);
  if (const int code = hold.Apply(load.loadMa, load.limits)) return code;
  const std::optional<Reading> r = s.core->Measure();
  if (!r) return FailWith(s, kLinkLostText);
  if (options.json) {
    PrintJson(stdout, {{"setpointMa", r->setpointMa}, {"currentMa", r->currentMa}, {"vbusV", VoltsFromMv(r->vbusMv)}});
  } else {
    std::printf("Load %d mA on %s (VBUS %.3f V); %s\n", r->setpointMa, s.Name().c_str(), VoltsFromMv(r->vbusMv),
                load.loadMa == 0 ? "done" : "Ctrl-C sets it back to 0 mA");
    std::fflush(stdout);
  }
  if (load.loadMa == 0) return kExitOk;
  // The monitor follows the source meanwhile: a detach or a lost link ends it.
  MonitorClock& clock = s.link->Clock();
  const int64_t end = load.holdSeconds >= 0 ? clock.NowUs() + static_cast<int64_t>(load.holdSeconds * 1e6) : INT64_MAX;
  while (!clock.Stopped() && clock.NowUs() < end) {
    s.core->Pass();
    if (!S.live.testerConnected) return FailWith(s, kLinkLostText);
    if (!S.live.portReady) return Fail(s.Name() + ": the source was detached");
  }
  return hold.Release() ? kExitOk : kExitError;
}

int RunWatch(const CliOptions& options, const WatchOptions& w) {
  if (options.Several()) return RunWatches(options, w);
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(w.limits, &mode, &index); !why.empty()) return Fail(why);
  if (w.stopBelowMv >= 0 && w.loadMa < 0) return Fail("--stop-below needs --load: with no load the voltage stays up");
  if (const std::string why = CheckWritable("--out", w.outPath); !why.empty()) return Fail(why);
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  WatchSummary sum;
  return WatchTester(options, w, s, nullptr, true, &sum);
}

const char* WatchCsvHeader(bool serial) {
  return serial ? "serial,time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,"
                  "capacity_mwh\n"
                : "time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,"
                  "capacity_mwh\n";
}

int WatchTester(const CliOptions& options, const WatchOptions& w, Session& s, SharedStream* shared, bool alone,
                WatchSummary* summary) {
  const bool asJson = options.json || w.format == "json";
  TesterState& S = s.state;
  const auto ceiling = [&] { return w.loadMa >= 0 ? CheckCeiling(s.state, w.loadMa, w.limits) : kExitOk; };
  if (const int code = AwaitSource(s, ceiling)) return code;
  // The file is open before the load is on: a load is never drawn for lines that cannot be kept.
  FILE* out = shared ? shared->out : stdout;
  if (!shared && !w.outPath.empty()) {
    out = std::fopen(w.outPath.c_str(), "w");
    if (!out) return Fail("cannot write " + w.outPath + " (--out): " + std::strerror(errno));
  }
  LoadHold hold(s);
  if (w.loadMa >= 0) {
    if (const int code = hold.Apply(w.loadMa, w.limits)) {
      if (!shared && out != stdout) std::fclose(out);
      return code;
    }
  }
  // A capture: the monitor's passes pause only briefly, as for the real-time graph.
  S.graph.graphMode = RealTime;
  S.graph.testStopped = 0;
  MonitorClock& clock = s.link->Clock();
  ReadingFeed& feed = s.core->Feed();
  FeedMark mark = feed.Mark();
  s.core->ResetCapacity();
  int code = kExitOk;
  WatchSummary& sum = *summary;
  sum.started = true;
  sum.startUs = clock.NowUs();
  const int64_t intervalUs = static_cast<int64_t>(w.intervalMs * 1000);
  const int64_t periodUs = std::min<int64_t>(intervalUs, kMaxMeasurePeriodMs * 1000);
  const bool bounded = w.durationSec >= 0 || w.stopBelowMv >= 0 || w.stopAfterMah >= 0;
  // Several testers' lines in one stream are each written whole under its lock, with the serial number.
  const std::string serial = shared ? s.Name() : "";
  std::unique_lock<std::mutex> streamLock;
  if (shared) streamLock = std::unique_lock<std::mutex>(shared->lock, std::defer_lock);
  if (!asJson && !shared) std::fputs(WatchCsvHeader(false), out);
  int64_t nextLine = sum.startUs;
  int64_t nextPass = sum.startUs + kPassEveryUs;
  while (sum.reason.empty()) {
    const int64_t measuredAt = clock.NowUs();
    // Readings come from Measure; a pass now and then follows the notices
    // and the port status (and notices a lost link).
    if (measuredAt >= nextPass || !s.core->Measure()) {
      s.core->Pass();
      nextPass = measuredAt + kPassEveryUs;
    }
    Reading r;
    FeedEvent e = FeedEvent::None;
    while (sum.reason.empty() && (e = feed.Check(mark, &r)) == FeedEvent::Reading) {
      mark.seq = r.seq;
      const double mah = S.live.capacityMah, mwh = S.live.capacityMwh;
      ++sum.readings;
      sum.mah = mah;
      sum.mwh = mwh;
      sum.minMv = std::min(sum.minMv, r.vbusMv);
      sum.maxMv = std::max(sum.maxMv, r.vbusMv);
      if (intervalUs == 0 || r.timeUs >= nextLine) {
        nextLine = std::max(nextLine + intervalUs, r.timeUs);
        const double seconds = SecondsFromUs(r.timeUs - sum.startUs);
        const double volts = VoltsFromMv(r.vbusMv), watts = WattsOf(r.vbusMv, r.currentMa);
        const double mahOut = Rounded(mah, 3), mwhOut = Rounded(mwh, 3);
        if (shared) streamLock.lock();
        if (asJson) {
          json line = {{"timeS", seconds}, {"seq", r.seq}, {"vbusV", volts}, {"currentMa", r.currentMa},
                       {"setpointMa", r.setpointMa}, {"loopbackMa", r.loopbackMa}, {"powerW", watts},
                       {"temperatureC", r.temperatureC}, {"capacityMah", mahOut}, {"capacityMwh", mwhOut}};
          if (shared) line["serial"] = serial;
          PrintJson(out, line);
        } else {
          std::fprintf(out, "%s%s%.3f,%u,%.3f,%u,%u,%u,%.3f,%u,%.3f,%.3f\n", serial.c_str(), shared ? "," : "",
                       seconds, r.seq, volts, r.currentMa, r.setpointMa, r.loopbackMa, watts, r.temperatureC, mahOut,
                       mwhOut);
        }
        const bool failed = std::fflush(out) != 0 || std::ferror(out) || (shared && shared->failed);
        if (shared) {
          shared->failed = shared->failed || failed;
          streamLock.unlock();
        }
        if (failed) {
          sum.reason = "the output could not be written";
          sum.complete = false;
          code = kExitError;
        }
      }
      if (!sum.reason.empty()) break;
      if (w.stopBelowMv >= 0 && r.vbusMv < w.stopBelowMv) {
        sum.reason = Format("VBUS below %lld mV", w.stopBelowMv);
      } else if (w.stopAfterMah >= 0 && mah >= w.stopAfterMah) {
        sum.reason = Format("%.3f mAh drawn", w.stopAfterMah);
      } else if (w.durationSec >= 0 && r.timeUs - sum.startUs >= w.durationSec * 1e6) {
        sum.reason = Format("%.1f s elapsed", w.durationSec);
      }
    }
    if (!sum.reason.empty()) break;
    if (!S.live.testerConnected || e == FeedEvent::LinkLost) {
      sum.reason = "the tester was unplugged or stopped answering";
    } else if (!S.live.portReady || e == FeedEvent::Detached) {
      // A power bank that shuts off at the end of a capacity test detaches.
      sum.reason = w.stopBelowMv >= 0 ? Format("VBUS below %lld mV (the source shut down)", w.stopBelowMv)
                                      : "the source was detached";
      sum.complete = w.stopBelowMv >= 0;
    } else if (clock.Stopped()) {
      sum.reason = "stopped by the user";
      sum.complete = !bounded;
    }
    if (!sum.reason.empty()) {
      if (!S.live.testerConnected || e == FeedEvent::LinkLost) sum.complete = false;
      if (!sum.complete) code = kExitError;
      break;
    }
    const int64_t wait = measuredAt + periodUs - clock.NowUs();
    if (periodUs > 0 && wait > 0) clock.Sleep(static_cast<uint32_t>((wait + 999) / 1000));
  }
  sum.endUs = clock.NowUs();
  S.graph.testStopped = 1;
  if (!hold.Release() && code == kExitOk) code = kExitError;
  // JSON lines end with the summary; a table of it goes where people look,
  // standard output when the lines went to a file.
  if (asJson) {
    if (shared) streamLock.lock();
    PrintSummary(out, sum, true, serial);
    if (shared) streamLock.unlock();
  }
  if (!shared && out != stdout && std::fclose(out) != 0) code = Fail("cannot write " + w.outPath);
  if (!asJson && alone) PrintSummary(w.outPath.empty() ? stderr : stdout, sum, false);
  return code;
}
