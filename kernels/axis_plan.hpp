// Tap planning for a run of positions along one axis.
//
// For each position u (a resolved unit coordinate) the position
// p = (double)(n - 1) * u, the clamped tap indices and the weights or lerp
// fraction, four positions per vector. Each lane goes through the scalar
// formulas of taps.hpp in their order; the integer steps are rewritten so
// that they vectorise, with the same results:
//   - nearest: clamp_tap(trunc(p + 0.5)) is trunc of (p + 0.5) clamped into
//     [0, n - 1] in double (NaN reads the first sample at hand);
//   - linear: the position is clamped into [0, n - 1] first, as always;
//   - cubic and Lanczos: for |p| < 2^31, trunc(p) and tap = trunc(p) + k
//     are exact in double, and a tap is clamped in double before it becomes
//     an integer; larger positions (and NaN) are redone one at a time with
//     the saturating int64 forms.
// Taps are clamped into the samples at hand (AxisGeometry's [lo, hi]: the
// whole axis, or a window holding every tap the whole axis would give).
// The plan keeps byte offsets from the first sample at hand. They are formed
// in int32 lanes when every offset fits, else in int64 lanes with the index
// clamped once more to hi (which only matters when (double)(n - 1) rounds
// up, for axes beyond 2^53 samples).
#pragma once

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/interpolation.hpp"
#include "kernels/lanczos_weights.hpp"
#include "kernels/simd.hpp"
#include "kernels/taps.hpp"

namespace tessaro::kernels {

// One sampled axis of a source. Positions come from its full extent n;
// the samples at hand are indices [lo, hi] (the whole axis, or a window of
// it), every tap read is clamped into them, and a tap's byte offset is
// (index - lo) * stride. Callers make sure that a window holds every tap
// the whole axis would give a position: clamping then changes nothing but
// the taps of NaN positions, whose results are replaced anyway.
struct AxisGeometry {
  int64_t n;
  int64_t stride;
  double scale;  // (double)(n - 1): unit coordinate -> pixel position
  int64_t lo;
  int64_t hi;

  AxisGeometry(int64_t n_, int64_t stride_) noexcept : AxisGeometry(n_, stride_, 0, n_ - 1) {}
  AxisGeometry(int64_t n_, int64_t stride_, int64_t lo_, int64_t hi_) noexcept
      : n(n_), stride(stride_), scale(static_cast<double>(n_ - 1)), lo(lo_), hi(hi_) {}
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

// The taps of one axis for every position of a run: the byte offsets of
// the tap indices (already clamped into the axis), and the weights
// (weighted kernels) or the lerp fraction (linear). Lanes past the run's
// end hold valid offsets too.
template <class K>
struct AxisPlan {
  static constexpr int kWeights = K::shape == TapShape::weighted ? K::taps : 1;
  int64_t off[K::taps][kRun];
  double w[kWeights][kRun];
  double frac[kRun];
  double sumw[kRun];  // 1-D weighted runs: the weight sum of each position
  // Weighted runs: some position was NaN or at least 2^31 in magnitude, and
  // was weighed one at a time (the others' tap distances are exact).
  bool far = false;
};

namespace detail {

// catmull_rom_weight on four distances: both polynomials are evaluated and
// one selected per lane, which gives each lane the scalar function's value.
[[gnu::always_inline]] inline simd::vd catmull_rom_near(simd::vd d) noexcept {
  using simd::splat;
  return ((d * d) * d) * splat(1.5) - (d * d) * splat(2.5) + splat(1.0);
}
[[gnu::always_inline]] inline simd::vd catmull_rom_far(simd::vd d) noexcept {
  using simd::splat;
  return (((d * d) * d) * splat(-0.5) + (d * d) * splat(2.5)) - d * splat(4.0) + splat(2.0);
}
[[gnu::always_inline]] inline simd::vd catmull_rom_weights(simd::vd d) noexcept {
  using simd::splat;
  return simd::select(d < splat(1.0), catmull_rom_near(d),
                      simd::select(d < splat(2.0), catmull_rom_far(d), splat(0.0)));
}

// Index arithmetic of an axis. When every byte offset of the axis fits
// int32 (kSmall), indices and offsets are int32 lanes: one instruction each
// to convert, compare and multiply. Otherwise int64 lanes, with the index
// clamped once more to n - 1.
template <bool kSmall>
struct IndexMath {
  using vx = std::conditional_t<kSmall, simd::vi, simd::vl>;
  vx first;
  vx last;
  vx stride;

