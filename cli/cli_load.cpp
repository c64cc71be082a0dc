// load and watch: a load that always goes back to 0 mA, and the measurement
// stream with its capacity test.
#include <chrono>
#include <cmath>
#include <cstring>

#include "cli/cli_commands.h"
#include "cli/cli_core_session.h"
#include "cli/cli_end.h"
#include "cli/cli_files.h"
#include "cli/cli_limits.h"
#include "cli/cli_output.h"
#include "cli/cli_watch.h"
#include "core/link/measured_values.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/base/tester_state.h"
#include "core/base/utf8.h"
#include "core/report/history_record.h"

namespace {

using nlohmann::json;

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

// A watch as the results history keeps it: one run of its readings on the active profile.
HistoryReport WatchRecord(CoreSession& session, const WatchOptions& w, const WatchSummary& sum) {
  const TesterState& S = session.State();
  ReportRun run;
  run.plan.entry = S.GetPdoList().EntryAt(S.live.activePdoIndex);
  wchar_t text[kProfileTextChars];
  FormatProfileListText(run.plan.entry, session.Tester().hardwareRevision, text, kProfileTextChars);
  run.plan.profileText = text;
  run.plan.requestedMv = S.live.profileVoltageMv;
  run.started = true;
  run.profileMv = S.live.profileVoltageMv;
  Report rep = OneRunReport(session, run);
  rep.limitMode = w.limits.mode;
  if (!sum.complete) rep.incompleteReason = sum.reason;
  HistoryReport h = HistoryReportOf(rep, "watch", w.history.label, "", {AbsolutePathText(w.outPath)});
  json settings = json::parse(h.settings);
  settings["intervalMs"] = w.intervalMs;
  if (w.loadMa >= 0) settings["loadMa"] = w.loadMa;
  if (w.durationSec >= 0) settings["durationS"] = w.durationSec;
  if (w.stopBelowMv >= 0) settings["stopBelowMv"] = w.stopBelowMv;
  if (w.stopAfterMah >= 0) settings["stopAfterMah"] = w.stopAfterMah;
  h.settings = settings.dump();
  HistoryRun& r = h.runs.front();
  r.verdict = h.verdict = sum.complete ? "n/a" : "INCOMPLETE";  // a watch measures, it does not judge
  r.complete = sum.complete;
  r.error = sum.complete ? "" : sum.reason;
  r.seconds = Rounded(SecondsFromUs(sum.endUs - sum.startUs), 3);
  r.readings = static_cast<int64_t>(sum.readings);
  r.mah = Rounded(sum.mah, 3);
  r.mwh = Rounded(sum.mwh, 3);
  if (sum.readings > 0) {
    r.minVolts = VoltsFromMv(sum.minMv);
    r.maxVolts = VoltsFromMv(sum.maxMv);
  }
  return h;
}

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

// load 0: the load to 0 mA and the limits to enforced, confirmed by the
// tester, also with no source attached.
int ClearTester(const CliOptions& options, CoreSession& session) {
  if (const int code = session.OpenTester(options)) return code;
  const Session& s = session.Tester();
  if (const std::string problem = session.Finish(); !problem.empty()) return Fail(s.Name() + ": " + problem);
  const std::optional<Reading> r = session.Core().Measure();
  if (!r) return Fail(s.Name() + ": the tester did not answer");
  if (options.json) {
    PrintJson(stdout, {{"setpointMa", r->setpointMa}, {"currentMa", r->currentMa}, {"vbusV", VoltsFromMv(r->vbusMv)}});
  } else {
    std::printf("Load %d mA on %s (VBUS %.3f V), limits enforced; done\n", r->setpointMa, s.Name().c_str(),
                VoltsFromMv(r->vbusMv));
  }
  return kExitOk;
}

}  // namespace

