// The graph window's two tests on the command line: the real-time graph's
// capture for a given time, and the sweep, both run by the core's engine
// (RunGraphTest, over a DirectRunLink: the tester's full pace) on the tester
// of a CoreSession, judged on the window's rules.
#pragma once

#include <vector>

#include "core/chart/line_chart.h"
#include "cli/cli_core_session.h"
#include "cli/cli_progress.h"
#include "core/report/report_model.h"

// Captures VBUS for `seconds` at the tester's full pace, the load left as it
// is. The capture is complete (end Complete) when it ran its full time;
// `samples`, when given, gets every reading it took.
RippleCapture CaptureRipple(CoreSession& session, LineChart& chart, double seconds, Progress& progress,
                            std::vector<Reading>* samples, int64_t* startUs);

// Sweeps from 0 mA to the ceiling in the configured steps and sets the load
// back to 0 mA. The record holds the judged steps, the window's CSV and the
// chart as SVG.
SweepRecord RunSweepTest(CoreSession& session, LineChart& chart, Progress& progress);

// Why a test ended early in the user's words, or empty (CoreSession::EndText
// tells a stop and a capability change by their causes).
const char* RunEndText(RunEnd end);
