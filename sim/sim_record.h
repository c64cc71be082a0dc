// The frame record: every frame the simulated tester receives and sends, one
// time-stamped line each, kept in memory and/or appended to a file (flushed line
// by line, so another process can follow it):
//
//   12.345678 RX 02 03 10 E8 03 F9 03      a frame the tester received (the host sent it)
//   12.346012 TX 02 01 10 10 03            bytes the tester sent (frames, noise, spoilt frames)
//   12.400000 RX-BAD 02 85 0C 00           bytes the tester's receiver rejected
//   12.500000 # VXPD0001 detached          a note (device events, faults, control commands)
//
// The time is seconds since the simulated world started, with six decimals. When
// more than one device talks, a note "# device <serial>" precedes the first line
// of a device that differs from the device of the line before.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_types.h"

namespace sim {

enum class RecordKind { Received, Sent, Rejected };

std::string FormatRecordTime(SimTime t);  // "12.345678"

class FrameRecorder {
 public:
  FrameRecorder() = default;
  ~FrameRecorder();
  FrameRecorder(const FrameRecorder&) = delete;
  FrameRecorder& operator=(const FrameRecorder&) = delete;

  // Keeps the lines in memory (on by default).
  void KeepLines(bool keep);
  // Appends every later line to the file; false when it cannot be opened.
  bool AppendToFile(const std::string& path);
  // Same with a file the caller opened (for wide paths); the recorder closes it.
  void UseFile(FILE* file);
  void CloseFile();

  void Frame(SimTime t, const std::string& serial, RecordKind kind, const uint8_t* bytes, size_t count);
  void Frame(SimTime t, const std::string& serial, RecordKind kind, const Bytes& bytes) {
    Frame(t, serial, kind, bytes.data(), bytes.size());
  }
  void Note(SimTime t, const std::string& text);

  std::vector<std::string> Lines() const;
  // Only the frame lines of one kind, as their hex text ("02 01 0A 0A 03").
  std::vector<std::string> FramesOf(RecordKind kind) const;
  void Clear();

 private:
  void Emit(const std::string& line);

  mutable std::mutex mutex_;
  bool keep_ = true;
  std::vector<std::string> lines_;
  FILE* file_ = nullptr;
  std::string lastSerial_;
};

}  // namespace sim
