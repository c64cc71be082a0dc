// A day-long capacity test as a user runs it, in seconds: the real loadpost-cli on the in-process simulated tester in
// simulated time, its file read back line by line and its capacity checked against the currents it recorded.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/native/child_process.h"

namespace {

using child_process::Finish;
using child_process::Result;
using child_process::Spawn;

// Current noise, so that the integral has something to add up.
constexpr const char* kScenario = "option clock simulated\ntester VXPD0001 kt60\n  charger pd65\n  noise 5 3\nend\n";
constexpr const char* kHeader =
    "time_s,seq,vbus_v,current_ma,setpoint_ma,loopback_ma,power_w,temperature_c,capacity_mah,capacity_mwh";
// The file has times to the ms and capacities to the µAh; one reading more or
// less in the integral is 0.28 mAh at 1000 mA.
constexpr double kMahTolerance = 0.01;

struct Line {
  double seconds, seq, volts, ma, setpointMa, loopbackMa, watts, celsius, mah, mwh;
};

// A line of exactly ten numbers, comma-separated; false otherwise.
bool ParseLine(const std::string& text, Line* line) {
  double* fields[] = {&line->seconds,    &line->seq,   &line->volts,   &line->ma,  &line->setpointMa,
                      &line->loopbackMa, &line->watts, &line->celsius, &line->mah, &line->mwh};
  const char* p = text.c_str();
  for (size_t i = 0; i < std::size(fields); ++i) {
    char* end = nullptr;
    *fields[i] = std::strtod(p, &end);
    if (end == p || *end != (i + 1 < std::size(fields) ? ',' : '\0')) return false;
    p = end + 1;
  }
  return true;
}

// The number after `label` in the summary table, or -1.
double SummaryValue(const std::string& out, const std::string& label) {
  const std::string text = "\n" + out;
  const size_t at = text.find("\n" + label + " ");
  return at == std::string::npos ? -1 : std::strtod(text.c_str() + at + label.size() + 2, nullptr);
}

TEST(CliLongRun, ADayOfCapacityTestKeepsMemoryFlatAndCountsEveryRecordedReading) {
  const std::string base = testing::TempDir() + std::to_string(getpid()) + "_long_run";
  const std::string scenario = base + ".sim";
  std::ofstream(scenario) << kScenario;
  // The sanitizer keeps freed memory for a while (256 MB by default), which would hide the program's own; without that,
  // memory that grows with the readings shows at once.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "quarantine_size_mb=0";
  struct Case {
    int seconds;
    long peakKb = 0;
  } cases[] = {{3600}, {86400}};
  for (Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.seconds) + " s");
    const std::string file = base + ".csv";
    std::remove(file.c_str());
    const auto started = std::chrono::steady_clock::now();
    const Result r = Finish(Spawn({LOADPOST_CLI, "--sim", scenario, "watch", "--load", "1000", "--duration",
                                   std::to_string(c.seconds), "--interval", "1000", "--out", file},
                                  false, {asanOptions}));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    c.peakKb = r.maxRssKb;
    std::ifstream in(file);
    std::string text;
    ASSERT_TRUE(std::getline(in, text));
    EXPECT_EQ(text, kHeader);
    std::vector<Line> lines;
    double mah = 0, mwh = 0;  // trapezoids over the recorded readings, as the core integrates
    while (std::getline(in, text)) {
      Line l;
      ASSERT_TRUE(ParseLine(text, &l)) << "line " << lines.size() + 2 << ": " << text;
      if (!lines.empty()) {
        const Line& p = lines.back();
        ASSERT_EQ(l.seq, p.seq + 1) << "a reading without its line before: " << text;
        ASSERT_GT(l.seconds, p.seconds) << text;
        const double hours = (l.seconds - p.seconds) / 3600;
        mah += (p.ma + l.ma) / 2 * hours;
        mwh += (p.ma * p.volts + l.ma * l.volts) / 2 * hours;
      }
      ASSERT_EQ(l.setpointMa, 1000) << text;
      ASSERT_NEAR(l.mah, mah, kMahTolerance) << text;
      lines.push_back(l);
    }
    ASSERT_FALSE(lines.empty());
    const Line& last = lines.back();
    EXPECT_GE(last.seconds, c.seconds);
    EXPECT_LT(last.seconds, c.seconds + 2.0);
    EXPECT_NEAR(last.mwh, mwh, mwh * 1e-6 + 0.01);
    EXPECT_NEAR(last.mah, c.seconds / 3.6, c.seconds / 3.6 * 1e-3);  // 1000 mA for that long
    // A reading each second (the clock's whole ms add a little), every one in the file.
    EXPECT_EQ(SummaryValue(r.out, "Readings"), static_cast<double>(lines.size())) << r.out;
    EXPECT_GE(lines.size(), c.seconds * 0.999);
    EXPECT_LE(lines.size(), c.seconds + 1u);
    EXPECT_NEAR(SummaryValue(r.out, "Capacity"), last.mah, 0.0005) << r.out;
    EXPECT_NEAR(SummaryValue(r.out, "Duration"), c.seconds, 2.0) << r.out;
    std::printf("%d s simulated: %zu lines, %.3f mAh (integral of the file %.3f mAh), %.3f mWh (%.3f), peak %ld kB, "
                "%.1f s\n",
                c.seconds, lines.size(), last.mah, mah, last.mwh, mwh, r.maxRssKb, wall);
  }
  // A day takes no more memory than an hour: under 2 MB more is under 25 bytes
  // for each of the 82800 readings more, less than one kept allocation each.
  EXPECT_LT(cases[1].peakKb, cases[0].peakKb + 2048);
  std::remove(scenario.c_str());
  std::remove((base + ".csv").c_str());
}

}  // namespace
