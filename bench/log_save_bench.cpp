// Writing a full event log (100,000 records) to a file: time per save, and the
// file size as a counter.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <sys/stat.h>

#include "core/base/log_file.h"
#include "core/base/logger.h"

namespace {

int64_t fixedClock = 1796450857;
int64_t FixedClock() { return fixedClock++; }

bool UtcTime(int64_t seconds, std::tm* out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

// A full log whose texts are like the monitor's: measurement lines, profile
// lists, a few long lines.
Logger* FullLog(int textLength) {
  static Logger* log = nullptr;
  if (!log) log = new Logger();
  log->Clear();
  SetLogClock(FixedClock);
  wchar_t text[kLogTextChars];
  for (uint32_t i = 0; i < kLogCapacity - 1; ++i) {
    int n = std::swprintf(text, kLogTextChars, L"V=%.2fV, I=%dmA, I Loopback=%dmA", 5.0 + (i % 100) / 100.0,
                          static_cast<int>(i % 3000), 0);
    while (n < textLength && n < kLogTextChars - 1) text[n++] = L'x';
    text[n] = 0;
    log->AddRecord(text, static_cast<int32_t>(i % 9));
  }
  SetLogClock(nullptr);
  return log;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

void BM_SaveFullLog(benchmark::State& state) {
  const int textLength = static_cast<int>(state.range(0));
  Logger* log = FullLog(textLength);
  char dir[] = "/tmp/log_save_bench_XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string path = std::string(dir) + "/LoadpostLog.txt";
  const std::wstring widePath = Wide(path);
  for (auto _ : state) {
    if (SaveLogFile(*log, widePath.c_str(), UtcTime) != FileWriteResult::Ok) {
      state.SkipWithError("save failed");
      break;
    }
  }
  struct stat info {};
  stat(path.c_str(), &info);
  state.counters["records"] = static_cast<double>(log->RecordCount());
  state.counters["file_MB"] = static_cast<double>(info.st_size) / (1024.0 * 1024.0);
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(info.st_size) * state.iterations() / (1024.0 * 1024.0),
                                                  benchmark::Counter::kIsRate);
  std::remove(path.c_str());
  rmdir(dir);
}
// Text lengths: a typical measurement line, and the longest a record holds.
BENCHMARK(BM_SaveFullLog)->Arg(0)->Arg(299)->Unit(benchmark::kMillisecond);

// Formatting alone (no file), to separate the formatting from the writing.
void BM_FormatRecordLines(benchmark::State& state) {
  Logger* log = FullLog(0);
  wchar_t text[kLogTextChars];
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (int32_t i = 0; i < log->RecordCount(); ++i) {
      int32_t category = 0;
      int64_t time = 0;
      log->GetRecord(i, text, &category, &time);
      bytes += FormatLogRecordLine(time, category, text, UtcTime).size() + 2;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["file_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_FormatRecordLines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
