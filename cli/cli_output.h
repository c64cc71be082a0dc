// How the command line writes: tables for people, JSON for programs, errors on
// standard error, and the exit codes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;   // a test verdict of FAIL
constexpr int kExitError = 2;  // bad option or value, no tester, tester busy, link lost

std::string Narrow(const wchar_t* text);
std::wstring Widen(const std::string& text);
// The first line of a message (the window's texts may have more).
std::string FirstLine(const wchar_t* text);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "loadpost-cli: <message>" on standard error; returns kExitError.
int Fail(const std::string& message);

// While one lives, Fail on its thread heads each message with the tester's
// name ("VXPD0001: ..."; not twice when the message names it already) and
// keeps the last one: with several testers at once, every message says which
// tester it is about.
class FailHeading {
 public:
  explicit FailHeading(const std::string& name);
  ~FailHeading();
  FailHeading(const FailHeading&) = delete;
  FailHeading& operator=(const FailHeading&) = delete;
  // The last message Fail wrote on this thread meanwhile, without its heading.
  const std::string& LastMessage() const { return last_; }

 private:
  friend int Fail(const std::string& message);
  std::string heading_;
  std::string last_;
  FailHeading* outer_;
};

// Rows of cells in columns padded to their widest cell; the first row is the
// header when `header` is set.
void PrintTable(FILE* out, const std::vector<std::vector<std::string>>& rows, bool header);
// One JSON document per line.
void PrintJson(FILE* out, const nlohmann::json& value);
