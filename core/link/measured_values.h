// Values at the resolution the tester measures them, for every output of the
// command line and its reports (JSON, CSV, tables). The tester reports whole
// millivolts and milliamps: volts carry three decimals, currents stay whole
// milliamps, and power (mV x mA) is rounded to the milliwatt.
//
// Each value is made from a whole count of its unit and divided once in double
// precision, never passed through float, so that JSON's shortest form of it
// is the decimal itself (4.835, not 4.835000038146973) and printf with the
// same number of decimals prints the same digits.
#pragma once

#include <cstdint>

// 4835 mV -> 4.835 V.
double VoltsFromMv(int64_t mv);
// Volts held in single precision (a reading's Volts(), a computed window
// bound) at the nearest millivolt: 4.835f -> 4835.
int64_t MvOf(float volts);
// The same in volts: 4.835f -> 4.835.
double VoltsAtMv(float volts);
// mV x mA to the nearest milliwatt (halves away from zero): 4835 x 1500 -> 7253.
int64_t MilliwattsOf(int64_t mv, int64_t ma);
// The same in watts: 4835 mV x 1500 mA -> 7.253 W.
double WattsOf(int64_t mv, int64_t ma);
// Microseconds to the nearest millisecond, in seconds: 1234567 -> 1.235.
double SecondsFromUs(int64_t us);
// A value computed in floating point (capacity, a rate) at `decimals`
// decimals, halves away from zero; NaN and infinities stay as they are.
double Rounded(double value, int decimals);
