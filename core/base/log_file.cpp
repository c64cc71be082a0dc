#include "core/base/log_file.h"

#include <cstring>
#include <cwchar>

#include "core/base/logger.h"
#include "core/base/utf8.h"

// --- Files -------------------------------------------------------------------

std::FILE* OpenFileForWriting(const wchar_t* path) {
  if (!path || !*path) return nullptr;
#ifdef _WIN32
  return _wfopen(path, L"wb");
#else
  return std::fopen(Utf8(path).c_str(), "wb");
#endif
}

FileWriteResult WriteAllBytes(std::FILE* file, const char* bytes, size_t size) {
  if (!file) return FileWriteResult::WriteFailed;
  if (size > 0 && std::fwrite(bytes, 1, size, file) != size) return FileWriteResult::WriteFailed;
  if (std::fflush(file) != 0) return FileWriteResult::WriteFailed;
  return FileWriteResult::Ok;
}

FileWriteResult WriteFileBytes(const wchar_t* path, const std::string& bytes) {
  std::FILE* file = OpenFileForWriting(path);
  if (!file) return FileWriteResult::OpenFailed;
  FileWriteResult result = WriteAllBytes(file, bytes.data(), bytes.size());
  if (std::fclose(file) != 0) result = FileWriteResult::WriteFailed;
  return result;
}

// --- Paths -------------------------------------------------------------------

bool AppendPathText(wchar_t* dest, size_t capacity, const wchar_t* tail) {
  if (!dest || !tail || capacity == 0) return false;
  const size_t have = std::wcslen(dest);
  const size_t add = std::wcslen(tail);
  if (have >= capacity || add >= capacity - have) return false;
  std::wmemcpy(dest + have, tail, add + 1);
  return true;
}

bool CopyPathText(wchar_t* dest, size_t capacity, const wchar_t* text) {
  if (!dest || !text || capacity == 0) return false;
  const size_t len = std::wcslen(text);
  if (len >= capacity) return false;
  std::wmemcpy(dest, text, len + 1);
  return true;
}

// --- Log file ----------------------------------------------------------------

bool SystemLocalTime(int64_t seconds, std::tm* out) {
#ifdef _WIN32
  const __time64_t t = seconds;
  return _localtime64_s(out, &t) == 0;
#else
  const std::time_t t = static_cast<std::time_t>(seconds);
  return localtime_r(&t, out) != nullptr;
#endif
}

size_t FormatLogTimestamp(int64_t seconds, char* out, size_t size, LocalTimeFn localTime) {
  static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (!out || size == 0) return 0;
  std::tm tm{};
  const bool ok = localTime && localTime(seconds, &tm) && tm.tm_wday >= 0 && tm.tm_wday < 7 && tm.tm_mon >= 0 &&
                  tm.tm_mon < 12;
  int n;
  if (ok) {
    n = std::snprintf(out, size, "%s %s %02d %02d:%02d:%02d %d", kDays[tm.tm_wday], kMonths[tm.tm_mon], tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
  } else {
    n = std::snprintf(out, size, "??? ??? ?? ??:??:?? ????");
  }
  if (n < 0) {
    out[0] = 0;
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void AppendOneByteText(std::string& out, const wchar_t* text) {
  if (!text) return;
  for (const wchar_t* p = text; *p; ++p) {
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c < 0x7F || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(static_cast<unsigned char>(c));
    } else {
      // A UTF-16 surrogate pair is one character.
      if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ++p;
      out += '?';
    }
  }
}

std::string FormatLogRecordLine(int64_t seconds, int32_t category, const wchar_t* text, LocalTimeFn localTime) {
  char stamp[64];
  FormatLogTimestamp(seconds, stamp, sizeof stamp, localTime);
  std::string line;
  line.reserve(48 + kLogTextChars);
  line += stamp;
  line += ": ";
  line += LogCategoryLabel(category);
  line += "- ";
  AppendOneByteText(line, text);
  return line;
}

FileWriteResult WriteLogFile(const Logger& log, std::FILE* file, LocalTimeFn localTime) {
  if (!file) return FileWriteResult::WriteFailed;
  const int32_t count = log.RecordCount();

  std::string chunk;
  chunk += kLogFileTitleLine;
  chunk += "\r\n";
  chunk.append(kLogFileRuleLength, '=');
  chunk += "\r\n";
  char countLine[64];
  std::snprintf(countLine, sizeof countLine, "Number of records logged: %d\r\n\r\n", count);
  chunk += countLine;

  // Records are written in chunks of about 64 KB.
  wchar_t text[kLogTextChars];
  for (int32_t i = 0; i < count; ++i) {
    int32_t category = 0;
    int64_t time = 0;
    if (!log.GetRecord(i, text, &category, &time)) continue;  // cleared meanwhile
    text[kLogTextChars - 1] = 0;
    chunk += FormatLogRecordLine(time, category, text, localTime);
    chunk += "\r\n";
    if (chunk.size() >= 65536) {
      if (WriteAllBytes(file, chunk.data(), chunk.size()) != FileWriteResult::Ok) return FileWriteResult::WriteFailed;
      chunk.clear();
    }
  }
  return WriteAllBytes(file, chunk.data(), chunk.size());
}

FileWriteResult SaveLogFile(const Logger& log, const wchar_t* path, LocalTimeFn localTime) {
  std::FILE* file = OpenFileForWriting(path);
  if (!file) return FileWriteResult::OpenFailed;
  FileWriteResult result = WriteLogFile(log, file, localTime);
  if (std::fclose(file) != 0) result = FileWriteResult::WriteFailed;
  return result;
}
