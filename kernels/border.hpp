// Border modes: how a unit coordinate outside [0, 1] is brought back.
//
// Border handling acts on the continuous unit coordinate (0 = first sample,
// 1 = last sample), never on individual interpolation taps.
#pragma once

#include <cmath>
#include <cstdint>

namespace tessaro::kernels {

// Border mode codes, as carried by the border configuration's mode value.
// Any other value leaves coordinates unchanged.
namespace border {
inline constexpr int32_t CLAMP = 0;
inline constexpr int32_t CONSTANT = 1;
inline constexpr int32_t REFLECT = 2;
inline constexpr int32_t WRAP = 3;
inline constexpr int32_t REFLECT_101 = 4;
inline constexpr int32_t ARRAY = 5;
}  // namespace border

// Modes whose output is replaced by, or blended with, a border value.
inline bool is_border_value_mode(int32_t mode) noexcept {
  return mode == border::CONSTANT || mode == border::ARRAY;
}

// The modes that fold coordinates into [0, 1]; fmod turns an infinite one
// into NaN.
inline bool folds(int32_t mode) noexcept {
  return mode == border::REFLECT || mode == border::WRAP || mode == border::REFLECT_101;
}

// Triangle wave of period 2 mirroring at 0 and 1 (edge sample not repeated).
inline double reflect_unit(double x) noexcept {
  double a = std::fmod(x, 2.0);
  if (0 > a) a = a + 2.0;
  return 1.0 - std::fabs(a - 1.0);
}

// Period 1: u = 1 coincides with u = 0.
inline double wrap_unit(double x) noexcept {
  double a = std::fmod(x, 1.0);
  if (0 > a) a = a + 1.0;
  return a;
}

// Same mirror as reflect_unit through another formula; the two may differ
// in the last bit (0.3 stays 0.3 here, reflect_unit gives 0.30000000000000004).
inline double reflect101_unit(double x) noexcept {
  double a = std::fmod(x, 2.0);
  if (0 > a) a = a + 2.0;
  return a <= 1.0 ? a : 2.0 - a;
}

// Ordered comparisons on purpose: NaN and -0.0 pass unchanged.
inline double clamp_unit(double x) noexcept {
  if (x < 0) return 0.0;
  if (x > 1) return 1.0;
  return x;
}

// Resolution of one coordinate by mode. CONSTANT and ARRAY clamp here; their
// feather distance must be taken from the raw coordinate before this call.
inline double resolve_unit(int32_t mode, double x) noexcept {
  switch (mode) {
    case border::CLAMP:
    case border::CONSTANT:
    case border::ARRAY:
      return clamp_unit(x);
    case border::REFLECT:
      return reflect_unit(x);
    case border::WRAP:
      return wrap_unit(x);
    case border::REFLECT_101:
      return reflect101_unit(x);
    default:
      return x;
  }
}

}  // namespace tessaro::kernels
