#include "core/link/calibration_math.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

#include "core/config/whole_number.h"

const CalibrationChannel kCalibrationChannels[kCalibrationChannelCount] = {
    {L"VBUS", 0, 4000, 20000, 10000, L"Power Supply", L"KT-60", true},
    {L"Current", 1, 500, 3000, 2000, L"KT-60", L"Multimeter", false},
};

const CalibrationChannel* GetCalibrationChannel(int row) {
  return row >= 0 && row < kCalibrationChannelCount ? &kCalibrationChannels[row] : nullptr;
}

bool ParseCalibrationInteger(const wchar_t* text, int32_t* value) {
  if (!text || !*text || *text == L'+' || *text == L' ' || (*text >= L'\t' && *text <= L'\r')) return false;
  const std::wstring_view whole(text);
  const WholeNumber n = ReadWholeNumber(whole);
  // "-" alone is accepted as 0.
  if (n.found ? n.rest != whole.size() : whole != L"-") return false;
  if (value) *value = static_cast<int32_t>(std::clamp<int64_t>(n.value, INT32_MIN, INT32_MAX));
  return true;
}

int32_t CalibrationPoint1Minimum(const CalibrationChannel& channel) {
  return static_cast<int32_t>(channel.defaultPoint1 * 0.95);
}

int32_t CalibrationPoint2Maximum(const CalibrationChannel& channel) {
  return static_cast<int32_t>(channel.defaultPoint2 * 1.05);
}

CalibrationValidation ValidateCalibrationPoints(const CalibrationChannel& channel, const wchar_t* point1Text,
                                                const wchar_t* point2Text, bool point1Only) {
  CalibrationValidation r;
  if (!ParseCalibrationInteger(point1Text, &r.point1)) {
    r.check = CalibrationCheck::Point1NotInteger;
    return r;
  }
  if (static_cast<double>(r.point1) < channel.defaultPoint1 * 0.95) {
    r.check = CalibrationCheck::Point1TooLow;
    r.limit = CalibrationPoint1Minimum(channel);
    return r;
  }
  if (point1Only) return r;
  if (!ParseCalibrationInteger(point2Text, &r.point2)) {
    r.check = CalibrationCheck::Point2NotInteger;
    return r;
  }
  if (static_cast<double>(r.point2) > channel.defaultPoint2 * 1.05) {
    r.check = CalibrationCheck::Point2TooHigh;
    r.limit = CalibrationPoint2Maximum(channel);
    return r;
  }
  if (static_cast<int64_t>(r.point2) < static_cast<int64_t>(r.point1) + channel.minSeparation) {
    r.check = CalibrationCheck::TooClose;
    r.limit = channel.minSeparation;
  }
  return r;
}

bool FormatCalibrationMessage(const CalibrationValidation& result, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return result.check != CalibrationCheck::Ok;
  out[0] = 0;
  switch (result.check) {
    case CalibrationCheck::Ok:
      return false;
    case CalibrationCheck::Point1NotInteger:
      std::swprintf(out, outChars, L"\"To be applied value\" for point 1 is incorrect");
      break;
    case CalibrationCheck::Point1TooLow:
      std::swprintf(out, outChars, L"Invalid calibration point. Point 1 should be equal or greater than %d.",
                    result.limit);
      break;
    case CalibrationCheck::Point2NotInteger:
      std::swprintf(out, outChars, L"\"To be applied value\" for point 2 is incorrect");
      break;
    case CalibrationCheck::Point2TooHigh:
      std::swprintf(out, outChars, L"Invalid calibration point. Point 2 should be equal or less than %d.",
                    result.limit);
      break;
    case CalibrationCheck::TooClose:
      std::swprintf(out, outChars, L"Invalid calibration point. point 1 and point 2 should be at least %d apart.",
                    result.limit);
      break;
  }
  out[outChars - 1] = 0;
  return true;
}

