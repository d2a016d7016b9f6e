// Tap indices and interpolation weights along one axis.
//
// Index arithmetic saturates so that any position, NaN and infinities
// included, yields an int64 index that the tap clamp then keeps inside the
// source. For every position the samplers can meet in range, the saturating
// forms equal plain truncation and addition.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tessaro::kernels {

inline constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
inline constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

// Truncation toward zero to int64. NaN gives 0; values beyond the int64
// range give the nearest end (a plain cast would be undefined there).
inline int64_t trunc_to_i64(double p) noexcept {
  constexpr double kTwo63 = 9223372036854775808.0;  // 2^63, exact
  if (p < kTwo63 && p >= -kTwo63) return static_cast<int64_t>(p);
  if (p >= kTwo63) return kInt64Max;
  if (p < -kTwo63) return kInt64Min;
  return 0;  // NaN
}

// a + b, saturated at the int64 ends: tap offsets never overflow.
inline int64_t add_sat(int64_t a, int64_t b) noexcept {
  if (b > 0 && a > kInt64Max - b) return kInt64Max;
  if (b < 0 && a < kInt64Min - b) return kInt64Min;
  return a + b;
}

// Edge replication: which element a tap reads. Weights never use this value.
inline int64_t clamp_tap(int64_t i, int64_t n) noexcept {
  if (i < 0) return 0;
  if (i >= n) return n - 1;
  return i;
}

// Catmull-Rom (cubic convolution, a = -0.5) weight of distance d >= 0.
// NaN fails both comparisons and weighs 0.
inline double catmull_rom_weight(double d) noexcept {
  if (d < 1.0) return ((d * d) * d) * 1.5 - (d * d) * 2.5 + 1.0;
  if (d < 2.0) return (((d * d) * d) * (-0.5) + (d * d) * 2.5) - d * 4.0 + 2.0;
  return 0.0;
}

// Lanczos weight of the signed offset t, half-width A; strict window, so
// |t| = A weighs 0. The argument t * pi is formed first.
template <int A>
inline double lanczos_weight(double t) noexcept {
  constexpr double kPi = 3.141592653589793;
  constexpr double a = static_cast<double>(A);
  if (std::fabs(t) < 1e-15) return 1.0;
  if (std::fabs(t) < a) {
    const double x = t * kPi;
    return (std::sin(x / a) * (std::sin(x) * a)) / (x * x);
  }
  return 0.0;
}

}  // namespace tessaro::kernels
