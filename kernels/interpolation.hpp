// The five interpolation kernels: their codes, their tags and the weights
// of the weighted ones.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/taps.hpp"

namespace tessaro::kernels {

// Interpolation codes; every other value means linear.
namespace interp {
inline constexpr int32_t NEAREST = 0;
inline constexpr int32_t BILINEAR = 1;
inline constexpr int32_t CUBIC = 2;
inline constexpr int32_t LANCZOS3 = 3;
inline constexpr int32_t LANCZOS4 = 4;
}  // namespace interp

// How an axis combines its taps: a single read, a lerp, or a normalised
// weighted sum.
enum class TapShape { nearest, linear, weighted };

struct Nearest {
  static constexpr TapShape shape = TapShape::nearest;
  static constexpr int taps = 1;
};

struct Linear {
  static constexpr TapShape shape = TapShape::linear;
  static constexpr int taps = 2;
};

struct CatmullRom {
  static constexpr TapShape shape = TapShape::weighted;
  static constexpr int taps = 4;
  static constexpr int64_t first = -1;  // taps floor-1 .. floor+2
  static double weight(double p, int64_t tap) noexcept {
    return catmull_rom_weight(std::fabs(p - static_cast<double>(tap)));
  }
};

template <int A>
struct Lanczos {
  static constexpr TapShape shape = TapShape::weighted;
  static constexpr int taps = 2 * A;
  static constexpr int64_t first = -(A - 1);  // taps floor-(A-1) .. floor+A
  static double weight(double p, int64_t tap) noexcept {
    return lanczos_weight<A>(p - static_cast<double>(tap));
  }
};

// Calls f with the kernel tag for an interpolation code, so that the caller's
// loop is instantiated per kernel and the code is tested once per call.
template <class F>
inline void with_kernel(int32_t interpolation, F&& f) {
  switch (interpolation) {
    case interp::NEAREST:
      f(Nearest{});
      return;
    case interp::CUBIC:
      f(CatmullRom{});
      return;
    case interp::LANCZOS3:
      f(Lanczos<3>{});
      return;
    case interp::LANCZOS4:
      f(Lanczos<4>{});
      return;
    default:
      f(Linear{});
      return;
  }
}

// Taps per axis of the kernel an interpolation code selects (the drivers'
// measure of work per output element).
inline int64_t taps_per_axis(int32_t interpolation) noexcept {
  int64_t taps = 0;
  with_kernel(interpolation, [&](auto kernel) { taps = decltype(kernel)::taps; });
  return taps;
}

}  // namespace tessaro::kernels