MeasuredCheck CheckMeasuredPoints(const wchar_t* measured1Text, const wchar_t* measured2Text, int32_t* m1,
                                  int32_t* m2) {
  int32_t v1 = 0;
  int32_t v2 = 0;
  if (!ParseCalibrationInteger(measured1Text, &v1)) return MeasuredCheck::Point1Missing;
  if (!ParseCalibrationInteger(measured2Text, &v2)) return MeasuredCheck::Point2Missing;
  if (v1 < INT16_MIN || v1 > INT16_MAX) return MeasuredCheck::Point1OutOfRange;
  if (v2 < INT16_MIN || v2 > INT16_MAX) return MeasuredCheck::Point2OutOfRange;
  if (v1 == v2) return MeasuredCheck::PointsEqual;
  if (m1) *m1 = v1;
  if (m2) *m2 = v2;
  return MeasuredCheck::Ok;
}

const wchar_t* MeasuredCheckMessage(MeasuredCheck check) {
  switch (check) {
    case MeasuredCheck::Ok:
      return nullptr;
    case MeasuredCheck::Point1Missing:
      return L"Please carry out the measurement for point 1";
    case MeasuredCheck::Point2Missing:
      return L"Please carry out the measurement for point 2";
    case MeasuredCheck::Point1OutOfRange:
      return L"The measured value for point 1 is out of range.";
    case MeasuredCheck::Point2OutOfRange:
      return L"The measured value for point 2 is out of range.";
    case MeasuredCheck::PointsEqual:
      return L"The measured values of point 1 and point 2 must differ.";
  }
  return nullptr;
}

int64_t AddVbusSample(int64_t totalMv, float vbusVolts) {
  const float sum = static_cast<float>(totalMv) + vbusVolts * 1000.0f;
  return static_cast<int64_t>(sum);
}

int64_t AddCurrentSample(int64_t totalMa, uint16_t measuredCurrentMa) { return totalMa + measuredCurrentMa; }

int32_t AverageReading(int64_t total, int samples) {
  if (samples <= 0) return 0;
  return static_cast<int32_t>(total / samples);
}

bool ReadingDeviates(int32_t reading, int32_t point2) {
  if (point2 <= 0) return true;
  int64_t diff = static_cast<int64_t>(reading) - point2;
  if (diff < 0) diff = -diff;
  return diff * 100 / point2 > 20;
}

CalibrationPoints MakeCalibrationPoints(int channelCode, int32_t p1, int32_t p2, int32_t m1, int32_t m2) {
  CalibrationPoints r;
  if (channelCode == 0) {
    r.refPoint1 = static_cast<int16_t>(p1);
    r.testerPoint1 = static_cast<int16_t>(m1);
    r.refPoint2 = static_cast<int16_t>(p2);
    r.testerPoint2 = static_cast<int16_t>(m2);
  } else {
    r.refPoint1 = static_cast<int16_t>(m1);
    r.testerPoint1 = static_cast<int16_t>(p1);
    r.refPoint2 = static_cast<int16_t>(m2);
    r.testerPoint2 = static_cast<int16_t>(p2);
  }
  return r;
}

bool CalibrationLine(const CalibrationPoints& points, float* gain, float* offset) {
  const int32_t testerSpan = static_cast<int32_t>(points.testerPoint1) - points.testerPoint2;
  if (testerSpan == 0) return false;
  const int32_t refSpan = static_cast<int32_t>(points.refPoint1) - points.refPoint2;
  const float g = static_cast<float>(refSpan) / static_cast<float>(testerSpan);
  const float o = static_cast<float>(points.refPoint1) - static_cast<float>(points.testerPoint1) * g;
  if (gain) *gain = g;
  if (offset) *offset = o;
  return true;
}

void FormatCalibrationDate(int year, int month, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  std::swprintf(out, outChars, L"%04d/%02d", year, month);
  out[outChars - 1] = 0;
}

void FormatCalibrationValue(float value, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  std::swprintf(out, outChars, L"%f", static_cast<double>(value));
  out[outChars - 1] = 0;
}
