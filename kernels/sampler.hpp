// The five interpolation kernels, for 2-D images and 1-D signals.
//
// Tap indices and weights depend only on the position, never on the channel,
// so each sampler splits into prepare() (once per output position: clamped
// byte offsets, weights and, for the weighted kernels, the weight sum in its
// required order) and sample(k) (once per channel: only the value
// accumulation, in the required order). Because every value is computed by
// the same operations in the same order as a per-channel evaluation would,
// results are bit-identical to it. (Build with -ffp-contract=off: a fused
// multiply-add would change the last bit of these formulas.)
//
// Positions are p = (double)(n - 1) * u. Whatever p is (NaN, infinite, huge),
// no read leaves the source: nearest, cubic and Lanczos use saturating index
// arithmetic plus the tap clamp; linear clamps the position into [0, n - 1]
// first, which changes nothing for an in-range position and keeps NaN (a NaN
// position gives a NaN result through its fraction).
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/strided.hpp"
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

// One sampled axis of a source: n samples, `stride` bytes apart.
struct AxisGeometry {
  int64_t n;
  int64_t stride;
  double scale;  // (double)(n - 1): unit coordinate -> pixel position

  AxisGeometry(int64_t n_, int64_t stride_) noexcept
      : n(n_), stride(stride_), scale(static_cast<double>(n_ - 1)) {}
};

// The taps of one axis at one position: clamped byte offsets plus weights
// (weighted kernels) or the lerp fraction (linear).
template <class K>
struct AxisTaps {
  int64_t off[K::taps] = {};
  double w[K::taps] = {};
  double frac = 0.0;

  void prepare(double u, const AxisGeometry& g) noexcept {
    const double p = g.scale * u;
    if constexpr (K::shape == TapShape::nearest) {
      off[0] = clamp_tap(trunc_to_i64(p + 0.5), g.n) * g.stride;
    } else if constexpr (K::shape == TapShape::linear) {
      double q = p;
      if (q < 0.0) {
        q = 0.0;
      } else if (q > g.scale) {
        q = g.scale;
      }
      // The clamp only matters for n beyond 2^53, where (double)(n-1) rounds up.
      const int64_t i0 = clamp_tap(trunc_to_i64(q), g.n);
      const int64_t i1 = i0 + 1 < g.n ? i0 + 1 : i0;
      frac = q - static_cast<double>(i0);
      off[0] = i0 * g.stride;
      off[1] = i1 * g.stride;
    } else {
      const int64_t base = trunc_to_i64(p);
      for (int t = 0; t < K::taps; ++t) {
        const int64_t tap = add_sat(base, K::first + t);
        w[t] = K::weight(p, tap);  // from the unclamped index
        off[t] = clamp_tap(tap, g.n) * g.stride;
      }
    }
  }
};

// Samples a (H, W, C) float64 source whose channels are contiguous.
template <class K>
class Sampler2D {
 public:
  Sampler2D(const char* src, int64_t stride0, int64_t stride1, int64_t H, int64_t W) noexcept
      : src_(src), rows_geom_(H, stride0), cols_geom_(W, stride1) {}

  // x is the column coordinate, y the row coordinate, both in unit space.
  void prepare(double x, double y) noexcept {
    cols_.prepare(x, cols_geom_);
    rows_.prepare(y, rows_geom_);
    if constexpr (K::shape == TapShape::weighted) {
      double sumw = 0.0;
      for (int r = 0; r < K::taps; ++r) {
        for (int c = 0; c < K::taps; ++c) sumw = cols_.w[c] * rows_.w[r] + sumw;
      }
      sumw_ = sumw;
    }
  }

  double sample(int64_t k) const noexcept {
    const char* base = src_ + channel_offset(k);
    if constexpr (K::shape == TapShape::nearest) {
      return load_f64(base + rows_.off[0] + cols_.off[0]);
    } else if constexpr (K::shape == TapShape::linear) {
      const char* top_row = base + rows_.off[0];
      const char* bottom_row = base + rows_.off[1];
      const double tl = load_f64(top_row + cols_.off[0]);
      const double tr = load_f64(top_row + cols_.off[1]);
      const double bl = load_f64(bottom_row + cols_.off[0]);
      const double br = load_f64(bottom_row + cols_.off[1]);
      const double fx = cols_.frac;
      const double top = (tr - tl) * fx + tl;
      const double bottom = (br - bl) * fx + bl;
      return (bottom - top) * rows_.frac + top;
    } else {
      double acc = 0.0;
      for (int r = 0; r < K::taps; ++r) {
        const char* row = base + rows_.off[r];
        const double wy = rows_.w[r];
        for (int c = 0; c < K::taps; ++c) {
          const double v = load_f64(row + cols_.off[c]);
          acc = (cols_.w[c] * v) * wy + acc;
        }
      }
      return sumw_ == 0.0 ? 0.0 : acc / sumw_;  // a NaN sum still divides
    }
  }

 private:
  const char* src_;
  AxisGeometry rows_geom_;
  AxisGeometry cols_geom_;
  AxisTaps<K> rows_;
  AxisTaps<K> cols_;
  double sumw_ = 0.0;
};

// Samples the columns of a (n, C) float64 signal whose channels are
// contiguous; channel c is the column view at byte offset c * 8.
template <class K>
class Sampler1D {
 public:
  Sampler1D(const char* src, int64_t stride0, int64_t n) noexcept : src_(src), geom_(n, stride0) {}

  void prepare(double u) noexcept {
    taps_.prepare(u, geom_);
    if constexpr (K::shape == TapShape::weighted) {
      double sumw = 0.0;
      for (int t = 0; t < K::taps; ++t) sumw = taps_.w[t] + sumw;
      sumw_ = sumw;
    }
  }

  double sample(int64_t c) const noexcept {
    const char* base = src_ + channel_offset(c);
    if constexpr (K::shape == TapShape::nearest) {
      return load_f64(base + taps_.off[0]);
    } else if constexpr (K::shape == TapShape::linear) {
      const double v0 = load_f64(base + taps_.off[0]);
      const double v1 = load_f64(base + taps_.off[1]);
      return (v1 - v0) * taps_.frac + v0;
    } else {
      double acc = 0.0;
      for (int t = 0; t < K::taps; ++t) acc = taps_.w[t] * load_f64(base + taps_.off[t]) + acc;
      return sumw_ == 0.0 ? 0.0 : acc / sumw_;
    }
  }

 private:
  const char* src_;
  AxisGeometry geom_;
  AxisTaps<K> taps_;
  double sumw_ = 0.0;
};

}  // namespace tessaro::kernels