int RunLoad(const CliOptions& options, const LoadOptions& load) {
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(load.limits, &mode, &index); !why.empty()) return Fail(why);
  CoreSession session;
  // 0 mA clears the tester, with or without a source: the safe end alone.
  if (load.loadMa == 0) return ClearTester(options, session);
  TesterState& S = session.State();
  const auto ceiling = [&] { return CheckCeiling(S, load.loadMa, load.limits); };
  if (const int code = session.Open(options, load.limits, S.config.currentStepMa, S.config.timeStepMs, ceiling)) {
    return code;
  }
  // Nothing is captured: between passes the monitor pauses as the window's does.
  S.graph.testStopped = 1;
  if (const int code = session.SetLoad(load.loadMa, load.limits.mode)) return code;
  const Session& s = session.Tester();
  const std::optional<Reading> r = session.Core().Measure();
  if (!r) {
    const std::string why = session.Broken();
    return Fail(s.Name() + ": " + (why.empty() ? "the tester did not answer" : why));
  }
  if (options.json) {
    PrintJson(stdout, {{"setpointMa", r->setpointMa}, {"currentMa", r->currentMa}, {"vbusV", VoltsFromMv(r->vbusMv)}});
  } else {
    std::printf("Load %d mA on %s (VBUS %.3f V); Ctrl-C sets it back to 0 mA\n", r->setpointMa, s.Name().c_str(),
                VoltsFromMv(r->vbusMv));
    std::fflush(stdout);
  }
  // The monitor follows the source meanwhile: a stop, a detach, re-advertised
  // capabilities or a lost link end the load before its time.
  MonitorClock& clock = s.link->Clock();
  const bool bounded = load.holdSeconds >= 0;
  const int64_t end = bounded ? clock.NowUs() + static_cast<int64_t>(load.holdSeconds * 1e6) : INT64_MAX;
  std::string reason;
  while ((reason = session.Broken()).empty() && clock.NowUs() < end) session.Core().Pass();
  // Asked to stop, an unbounded load has reached its normal end.
  const bool complete = reason.empty() || (session.UserStopped() && !bounded && StopIsRequest(StopRequestCause()));
  if (reason.empty()) reason = Format("%.1f s elapsed", load.holdSeconds);
  const std::string problem = session.Finish();
  if (options.json) PrintJson(stdout, {{"stopped", reason}, {"complete", complete}});
  if (!complete) {
    Fail(s.Name() + ": load ended early: " + reason + (problem.empty() ? "; the load is back at 0 mA" : ""));
  }
  if (!problem.empty()) return Fail(s.Name() + ": " + problem);
  if (!complete) return kExitError;
  if (!options.json) std::printf("Load back to 0 mA on %s: %s\n", s.Name().c_str(), reason.c_str());
  return kExitOk;
}

int RunWatch(const CliOptions& options, const WatchOptions& w) {
  if (options.Several()) return RunWatches(options, w);
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(w.limits, &mode, &index); !why.empty()) return Fail(why);
  if (w.stopBelowMv >= 0 && w.loadMa < 0) return Fail("--stop-below needs --load: with no load the voltage stays up");
  if (const std::string why = CheckWritable("--out", w.outPath, false); !why.empty()) return Fail(why);
  if (const std::string why = CheckHistory(w.history); !why.empty()) return Fail(why);
  CoreSession session;
  WatchSummary sum;
  return WatchTester(options, w, session, nullptr, true, &sum);
}

const char* WatchCsvHeader(bool serial) {
  return serial ? "serial,time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,"
                  "capacity_mwh\n"
                : "time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,"
                  "capacity_mwh\n";
}