  explicit IndexMath(const AxisGeometry& g) noexcept {
    using T = std::conditional_t<kSmall, int32_t, int64_t>;
    const T f = static_cast<T>(g.lo), l = static_cast<T>(g.hi), s = static_cast<T>(g.stride);
    first = vx{f, f, f, f};
    last = vx{l, l, l, l};
    stride = vx{s, s, s, s};
  }
  // Four values clamped into [lo, hi], as doubles, to indices.
  [[gnu::always_inline]] vx index(simd::vd clamped) const noexcept {
    if constexpr (kSmall) {
      return simd::trunc_i32(clamped);
    } else {
      const simd::vl i = simd::trunc_i64(clamped);
      return i < last ? i : last;
    }
  }
  [[gnu::always_inline]] simd::vd value(vx i) const noexcept {
    return __builtin_convertvector(i, simd::vd);
  }
  [[gnu::always_inline]] vx next(vx i) const noexcept { return i < last ? i + 1 : i; }
  [[gnu::always_inline]] void store_offsets(int64_t* p, vx i) const noexcept {
    simd::store(p, __builtin_convertvector((i - first) * stride, simd::vl));
  }
};

// The Lanczos weights of a run's positions, as one job that the planning of
// every axis shares: run out of line in the copy's instruction set, so that
// a copy holds the weighing once rather than once per axis and plan variant
// (which made the copies several times larger and slower to compile).
template <int A>
struct LanczosWeightsJob {
  const double* p;
  const double* base;
  const int* at;
  int count;
  double (*w)[kRun];

