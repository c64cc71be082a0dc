#include "sim/sim_record.h"

#include "sim/sim_frame.h"

namespace sim {

namespace {

const char* KindTag(RecordKind kind) {
  switch (kind) {
    case RecordKind::Received:
      return "RX";
    case RecordKind::Sent:
      return "TX";
    case RecordKind::Rejected:
      return "RX-BAD";
  }
  return "?";
}

}  // namespace

std::string FormatRecordTime(SimTime t) {
  if (t < 0) t = 0;
  char text[40];
  std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(t / 1000000),
                static_cast<long long>(t % 1000000));
  return text;
}

FrameRecorder::~FrameRecorder() { CloseFile(); }

void FrameRecorder::KeepLines(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
}

bool FrameRecorder::AppendToFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "ab");
  return file_ != nullptr;
}

void FrameRecorder::UseFile(FILE* file) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = file;
}

void FrameRecorder::CloseFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void FrameRecorder::Emit(const std::string& line) {
  if (keep_) lines_.push_back(line);
  if (file_) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }
}

void FrameRecorder::Frame(SimTime t, const std::string& serial, RecordKind kind, const uint8_t* bytes,
                          size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string stamp = FormatRecordTime(t);
  if (serial != lastSerial_) {
    Emit(stamp + " # device " + serial);
    lastSerial_ = serial;
  }
  Emit(stamp + " " + KindTag(kind) + " " + HexString(bytes, count));
}

void FrameRecorder::Note(SimTime t, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Emit(FormatRecordTime(t) + " # " + text);
}

std::vector<std::string> FrameRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> FrameRecorder::FramesOf(RecordKind kind) const {
  const std::string tag = std::string(" ") + KindTag(kind) + " ";
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> frames;
  for (const std::string& line : lines_) {
    const size_t at = line.find(tag);
    // The tag follows the time stamp directly; notes never match.
    if (at != std::string::npos && line.find(' ') == at) frames.push_back(line.substr(at + tag.size()));
  }
  return frames;
}

void FrameRecorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  lastSerial_.clear();
}

}  // namespace sim
