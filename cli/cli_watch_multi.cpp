// watch over several testers: each tester watched on a thread of its own with
// its own stop conditions, into one stream (the serial number in each line)
// or, with {serial} in the --out name, into a file of its own; then a summary
// of each.
#include <cstring>
#include <vector>

#include "cli/cli_files.h"
#include "cli/cli_multi.h"
#include "cli/cli_output.h"
#include "cli/cli_watch.h"
#include "core/link/measured_values.h"
#include "core/report/report_files.h"
#include "core/report/report_summary.h"

namespace {

constexpr const char* kSerialMark = "{serial}";

std::string OutPathOf(const std::string& pattern, const std::string& serial) {
  std::string path = pattern;
  for (size_t at; (at = path.find(kSerialMark)) != std::string::npos;) {
    path.replace(at, std::strlen(kSerialMark), FolderNameOf(serial));
  }
  return path;
}

std::string Stopped(const WatchSummary& s) { return s.reason + (s.complete ? "" : " (incomplete)"); }

}  // namespace

int RunWatches(const CliOptions& options, const WatchOptions& w) {
  uint32_t mode = 0;
  uint16_t index = 0;
  if (const std::string why = CheckLimits(w.limits, &mode, &index); !why.empty()) return Fail(why);
  if (w.stopBelowMv >= 0 && w.loadMa < 0) return Fail("--stop-below needs --load: with no load the voltage stays up");
  if (const std::string why = CheckHistory(w.history); !why.empty()) return Fail(why);
  std::vector<TesterPlace> places;
  if (const int code = ChooseTesters(options, &places)) return code;
  const bool asJson = options.json || w.format == "json";
  const bool filePerTester = w.outPath.find(kSerialMark) != std::string::npos;
  std::vector<WatchOptions> each(places.size(), w);
  for (size_t i = 0; i < places.size(); ++i) {
    if (filePerTester) each[i].outPath = OutPathOf(w.outPath, places[i].serial);
    if (const std::string why = CheckWritable("--out", each[i].outPath, false); !why.empty()) return Fail(why);
  }
  // One stream for all: open before any tester is touched, its header first.
  SharedStream shared;
  shared.name = w.outPath.empty() ? "standard output" : w.outPath;
  if (!filePerTester && !w.outPath.empty()) {
    shared.out = std::fopen(w.outPath.c_str(), "w");
    if (!shared.out) return Fail("cannot write " + w.outPath + " (--out): " + std::strerror(errno));
  }
  if (!filePerTester && !asJson) std::fputs(WatchCsvHeader(true), shared.out);

  std::vector<WatchSummary> sums(places.size());
  std::vector<TesterEnd> ends = RunEachTester(places, [&](size_t i) {
    TesterEnd end;
    CoreSession session;
    session.UsePlace(places[i]);
    end.code = WatchTester(options, each[i], session, filePerTester ? nullptr : &shared, false, &sums[i]);
    if (end.code != kExitOk && session.Tester().refusal != ConnectRefusal::None) {
      MarkLeftOut(options, session.Tester(), &end);
    }
    return end;
  });
  int code = WorstExitCode(ends);

  // A line for each tester that did not run, where its lines would have gone.
  for (size_t i = 0; i < places.size(); ++i) {
    const TesterEnd& e = ends[i];
    if (sums[i].started) continue;
    if (e.leftOut || !e.message.empty()) sums[i].reason = e.leftOut ? e.leftOutText + ", skipped" : e.message;
    sums[i].complete = e.leftOut;
    if (asJson) {
      nlohmann::json j = TesterIdentityJson(places[i].serial, places[i].path);
      j[e.leftOut ? "skipped" : "error"] = e.leftOut ? e.leftOutText : e.message;
      PrintJson(filePerTester ? stdout : shared.out, j);
    }
  }
  if (!filePerTester && shared.out != stdout && std::fclose(shared.out) != 0) code = Fail("cannot write " + w.outPath);
  if (!asJson) {
    std::vector<std::vector<std::string>> rows = {{"SERIAL", "DURATION", "READINGS", "CAPACITY", "VBUS", "STOPPED"}};
    for (size_t i = 0; i < places.size(); ++i) {
      const WatchSummary& s = sums[i];
      const bool ran = s.started;
      rows.push_back({places[i].serial, ran ? Format("%.1f s", SecondsFromUs(s.endUs - s.startUs)) : "-",
                      std::to_string(s.readings),
                      ran ? Format("%.3f mAh, %.3f mWh", Rounded(s.mah, 3), Rounded(s.mwh, 3)) : "-",
                      s.readings ? Format("min %.3f V, max %.3f V", VoltsFromMv(s.minMv), VoltsFromMv(s.maxMv)) : "-",
                      ends[i].leftOut ? s.reason : Stopped(s)});
    }
    // Where people look: standard output when the lines went to files.
    PrintTable(w.outPath.empty() ? stderr : stdout, rows, true);
  }
  return code;
}
