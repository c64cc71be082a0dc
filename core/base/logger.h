// The process-wide event log: a ring of the last 100,000 records, allocated
// whole at construction so that adding a record never allocates.
#pragma once

#include <cstdint>
#include <mutex>

enum LogCategory : int32_t {
  LogInformation = 0,
  LogLoopback = 1,
  LogBenchmark = 2,
  LogError = 3,
  LogDiagnostics = 4,
  LogFileOp = 5,
  LogResults = 6,
  LogMinorError = 7,
  LogPass = 8,
};

constexpr uint32_t kLogCapacity = 100001;  // one slot always stays free
constexpr int kLogTextChars = 300;

// The 11-character label written to the log file ("ERROR      " for any
// category outside 0..8).
const char* LogCategoryLabel(int32_t category);
// Row colour in the log window as 0x00BBGGRR; white outside 0..8.
uint32_t LogCategoryColour(int32_t category);

class Logger {
 public:
  Logger();
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Stores one record: control characters become blanks, runs of blanks
  // collapse for ERROR and Diagnostics, the text is cut to 299 characters.
  void AddRecord(const wchar_t* text, int32_t category);

  // Copies record `index` (0 = oldest, -1 = newest) into `out` (room for
  // kLogTextChars units). Returns false and sets category to 0 when the index is
  // out of the ring or the slot is empty. Safe against concurrent adds.
  bool GetRecord(int32_t index, wchar_t* out, int32_t* category, int64_t* time) const;

  int32_t RecordCount() const;
  // Records that left the full ring (the oldest going for each new one) since
  // construction or the last Clear.
  int64_t DroppedCount() const;
  void Clear();

 private:
  bool GetRecordLocked(int32_t index, wchar_t* out, int32_t* category, int64_t* time) const;

  uint32_t capacity;
  wchar_t* texts;
  int32_t* categories;
  int64_t* times;
  int32_t head;
  int32_t oldest;
  int32_t count;
  int64_t dropped;
  mutable std::mutex lock_;
};

// Clock used for record times (seconds since 1970); replaceable by tests.
using LogClock = int64_t (*)();
void SetLogClock(LogClock clock);
