#include "core/base/logger.h"

#include <cstring>
#include <ctime>

namespace {

int64_t SystemClock() { return static_cast<int64_t>(std::time(nullptr)); }
LogClock logClock = SystemClock;

struct CategoryInfo {
  const char* label;
  uint32_t colour;  // 0x00BBGGRR
};

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

const CategoryInfo kCategories[] = {
    {"Information", Rgb(255, 255, 128)}, {"Loopback   ", Rgb(150, 255, 255)},
    {"Benchmark  ", Rgb(200, 150, 200)}, {"ERROR      ", Rgb(255, 64, 64)},
    {"Diagnostics", Rgb(255, 224, 129)}, {"File op.   ", Rgb(255, 255, 255)},
    {"Results    ", Rgb(255, 255, 255)}, {"Minor Error", Rgb(255, 116, 61)},
    {"PASS       ", Rgb(128, 255, 128)},
};

}  // namespace

void SetLogClock(LogClock clock) { logClock = clock ? clock : SystemClock; }

const char* LogCategoryLabel(int32_t category) {
  if (category < 0 || category > 8) category = LogError;
  return kCategories[category].label;
}

uint32_t LogCategoryColour(int32_t category) {
  if (category < 0 || category > 8) return Rgb(255, 255, 255);
  return kCategories[category].colour;
}

Logger::Logger()
    : capacity(kLogCapacity),
      texts(new wchar_t[static_cast<size_t>(kLogCapacity) * kLogTextChars]),
      categories(new int32_t[kLogCapacity]),
      times(new int64_t[kLogCapacity]),
      head(0),
      oldest(0),
      count(0),
      dropped(0) {
  std::memset(categories, 0, sizeof(int32_t) * kLogCapacity);
  std::memset(times, 0, sizeof(int64_t) * kLogCapacity);
  Clear();
}

Logger::~Logger() {
  delete[] texts;
  delete[] categories;
  delete[] times;
}

void Logger::AddRecord(const wchar_t* text, int32_t category) {
  wchar_t buffer[kLogTextChars + 1];
  int n = 0;
  if (text) {
    while (n < kLogTextChars && text[n] != 0) {
      wchar_t c = text[n];
      buffer[n++] = (c < 32) ? L' ' : c;
    }
  }
  buffer[n] = 0;
  if (category == LogError || category == LogDiagnostics) {
    int out = 0;
    for (int i = 0; i < n; ++i) {
      if (buffer[i] == L' ' && buffer[i + 1] == L' ') continue;
      buffer[out++] = buffer[i];
    }
    buffer[out] = 0;
  }
  const int64_t now = logClock();

  std::lock_guard<std::mutex> guard(lock_);
  wchar_t* slot = texts + static_cast<size_t>(head) * kLogTextChars;
  std::memcpy(slot, buffer, sizeof(wchar_t) * kLogTextChars);
  slot[kLogTextChars - 1] = 0;
  categories[head] = category;
  times[head] = now;
  head = (head + 1 == static_cast<int32_t>(capacity)) ? 0 : head + 1;
  if (head == oldest) {
    oldest = (oldest + 1 == static_cast<int32_t>(capacity)) ? 0 : oldest + 1;
    ++dropped;
  }
  if (count < static_cast<int32_t>(capacity) - 1) ++count;
}

bool Logger::GetRecordLocked(int32_t index, wchar_t* out, int32_t* category, int64_t* time) const {
  const int64_t cap = capacity;
  const int64_t absIndex = index < 0 ? -static_cast<int64_t>(index) : index;
  if (absIndex >= cap) {
    if (category) *category = 0;
    return false;
  }
  int64_t slot = index >= 0 ? oldest + static_cast<int64_t>(index) : head + static_cast<int64_t>(index);
  slot %= cap;
  if (slot < 0) slot += cap;
  const wchar_t* text = texts + static_cast<size_t>(slot) * kLogTextChars;
  if (text[0] == 0) {
    if (category) *category = 0;
    return false;
  }
  if (out) std::memcpy(out, text, sizeof(wchar_t) * kLogTextChars);
  if (category) *category = categories[slot];
  if (time) *time = times[slot];
  return true;
}

bool Logger::GetRecord(int32_t index, wchar_t* out, int32_t* category, int64_t* time) const {
  std::lock_guard<std::mutex> guard(lock_);
  return GetRecordLocked(index, out, category, time);
}

int32_t Logger::RecordCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return count;
}

int64_t Logger::DroppedCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped;
}

void Logger::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  std::memset(texts, 0, sizeof(wchar_t) * static_cast<size_t>(capacity) * kLogTextChars);
  categories[0] = 0;
  times[0] = 0;
  head = 0;
  oldest = 0;
  count = 0;
  dropped = 0;
}
