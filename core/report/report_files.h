// A report as files in one folder: report.html (one self-contained page: no
// scripts, no network, the charts inline as SVG), report.json with the same
// data, and one CSV per run in the window's sweep CSV format.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/report/report_model.h"
#include "core/report/safe_file.h"

constexpr const char* kReportHtmlName = "report.html";
constexpr const char* kReportJsonName = "report.json";

std::string ReportHtml(const Report& report);
nlohmann::json ReportJson(const Report& report);
nlohmann::json RunJson(const ReportRun& run, int number);
// Which tester, as every command's JSON names it: {"serial": its USB serial
// number, or null when it is not known; "device": the device it was reached
// through, or null when there is none (Windows, the in-process simulation)}.
// A serial field never holds anything but a serial number.
nlohmann::json TesterIdentityJson(const std::string& serial, const std::string& device);
// A voltage window as {"low", "high"} in volts at the millivolt, or null.
nlohmann::json WindowJson(const std::optional<VoltageWindow>& window);

// Writes every file, each through a temporary file renamed into place
// (WriteWholeFile), so a reader never finds half a file. False with `error` naming the file that
// could not be written.
bool WriteReportFiles(const Report& report, const std::filesystem::path& dir, std::string* error);

// Whether `name` is the name of one of a report's files: report.html,
// report.json, or a run's CSV as ReportRun::CsvName makes it.
bool IsReportFileName(const std::string& name);
// The files in `dir` (not below it) named as a report's: an earlier report's.
std::vector<std::filesystem::path> ReportFilesIn(const std::filesystem::path& dir);
