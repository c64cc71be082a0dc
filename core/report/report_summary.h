// Several testers' reports made at once, summed up beside their folders:
// summary.json and index.html (one page linking each tester's report.html).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/report/report_model.h"

constexpr const char* kSummaryJsonName = "summary.json";
constexpr const char* kIndexHtmlName = "index.html";

// One tester's line of the summary.
struct TesterReportEntry {
  std::string serial;
  std::string device;
  std::string model;     // empty when it was never connected
  std::string folder;    // its report's folder beside the summary; empty when no report was written
  std::string verdict;   // PASS, FAIL, INCOMPLETE, n/a; ERROR: no report made; SKIPPED: left out
  std::string reason;    // why incomplete, the error, or why left out ("busy", "not usable")
  int runs = 0;          // runs planned
  int runsComplete = 0;  // of those, run to their end
  int exitCode = 0;
};

// A tester's entry from its report, written into `folder` (empty: not written).
TesterReportEntry EntryOf(const Report& report, const std::string& folder, int exitCode);

struct ReportSummary {
  std::string date;
  std::vector<TesterReportEntry> testers;
  int exitCode = 0;

  // FAIL when any tester's report failed, else INCOMPLETE when any tester not
  // left out has no complete report, else PASS when any passed, else n/a.
  std::string Verdict() const;
};

nlohmann::json SummaryJson(const ReportSummary& summary);
std::string SummaryHtml(const ReportSummary& summary);
// Writes summary.json and index.html into `dir`, each whole (WriteWholeFile).
bool WriteSummaryFiles(const ReportSummary& summary, const std::filesystem::path& dir, std::string* error);
// The summary's files in `dir`: an earlier summary's.
std::vector<std::filesystem::path> SummaryFilesIn(const std::filesystem::path& dir);

// The name of a tester's folder: its serial number with anything but letters,
// digits, '-' and '_' made '_', so that it always names one folder inside.
std::string FolderNameOf(const std::string& serial);
