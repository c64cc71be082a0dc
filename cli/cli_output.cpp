#include "cli/cli_output.h"

#include <cstdarg>

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

std::wstring Widen(const std::string& text) {
  std::wstring out;
  for (unsigned char c : text) out += static_cast<wchar_t>(c);
  return out;
}

std::string FirstLine(const wchar_t* text) {
  const std::string s = Narrow(text);
  return s.substr(0, s.find('\n'));
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

namespace {

thread_local FailHeading* heading = nullptr;

}  // namespace

FailHeading::FailHeading(const std::string& name) : heading_(name + ": "), outer_(heading) { heading = this; }
FailHeading::~FailHeading() { heading = outer_; }

int Fail(const std::string& message) {
  std::string line = message;
  if (heading) {
    const bool named = message.rfind(heading->heading_, 0) == 0;
    heading->last_ = named ? message.substr(heading->heading_.size()) : message;
    if (!named) line = heading->heading_ + message;
  }
  // One call: the lines of several testers' threads never interleave.
  std::fprintf(stderr, "loadpost-cli: %s\n", line.c_str());
  std::fflush(stderr);
  return kExitError;
}

void PrintTable(FILE* out, const std::vector<std::vector<std::string>>& rows, bool header) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (size_t i = 0; i < rows[r].size(); ++i) {
      line += rows[r][i];
      if (i + 1 < rows[r].size()) line += std::string(widths[i] - rows[r][i].size() + 2, ' ');
    }
    std::fprintf(out, "%s\n", line.c_str());
    if (header && r == 0) {
      size_t total = 0;
      for (size_t i = 0; i < widths.size(); ++i) total += widths[i] + (i + 1 < widths.size() ? 2 : 0);
      std::fprintf(out, "%s\n", std::string(total, '-').c_str());
    }
  }
  std::fflush(out);
}

void PrintJson(FILE* out, const nlohmann::json& value) {
  std::fprintf(out, "%s\n", value.dump().c_str());
  std::fflush(out);
}
