// The five interpolation kernels: their tags, and the sampling of planned
// runs of output positions (kernels/axis_plan.hpp plans them).
//
// Tap indices and weights depend only on the position, never on the channel:
// a plan holds them once per position, and sampling only accumulates values,
// in the required order. Positions are sampled four at a time, one per
// vector lane; each lane performs exactly the operations, in exactly the
// order, of the scalar formula for its own position (no operation mixes
// lanes), so results are those of the scalar formula bit for bit. (Build
// with -ffp-contract=off: a fused multiply-add would change the last bit.)
// Channels are sampled in groups of up to four adjacent ones, each with its
// own accumulator.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/simd.hpp"
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

template <int G>
struct Channels {
  static constexpr int value = G;
};

// Calls f(k0, Channels<G>{}) over [0, C) in groups of at most four adjacent
// channels, in increasing order.
template <class F>
inline void for_channel_groups(int64_t C, F&& f) {
  int64_t k = 0;
  for (; C - k >= 4; k += 4) f(k, Channels<4>{});
  switch (C - k) {
    case 3:
      f(k, Channels<3>{});
      return;
    case 2:
      f(k, Channels<2>{});
      return;
    case 1:
      f(k, Channels<1>{});
      return;
    default:
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

// Recently used Lanczos weights of one axis, keyed by the exact sub-pixel
// phase.
//
// With base = trunc(p) and f = p - base (exact for |p| < 2^52), the exact
// value of p - tap is f - (tap - base), so the rounded double p - tap, and
// with it every weight, is a function of f alone: positions sharing a phase
// (shifts, resizes, constant rows) share their weights bit for bit.
// Direct-mapped; a miss costs one hash and a store.
template <class K>
struct WeightCache {
  static constexpr int kSlots = 16;
  static constexpr uint64_t kEmpty = ~uint64_t{0};  // a NaN pattern: never a key

  struct Entry {
    uint64_t key = kEmpty;
    double w[K::taps] = {};
  };
  Entry entries[kSlots];

  static int slot(uint64_t key) noexcept {
    return static_cast<int>((key * 0x9E3779B97F4A7C15ull) >> 60);
  }
};

// Output positions are planned in runs of up to kRun.
inline constexpr int kRun = 64;  // a multiple of simd::kLanes

// The taps of one axis for every position of a run: tap indices (already
// clamped into the axis), and the weights (weighted kernels) or the lerp
// fraction (linear). Lanes past the run's end hold valid indices too.
template <class K>
struct AxisPlan {
  static constexpr int kWeights = K::shape == TapShape::weighted ? K::taps : 1;
  int64_t idx[K::taps][kRun];
  double w[kWeights][kRun];
  double frac[kRun];
  double sumw[kRun];  // 1-D weighted runs: the weight sum of each position
};

namespace detail {

// Four positions' byte offsets of tap `t`.
template <class K>
[[gnu::always_inline]] inline void lane_offsets(const AxisPlan<K>& plan, int t, int m0,
                                                int64_t stride, int64_t* off) noexcept {
  for (int l = 0; l < simd::kLanes; ++l) off[l] = plan.idx[t][m0 + l] * stride;
}

template <class S>
[[gnu::always_inline]] inline simd::vd gather(const char* base, const int64_t* a,
                                              const int64_t* b, int64_t k) noexcept {
  return simd::vd{load_as_f64<S>(base + a[0] + b[0] + k), load_as_f64<S>(base + a[1] + b[1] + k),
                  load_as_f64<S>(base + a[2] + b[2] + k), load_as_f64<S>(base + a[3] + b[3] + k)};
}

// e[m0 + l][g] = lane l of v.
template <int G>
[[gnu::always_inline]] inline void put_lanes(double (*e)[4], int m0, int g, simd::vd v) noexcept {
  for (int l = 0; l < simd::kLanes; ++l) e[m0 + l][g] = v[l];
}

// sumw == 0 ? 0 : acc / sumw, lane by lane (a NaN sum still divides).
[[gnu::always_inline]] inline simd::vd normalise(simd::vd acc, simd::vd sumw) noexcept {
  return simd::select(sumw == simd::splat(0.0), simd::splat(0.0), acc / sumw);
}

}  // namespace detail

// Channels [0, G) (from `src`, the source's first element at channel k0) of
// the n positions of a planned 2-D run, into e[m][0 .. G).
template <class K, class S, int G>
inline void sample_run_2d(const char* src, int64_t stride0, int64_t stride1, const AxisPlan<K>& rows,
                          const AxisPlan<K>& cols, const double* sumw, int n,
                          double (*e)[4]) noexcept {
  using simd::vd;
  constexpr int L = simd::kLanes;
  for (int m0 = 0; m0 < n; m0 += L) {
    int64_t ro[K::taps][L], co[K::taps][L];
    for (int t = 0; t < K::taps; ++t) {
      detail::lane_offsets(rows, t, m0, stride0, ro[t]);
      detail::lane_offsets(cols, t, m0, stride1, co[t]);
    }
    if constexpr (K::shape == TapShape::nearest) {
      for (int l = 0; l < L; ++l) {
        const char* p = src + ro[0][l] + co[0][l];
        for (int g = 0; g < G; ++g) e[m0 + l][g] = load_as_f64<S>(p + element_offset<S>(g));
      }
    } else if constexpr (K::shape == TapShape::linear) {
      const vd fx = simd::load(cols.frac + m0);
      const vd fy = simd::load(rows.frac + m0);
      for (int g = 0; g < G; ++g) {
        const int64_t k = element_offset<S>(g);
        const vd tl = detail::gather<S>(src, ro[0], co[0], k);
        const vd tr = detail::gather<S>(src, ro[0], co[1], k);
        const vd bl = detail::gather<S>(src, ro[1], co[0], k);
        const vd br = detail::gather<S>(src, ro[1], co[1], k);
        const vd top = (tr - tl) * fx + tl;
        const vd bottom = (br - bl) * fx + bl;
        detail::put_lanes<G>(e, m0, g, (bottom - top) * fy + top);
      }
    } else {
      vd acc[G];
      for (int g = 0; g < G; ++g) acc[g] = simd::splat(0.0);
      for (int r = 0; r < K::taps; ++r) {
        const vd wy = simd::load(rows.w[r] + m0);
        for (int c = 0; c < K::taps; ++c) {
          const vd wx = simd::load(cols.w[c] + m0);
          for (int g = 0; g < G; ++g)
            acc[g] = (wx * detail::gather<S>(src, ro[r], co[c], element_offset<S>(g))) * wy + acc[g];
        }
      }
      const vd s = simd::load(sumw + m0);
      for (int g = 0; g < G; ++g) detail::put_lanes<G>(e, m0, g, detail::normalise(acc[g], s));
    }
  }
}

// The 1-D counterpart: channels [0, G) of the n positions of a planned run
// along the source's rows.
template <class K, int G>
inline void sample_run_1d(const char* src, int64_t stride0, const AxisPlan<K>& plan, int n,
                          double (*e)[4]) noexcept {
  using simd::vd;
  constexpr int L = simd::kLanes;
  const int64_t none[L] = {0, 0, 0, 0};
  for (int m0 = 0; m0 < n; m0 += L) {
    int64_t o[K::taps][L];
    for (int t = 0; t < K::taps; ++t) detail::lane_offsets(plan, t, m0, stride0, o[t]);
    if constexpr (K::shape == TapShape::nearest) {
      for (int l = 0; l < L; ++l) {
        for (int g = 0; g < G; ++g) e[m0 + l][g] = load_f64(src + o[0][l] + channel_offset(g));
      }
    } else if constexpr (K::shape == TapShape::linear) {
      const vd f = simd::load(plan.frac + m0);
      for (int g = 0; g < G; ++g) {
        const vd v0 = detail::gather<double>(src, o[0], none, channel_offset(g));
        const vd v1 = detail::gather<double>(src, o[1], none, channel_offset(g));
        detail::put_lanes<G>(e, m0, g, (v1 - v0) * f + v0);
      }
    } else {
      vd acc[G];
      for (int g = 0; g < G; ++g) acc[g] = simd::splat(0.0);
      for (int t = 0; t < K::taps; ++t) {
        const vd w = simd::load(plan.w[t] + m0);
        for (int g = 0; g < G; ++g)
          acc[g] = w * detail::gather<double>(src, o[t], none, channel_offset(g)) + acc[g];
      }
      const vd s = simd::load(plan.sumw + m0);
      for (int g = 0; g < G; ++g) detail::put_lanes<G>(e, m0, g, detail::normalise(acc[g], s));
    }
  }
}

}  // namespace tessaro::kernels
