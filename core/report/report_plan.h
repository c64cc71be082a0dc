// Which runs a report makes of the source's capability list:
// - PD fixed, battery and variable entries: one run each, requesting the row;
// - PD programmable entries: three runs, at the minimum, the middle (rounded
//   down to 100 mV) and the maximum voltage;
// - Quick Charge: QC 2.0 at its lowest, a middle and its highest level of 5,
//   9, 12 and 20 V within the entry; QC 3.0 like a programmable entry in
//   200 mV steps; QC 1.0 (one voltage) once;
// - every other port (legacy, proprietary, Battery Charging, USB Type-C
//   current): one run as the port supplies it, with no request (it offers
//   one level only);
// - a row the tester refuses (PPS on a KT-40) is listed with the refusal and
//   not run.
// Equal voltages of one entry are run once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/link/pdo.h"

enum class PlanRequest : uint8_t {
  AsSupplied,    // nothing requested
  Row,           // the row is requested; the source picks the voltage
  RowAndVoltage, // the row, then a voltage on it
  Refused,       // the tester refuses the row: not run
};

struct PlannedRun {
  int row = 0;
  PdoEntry entry;
  PlanRequest request = PlanRequest::AsSupplied;
  uint16_t requestedMv = 0;  // the voltage asked for (RowAndVoltage) or the entry's (otherwise)
  std::wstring profileText;  // the row as the Voltage list shows it
  std::wstring refusal;      // Refused: why
};

std::vector<PlannedRun> PlanReport(const PdoList& list, int hardwareRevision);

// How close the source's reported voltage must come to a requested one: the
// entry's request step (20 mV PPS, 200 mV QC 3.0), and exact otherwise.
uint16_t VoltageToleranceMv(const PdoEntry& entry);