int WatchTester(const CliOptions& options, const WatchOptions& w, CoreSession& session, SharedStream* shared,
                bool alone, WatchSummary* summary) {
  const bool asJson = options.json || w.format == "json";
  TesterState& S = session.State();
  const auto ceiling = [&] { return w.loadMa >= 0 ? CheckCeiling(S, w.loadMa, w.limits) : kExitOk; };
  if (const int code = session.Open(options, w.limits, S.config.currentStepMa, S.config.timeStepMs, ceiling)) {
    return code;
  }
  // The file is open before the load is on: a load is never drawn for lines that cannot be kept.
  const std::string outName = shared ? shared->name : w.outPath.empty() ? "standard output" : w.outPath;
  FILE* out = shared ? shared->out : stdout;
  if (!shared && !w.outPath.empty()) {
    out = std::fopen(w.outPath.c_str(), "w");
    if (!out) return Fail("cannot write " + w.outPath + " (--out): " + std::strerror(errno));
  }
  if (w.loadMa >= 0) {
    if (const int code = session.SetLoad(w.loadMa, w.limits.mode)) {
      if (!shared && out != stdout) std::fclose(out);
      return code;
    }
  }
  // A capture: the monitor's passes pause only briefly, as for the real-time
  // graph, and at full pace the line is kept busy.
  S.graph.graphMode = RealTime;
  S.graph.testStopped = 0;
  S.graph.capturing = w.intervalMs == 0 ? 1 : 0;
  const Session& s = session.Tester();
  MonitorClock& clock = s.link->Clock();
  MonitorCore& core = session.Core();
  ReadingFeed& feed = core.Feed();
  FeedMark mark = feed.Mark();
  core.ResetCapacity();
  int code = kExitOk;
  WatchSummary& sum = *summary;
  sum.started = true;
  sum.startUs = clock.NowUs();
  const int64_t intervalUs = static_cast<int64_t>(w.intervalMs * 1000);
  const int64_t periodUs = std::min<int64_t>(intervalUs, kMaxMeasurePeriodMs * 1000);
  const bool bounded = w.durationSec >= 0 || w.stopBelowMv >= 0 || w.stopAfterMah >= 0;
  // Readings count (and --stop-below with them) only from a source still
  // attached as it was: not one taken as it went away or re-advertised, which
  // ends the watch.
  const auto sourceThere = [&S, &session] {
    const int notice = session.Port().PendingNotice();
    return S.live.portReady && !session.SourceChanged() && notice != 2 && notice != 4;
  };
  // Several testers' lines in one stream are each written whole under its
  // lock, with the serial number; a failed write there ends every capture.
  const std::string serial = shared ? s.Name() : "";
  bool writeFailed = false;
  const auto write = [&](const auto& print) {
    std::unique_lock<std::mutex> hold;
    if (shared) hold = std::unique_lock<std::mutex>(shared->lock);
    if (writeFailed) return;
    std::string why = shared ? shared->error : "";
    if (why.empty()) {
      print();
      if (std::fflush(out) == 0 && !std::ferror(out)) return;
      why = std::strerror(errno);
      if (shared) shared->error = why;
    }
    writeFailed = true;
    sum.complete = false;
    // After a closed terminal (SIGHUP) the failed write is no cause of its own.
    if (!session.UserStopped()) sum.reason = "cannot write " + outName + ": " + why;
  };
  if (!asJson && !shared) write([&] { std::fputs(WatchCsvHeader(false), out); });
  int64_t nextLine = sum.startUs;
  int64_t nextPass = sum.startUs + kPassEveryUs;
  while (sum.reason.empty()) {
    const int64_t measuredAt = clock.NowUs();
    // Readings come from Measure; a pass now and then, and at once when a
    // notice came, follows the notices and the port status (and notices a
    // lost link).
    if (measuredAt >= nextPass || !core.Measure() || session.Port().PendingNotice() != 0) {
      core.Pass();
      nextPass = measuredAt + kPassEveryUs;
    }
    Reading r;
    FeedEvent e = FeedEvent::None;
    while (sum.reason.empty() && (e = feed.Check(mark, &r)) == FeedEvent::Reading) {
      mark.seq = r.seq;
      if (!sourceThere()) continue;
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
        write([&] {
          if (asJson) {
            json line = {{"timeS", seconds}, {"seq", r.seq}, {"vbusV", volts},
                         {"currentMa", r.currentMa}, {"setpointMa", r.setpointMa}, {"loopbackMa", r.loopbackMa},
                         {"powerW", watts}, {"temperatureC", r.temperatureC}, {"capacityMah", mahOut},
                         {"capacityMwh", mwhOut}};
            if (shared) line["serial"] = serial;
            PrintJson(out, line);
          } else {
            std::fprintf(out, "%s%s%.3f,%u,%.3f,%u,%u,%u,%.3f,%u,%.3f,%.3f\n", serial.c_str(), shared ? "," : "",
                         seconds, r.seq, volts, r.currentMa, r.setpointMa, r.loopbackMa, watts, r.temperatureC,
                         mahOut, mwhOut);
          }
        });
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
    if (!sum.reason.empty()) {
      sum.complete = !writeFailed;
      break;
    }
    sum.complete = false;
    if (!S.live.testerConnected || e == FeedEvent::LinkLost) {
      sum.reason = "the tester was unplugged or stopped answering";
    } else if (session.UserStopped()) {
      sum.reason = session.Broken();
      // Asked to stop, an unbounded watch has reached its normal end.
      sum.complete = !bounded && StopIsRequest(StopRequestCause());
    } else if (e == FeedEvent::Detached || !session.Broken().empty()) {
      // A power bank that shuts off at the end of a capacity test detaches:
      // that counts as its end only with a reading below --stop-below first.
      sum.reason = session.Broken().empty() ? "the source was detached" : session.Broken();
    } else {
      sum.complete = true;
    }
    if (!sum.reason.empty()) break;
    const int64_t wait = measuredAt + periodUs - clock.NowUs();
    if (periodUs > 0 && wait > 0) clock.Sleep(static_cast<uint32_t>((wait + 999) / 1000));
  }
  if (!sum.complete) code = kExitError;
  sum.endUs = clock.NowUs();
  S.graph.testStopped = 1;
  S.graph.capturing = 0;
  const std::string problem = session.Finish();
  std::string historyError;
  if (!RecordHistory(w.history, WatchRecord(session, w, sum), &historyError)) code = Fail(historyError);
  // JSON lines end with the summary; a table of it goes where people look,
  // standard output when the lines went to a file.
  if (asJson) write([&] { PrintSummary(out, sum, true, serial); });
  if (!shared && out != stdout && std::fclose(out) != 0 && !writeFailed) code = Fail("cannot write " + w.outPath);
  if (!asJson && alone) PrintSummary(w.outPath.empty() ? stderr : stdout, sum, false);
  if (!problem.empty()) code = Fail(s.Name() + ": " + problem);
  return code;
}
