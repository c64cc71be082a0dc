// The sweep's measurements as comma-separated text.
//
// File format (one byte per character, every line ending CR LF):
//   Voltage (V), Current (mA), Power (W)
//   <volts %.2f>,<current mA %d>,<power W %.2f>      one line per measured step
// Rows run from step 0 up while the step index is at most maxLoadCurrentMa /
// currentStepMa, and stop at the first step that was not measured: a run that
// ended early holds only its measured steps.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/log_file.h"

constexpr const char* kSweepCsvHeader = "Voltage (V), Current (mA), Power (W)";

// Builds the whole file: the header and the rows of `sweepVolts` (tableSize
// entries; rows never read past it). Power = i x V x currentStepMa / 1000 in
// single precision. A step of 0 gives the header alone.
std::string BuildSweepCsv(const float* sweepVolts, int tableSize, uint16_t currentStepMa, uint16_t maxLoadCurrentMa);