  template <class Isa>
  void operator()() const noexcept {
    lanczos_weights_at<A, kRun>(p, base, at, count, w);
  }
};

template <class K, bool kSmall, bool kClamp, class Isa>
inline void plan_axis_impl(const double* u, int n, const AxisGeometry& g, AxisPlan<K>& plan,
                           WeightCache<K>* cache) noexcept {
  using simd::select;
  using simd::splat;
  using simd::vd;
  constexpr int L = simd::kLanes;
  const vd scale = splat(g.scale);
  const vd zero = splat(0.0), one = splat(1.0);
  const vd lo = splat(static_cast<double>(g.lo)), hi = splat(static_cast<double>(g.hi));
  const IndexMath<kSmall> im(g);
  // The position of four coordinates (clamped into [0, 1] first when kClamp,
  // as clamp_unit: ordered comparisons, NaN passes).
  const auto position = [&](int i) {
    vd v = simd::load(u + i);
    if constexpr (kClamp) v = select(v < zero, zero, select(v > one, one, v));
    return scale * v;
  };

  if constexpr (K::shape == TapShape::nearest) {
    for (int i = 0; i < n; i += L) {
      const vd q = position(i) + splat(0.5);
      const vd c = select(q >= lo, select(q < hi, q, hi), lo);
      im.store_offsets(plan.off[0] + i, im.index(c));
    }
  } else if constexpr (K::shape == TapShape::linear) {
    for (int i = 0; i < n; i += L) {
      const vd pv = position(i);
      const vd q = select(pv < zero, zero, select(pv > scale, scale, pv));  // NaN stays
      const auto i0 = im.index(select(q >= lo, select(q < hi, q, hi), lo));  // NaN reads lo
      simd::store(plan.frac + i, q - im.value(i0));
      im.store_offsets(plan.off[0] + i, i0);
      im.store_offsets(plan.off[1] + i, im.next(i0));
    }
  } else {
    double p[kRun];
    for (int i = 0; i < n; i += L) simd::store(p + i, position(i));
    const vd two31 = splat(2147483648.0);
    double base[kRun];
    // Lanes with |p| >= 2^31 or NaN (slow) are redone below one at a time;
    // when every position is >= 0 (nonneg) the Catmull-Rom taps each fall
    // in a known piece of the kernel.
    simd::vl slow = simd::splat_i64(0), negative = simd::splat_i64(0);
    for (int i = 0; i < n; i += L) {
      const vd pv = simd::load(p + i);
      const simd::vl fast = simd::abs(pv) < two31;
      slow |= ~fast;
      negative |= ~(pv >= zero);
      simd::store(base + i, simd::trunc_small(select(fast, pv, zero)));
    }
    const bool any_slow = slow[0] | slow[1] | slow[2] | slow[3];
    plan.far = any_slow;
    const bool nonneg = !(negative[0] | negative[1] | negative[2] | negative[3]);
    for (int t = 0; t < K::taps; ++t) {
      const vd off = splat(static_cast<double>(K::first + t));
      for (int i = 0; i < n; i += L) {
        const vd tap = simd::load(base + i) + off;  // exact: |base| < 2^31
        im.store_offsets(plan.off[t] + i,
                         im.index(select(tap < lo, lo, select(tap > hi, hi, tap))));
        if constexpr (K::taps == 4) {  // Catmull-Rom: a few multiplies per weight
          const vd d = simd::abs(simd::load(p + i) - tap);
          if (nonneg) {
            // With 0 <= p - base < 1 the distances of taps -1 .. 2 lie in
            // [1, 2], [0, 1), (0, 1] and (1, 2]: the piece the general rule
            // picks, or at d = 1 and d = 2 a piece that is +0 there as well.
            simd::store(plan.w[t] + i, t == 1 || t == 2 ? detail::catmull_rom_near(d)
                                                        : detail::catmull_rom_far(d));
          } else {
            simd::store(plan.w[t] + i, detail::catmull_rom_weights(d));
          }
        }
      }
    }
    if constexpr (K::taps != 4) {  // Lanczos: two sines per weight, so reuse weights by phase
      // The cache is consulted and filled in run order, as if each phase
      // were weighed when first met; the misses are then weighed four
      // positions at a time, and positions that met a phase claimed
      // earlier in the run copy its weights afterwards.
      using Cache = WeightCache<K>;
      int claimed[Cache::kSlots];  // position that filled a slot in this run
      for (int s = 0; s < Cache::kSlots; ++s) claimed[s] = -1;
      int missed[kRun] = {};  // read by the weighing job up to n_missed only
      int copy_to[kRun], copy_from[kRun];
      int n_missed = 0, n_copies = 0;
      for (int i = 0; i < n; ++i) {
        if (!(std::fabs(p[i]) < 2147483648.0)) continue;
        const uint64_t key = std::bit_cast<uint64_t>(p[i] - base[i]);
        const int s = Cache::slot(key);
        auto& e = cache->entries[s];
        if (e.key != key) {
          e.key = key;
          claimed[s] = i;
          missed[n_missed++] = i;
        } else if (claimed[s] >= 0) {
          copy_to[n_copies] = i;
          copy_from[n_copies++] = claimed[s];
        } else {
          for (int t = 0; t < K::taps; ++t) plan.w[t][i] = e.w[t];
        }
      }
      LanczosWeightsJob<K::taps / 2> job{p, base, missed, n_missed, plan.w};
      simd::run_apart<Isa>(job);
      for (int c = 0; c < n_copies; ++c)
        for (int t = 0; t < K::taps; ++t) plan.w[t][copy_to[c]] = plan.w[t][copy_from[c]];
      for (int s = 0; s < Cache::kSlots; ++s)
        if (claimed[s] >= 0)
          for (int t = 0; t < K::taps; ++t) cache->entries[s].w[t] = plan.w[t][claimed[s]];
      for (int i = n; i % L != 0; ++i) {  // lanes past the run
        for (int t = 0; t < K::taps; ++t) plan.w[t][i] = 0.0;
      }
    }
    for (int i = 0; i < n && any_slow; ++i) {
      if (std::fabs(p[i]) < 2147483648.0) continue;
      const int64_t b = trunc_to_i64(p[i]);
      for (int t = 0; t < K::taps; ++t) {
        const int64_t tap = add_sat(b, K::first + t);
        plan.off[t][i] = (std::clamp(tap, g.lo, g.hi) - g.lo) * g.stride;
        plan.w[t][i] = K::weight(p[i], tap);  // from the unclamped index
      }
    }
  }
}

// plan_axis_impl as a job for simd::run_apart.
template <class K, bool kClamp>
struct PlanAxisJob {
  const double* u;
  int n;
  const AxisGeometry* g;
  AxisPlan<K>* plan;
  WeightCache<K>* cache;
  bool small;

