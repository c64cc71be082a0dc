#include "core/base/log_event.h"

#include <atomic>
#include <cwchar>

#include "core/base/logger.h"

Logger* eventLog = nullptr;

namespace {
std::atomic<LogChangedHook> logChangedHook{nullptr};
}

void SetLogChangedHook(LogChangedHook hook) { logChangedHook = hook; }

void LogEvent(const wchar_t* text, int32_t category) {
  Logger* log = eventLog;
  if (!log) return;
  log->AddRecord(text, category);
  if (LogChangedHook hook = logChangedHook.load()) hook();
}

void LogEventInt(const wchar_t* format, int value, int32_t category) {
  wchar_t buffer[kLogTextChars];
  std::swprintf(buffer, kLogTextChars, format, value);
  buffer[kLogTextChars - 1] = 0;
  LogEvent(buffer, category);
}

void LogEventText(const wchar_t* format, const wchar_t* value, int32_t category) {
  wchar_t buffer[kLogTextChars];
  std::swprintf(buffer, kLogTextChars, format, value);
  buffer[kLogTextChars - 1] = 0;
  LogEvent(buffer, category);
}
