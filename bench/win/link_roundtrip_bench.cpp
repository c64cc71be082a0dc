// Real-time round trips of a TesterLink through the stand-in ftd2xx.dll beside
// this program: GetMeasurements (20 bytes on the wire, 1.74 ms at 115200 baud)
// and SetLoadCurrent, timed with the performance counter. Prints the median,
// mean and 95th percentile and their ratio to the wire time.
//   link_roundtrip_bench.exe [rounds] [serial]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/link/tester_link_win.h"

namespace {

constexpr double kByteUs = 10.0 * 1e6 / 115200.0;

TesterLink testerLink;

double NowUs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

template <typename Round>
void Time(const char* name, int rounds, int wireBytes, Round&& round) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    const double start = NowUs();
    if (!round(i)) ++failures;
    us.push_back(NowUs() - start);
  }
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  const double mean = sum / static_cast<double>(us.size());
  const double median = us[us.size() / 2];
  const double p95 = us[std::min(us.size() - 1, us.size() * 95 / 100)];
  const double wire = wireBytes * kByteUs;
  std::printf("%-18s rounds=%d failures=%d median=%.0fus mean=%.0fus p95=%.0fus wire=%.0fus "
              "median/wire=%.2f mean/wire=%.2f\n",
              name, rounds, failures, median, mean, p95, wire, median / wire, mean / wire);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const char* serial = argc > 2 ? argv[2] : "VXPD0001";
  double start = NowUs();
  if (!testerLink.Open(serial, nullptr)) {
    std::printf("cannot open %s\n", serial);
    return 1;
  }
  std::printf("open (version and settings read): %.0fus\n", NowUs() - start);

  Time("GetMeasurements", rounds, 20, [](int) {
    uint8_t temp;
    uint16_t vbus, setpoint, current, loopback;
    return testerLink.GetMeasurements(&temp, &vbus, &setpoint, &current, &loopback) == 1;
  });
  Time("SetLoadCurrent", rounds, 12, [](int i) { return testerLink.SetLoadCurrent(static_cast<uint16_t>((i % 10) * 100)) == 1; });
  testerLink.SetLoadCurrent(0);

  start = NowUs();
  testerLink.WriteTesterSettings();
  std::printf("WriteTesterSettings (400 ms of pauses): %.0fus\n", NowUs() - start);
  testerLink.Close();
  return 0;
}