  template <class Isa>
  void operator()() const noexcept {
    if (small)
      plan_axis_impl<K, true, kClamp, Isa>(u, n, *g, *plan, cache);
    else
      plan_axis_impl<K, false, kClamp, Isa>(u, n, *g, *plan, cache);
  }
};

}  // namespace detail

// Plans positions u[0 .. n) of axis g; u must hold a multiple of
// simd::kLanes initialised values covering n (lanes past n are planned and
// ignored). With kClamp the coordinates are clamped into [0, 1] here (the
// resolution of CLAMP, CONSTANT and ARRAY); otherwise they are taken as
// resolved. `cache` keeps Lanczos weights by phase.
template <class K, bool kClamp, class Isa>
inline void plan_axis(const double* u, int n, const AxisGeometry& g, AxisPlan<K>& plan,
                      WeightCache<K>* cache) noexcept {
  const uint64_t magnitude =
      g.stride < 0 ? uint64_t{0} - static_cast<uint64_t>(g.stride) : static_cast<uint64_t>(g.stride);
  uint64_t span;  // bytes between the first and the last sample at hand
  const bool overflow = __builtin_mul_overflow(static_cast<uint64_t>(g.hi - g.lo), magnitude, &span);
  const bool small = g.hi <= INT32_MAX && !overflow && span <= INT32_MAX;
  if constexpr (K::taps > 4) {
    // Lanczos: both axes share one out-of-line copy of each variant.
    detail::PlanAxisJob<K, kClamp> job{u, n, &g, &plan, cache, small};
    simd::run_apart<Isa>(job);
  } else if (small) {
    detail::plan_axis_impl<K, true, kClamp, Isa>(u, n, g, plan, cache);
  } else {
    detail::plan_axis_impl<K, false, kClamp, Isa>(u, n, g, plan, cache);
  }
}

// Per-position weight sums of a 2-D run: sum over rows r, then columns c,
// of wx[c] * wy[r], in that order.
template <class K>
inline void sum_weights_2d(const AxisPlan<K>& rows, const AxisPlan<K>& cols, int n,
                           double* sumw) noexcept {
  for (int i = 0; i < n; i += simd::kLanes) {
    simd::vd s = simd::splat(0.0);
    for (int r = 0; r < K::taps; ++r) {
      const simd::vd wy = simd::load(rows.w[r] + i);
      for (int c = 0; c < K::taps; ++c) s = simd::load(cols.w[c] + i) * wy + s;
    }
    simd::store(sumw + i, s);
  }
}

// Per-position weight sums of a 1-D run, in tap order.
template <class K>
inline void sum_weights_1d(AxisPlan<K>& plan, int n) noexcept {
  for (int i = 0; i < n; i += simd::kLanes) {
    simd::vd s = simd::splat(0.0);
    for (int t = 0; t < K::taps; ++t) s = simd::load(plan.w[t] + i) + s;
    simd::store(plan.sumw + i, s);
  }
}

}  // namespace tessaro::kernels
