// Rules of the two-point calibration of a KT-60, apart from its dialog: the
// channel table, checking the typed points, averaging the tester's readings,
// the straight line through the points, and the texts the dialog shows.
//
// Each channel stores (refPoint1, testerPoint1, refPoint2, testerPoint2): the
// reference instrument's values and the tester's own. On the VBUS channel the
// power supply applies the points (reference) and the tester measures them; on
// the current channel the tester applies the load and a multimeter measures it.
#pragma once

#include <cstddef>
#include <cstdint>

struct CalibrationChannel {
  const wchar_t* listText;        // "VBUS" / "Current"
  uint8_t code;                   // channel code sent to the tester (= list row)
  int32_t defaultPoint1;          // mV or mA
  int32_t defaultPoint2;
  int32_t minSeparation;          // point 2 must be at least this above point 1
  const wchar_t* appliedHeader;   // column header of the applied edits
  const wchar_t* measuredHeader;  // column header of the measured edits
  bool readButtonsEnabled;        // the tester can measure this channel itself
};

constexpr int kCalibrationChannelCount = 2;
extern const CalibrationChannel kCalibrationChannels[kCalibrationChannelCount];

// The channel of a list row, or null for a row outside the table.
const CalibrationChannel* GetCalibrationChannel(int row);

// --- Typed values --------------------------------------------------------------

// True when `text` is an integer as the dialog accepts it: an optional leading
// "-" followed only by digits, and not empty. "-" alone counts (value 0). The
// value is held within the int32 range.
bool ParseCalibrationInteger(const wchar_t* text, int32_t* value);

enum class CalibrationCheck {
  Ok,
  Point1NotInteger,  // "\"To be applied value\" for point 1 is incorrect"
  Point1TooLow,      // "Invalid calibration point. Point 1 should be equal or greater than %d."
  Point2NotInteger,  // "\"To be applied value\" for point 2 is incorrect"
  Point2TooHigh,     // "Invalid calibration point. Point 2 should be equal or less than %d."
  TooClose,          // "Invalid calibration point. point 1 and point 2 should be at least %d apart."
};

struct CalibrationValidation {
  CalibrationCheck check = CalibrationCheck::Ok;
  int32_t limit = 0;  // the number the message names
  int32_t point1 = 0; // p1 (when its text was an integer)
  int32_t point2 = 0; // p2 (when its text was an integer)
};

// Lowest point 1: defaultPoint1 x 0.95 truncated (3800, 475); highest point 2:
// defaultPoint2 x 1.05 truncated (21000, 3150). Compared in double.
int32_t CalibrationPoint1Minimum(const CalibrationChannel& channel);
int32_t CalibrationPoint2Maximum(const CalibrationChannel& channel);

// Checks of the applied points in order; point1Only stops after the first two
// (Read point 1).
CalibrationValidation ValidateCalibrationPoints(const CalibrationChannel& channel, const wchar_t* point1Text,
                                                const wchar_t* point2Text, bool point1Only);

// The message of a failed check (empty and false for Ok).
bool FormatCalibrationMessage(const CalibrationValidation& result, wchar_t* out, size_t outChars);

constexpr const wchar_t* kCalibrationErrorCaption = L"PSU Test Error";
constexpr const wchar_t* kCalibrationQuestionCaption = L"PSU Test";

// The measured values before Calibrate: both must be integers within the 16-bit
// range the tester stores, and they must differ (equal readings make no line: on
// the VBUS channel the gain would divide by zero, on the tester as well).
enum class MeasuredCheck {
  Ok,
  Point1Missing,     // "Please carry out the measurement for point 1"
  Point2Missing,     // "Please carry out the measurement for point 2"
  Point1OutOfRange,  // "The measured value for point 1 is out of range."
  Point2OutOfRange,  // "The measured value for point 2 is out of range."
  PointsEqual,       // "The measured values of point 1 and point 2 must differ."
};
MeasuredCheck CheckMeasuredPoints(const wchar_t* measured1Text, const wchar_t* measured2Text, int32_t* m1,
                                  int32_t* m2);
// The message of a failed measured check; null for Ok.
const wchar_t* MeasuredCheckMessage(MeasuredCheck check);

// --- Reading the tester ----------------------------------------------------------

constexpr int kCalibrationSamples = 30;
constexpr int kCalibrationSampleIntervalMs = 100;

// VBUS channel: adds volts x 1000 to the running total in single precision and
// truncates the sum to a 64-bit integer.
int64_t AddVbusSample(int64_t totalMv, float vbusVolts);
// Current channel: integer sum.
int64_t AddCurrentSample(int64_t totalMa, uint16_t measuredCurrentMa);
// The reading: total / samples (integer division); 0 for no samples.
int32_t AverageReading(int64_t total, int samples);

// True when the point-2 reading is more than 20 % off the applied point 2:
// |reading - p2| x 100 / p2 (integer division) > 20. A point 2 of 0 or below
// (never valid) always warns.
bool ReadingDeviates(int32_t reading, int32_t point2);
constexpr const wchar_t* kReadingDeviatesText = L"The measured value is not close to the applied value.";

// --- The line -----------------------------------------------------------------

struct CalibrationPoints {
  int16_t refPoint1 = 0;
  int16_t testerPoint1 = 0;
  int16_t refPoint2 = 0;
  int16_t testerPoint2 = 0;
};

// The record to store from the applied points p1, p2 and the measured m1, m2:
// VBUS (p1, m1, p2, m2); current (m1, p1, m2, p2).
CalibrationPoints MakeCalibrationPoints(int channelCode, int32_t p1, int32_t p2, int32_t m1, int32_t m2);

// gain = (refPoint1 - refPoint2) / (testerPoint1 - testerPoint2) and
// offset = refPoint1 - testerPoint1 x gain, in single precision. False (and
// nothing written) when the tester points are equal.
bool CalibrationLine(const CalibrationPoints& points, float* gain, float* offset);

// Texts of the dialog: "%04d/%02d" of year and month, "%f" of a gain or
// offset, and "N/A" when the channel holds no calibration.
constexpr const wchar_t* kCalibrationNotAvailable = L"N/A";
void FormatCalibrationDate(int year, int month, wchar_t* out, size_t outChars);
void FormatCalibrationValue(float value, wchar_t* out, size_t outChars);
