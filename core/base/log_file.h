// Writing the event log as a text file, plus the small file and path helpers
// that the log and CSV exports share.
//
// Log file layout (one byte per character, every line ending CR LF):
//   TREVANE Loadpost tester Log file
//   ===========================================        (43 '=')
//   Number of records logged: <n>
//   <empty line>
//   <time stamp>: <11-character label>- <text>          (one per record, oldest first)
// The time stamp is the record's time in local time, laid out as
// "Www Mmm dd hh:mm:ss yyyy" (day with a leading zero, e.g. "Sat Dec 05 06:07:37 2026").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

class Logger;

// --- Files -------------------------------------------------------------------

enum class FileWriteResult {
  Ok,
  OpenFailed,   // the file could not be created or replaced
  WriteFailed,  // a write, flush or close failed (disk full, short write)
};

// Opens a file for writing in binary mode, replacing its content (the callers
// produce CR LF themselves). Null when it cannot be opened.
std::FILE* OpenFileForWriting(const wchar_t* path);

// Writes all of `bytes` to an open file and flushes it; does not close it.
FileWriteResult WriteAllBytes(std::FILE* file, const char* bytes, size_t size);

// Opens `path`, writes `bytes`, closes; the close is checked too.
FileWriteResult WriteFileBytes(const wchar_t* path, const std::string& bytes);

// --- Paths -------------------------------------------------------------------

constexpr size_t kSavePathChars = 400;        // the shared save path buffer
constexpr size_t kSaveDialogPathChars = 260;  // what the save dialog is told it may use
constexpr size_t kSaveFileTitleChars = 100;   // "\" + file name
constexpr const wchar_t* kDefaultLogFileTitle = L"\\LoadpostLog.txt";

// Appends `tail` to the zero-terminated text in `dest` (room for `capacity`
// wide characters, terminator included). Returns false and leaves `dest`
// unchanged when the result would not fit.
bool AppendPathText(wchar_t* dest, size_t capacity, const wchar_t* tail);

// Copies `text` into `dest` when it fits `capacity` (terminator included);
// otherwise returns false and leaves `dest` unchanged.
bool CopyPathText(wchar_t* dest, size_t capacity, const wchar_t* text);

// --- Log file ----------------------------------------------------------------

constexpr const char* kLogFileTitleLine = "TREVANE Loadpost tester Log file";
constexpr int kLogFileRuleLength = 43;

// Converts seconds since 1970 into local broken-down time; false when the time
// cannot be converted. Replaceable so that tests can use a fixed zone.
using LocalTimeFn = bool (*)(int64_t seconds, std::tm* out);
bool SystemLocalTime(int64_t seconds, std::tm* out);

// Writes the time stamp of a record into `out` (at least 25 bytes; the text is
// 24 characters for years 1000..9999). A time that cannot be converted is shown
// as "??? ??? ?? ??:??:?? ????". Returns the length written.
size_t FormatLogTimestamp(int64_t seconds, char* out, size_t size, LocalTimeFn localTime = SystemLocalTime);

// Appends `text` with one byte per character: printable ASCII and
// U+00A0..U+00FF as their own byte (the Latin-1 range that Windows-1252 shares),
// control characters as a blank, anything else (a surrogate pair counts as one
// character) as '?', so that no line is cut short.
void AppendOneByteText(std::string& out, const wchar_t* text);

// One record line without its line end: "%s: %s- %s" with the time stamp, the
// category's label (categories outside 0..8 as "ERROR      ") and the text.
std::string FormatLogRecordLine(int64_t seconds, int32_t category, const wchar_t* text,
                                LocalTimeFn localTime = SystemLocalTime);

// Writes the whole log to an open file: the four header lines with the record
// count taken once at the start, then every record that is still held, oldest
// first. Does not close the file.
FileWriteResult WriteLogFile(const Logger& log, std::FILE* file, LocalTimeFn localTime = SystemLocalTime);

// Opens `path` (replacing it), writes the log, closes. OpenFailed / WriteFailed
// tell the caller what to report.
FileWriteResult SaveLogFile(const Logger& log, const wchar_t* path, LocalTimeFn localTime = SystemLocalTime);
