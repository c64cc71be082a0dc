#include "core/link/measured_values.h"

#include <cmath>

namespace {

// n / unit to the nearest whole, halves away from zero.
int64_t DivideRounded(int64_t n, int64_t unit) { return n >= 0 ? (n + unit / 2) / unit : -((-n + unit / 2) / unit); }

}  // namespace

double VoltsFromMv(int64_t mv) { return static_cast<double>(mv) / 1000.0; }

int64_t MvOf(float volts) {
  if (!std::isfinite(volts)) return 0;
  return static_cast<int64_t>(std::llround(static_cast<double>(volts) * 1000.0));
}

double VoltsAtMv(float volts) { return VoltsFromMv(MvOf(volts)); }

int64_t MilliwattsOf(int64_t mv, int64_t ma) { return DivideRounded(mv * ma, 1000); }

double WattsOf(int64_t mv, int64_t ma) { return static_cast<double>(MilliwattsOf(mv, ma)) / 1000.0; }

double SecondsFromUs(int64_t us) { return static_cast<double>(DivideRounded(us, 1000)) / 1000.0; }

double Rounded(double value, int decimals) {
  if (!std::isfinite(value)) return value;
  double scale = 1.0;
  for (int i = 0; i < decimals; ++i) scale *= 10.0;  // exact up to 10^22
  const double scaled = value * scale;
  // Beyond 2^53 every double is whole: nothing to round.
  if (std::fabs(scaled) >= 9007199254740992.0) return value;
  return std::round(scaled) / scale;
}
