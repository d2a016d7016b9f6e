// Tap planning for a run of positions along one axis.
//
// For each position u (a resolved unit coordinate) the position
// p = (double)(n - 1) * u, the clamped tap indices and the weights or lerp
// fraction, four positions per vector. Each lane goes through the scalar
// formulas of taps.hpp in their order; the integer steps are rewritten so
// that they vectorise, with the same results:
//   - nearest: clamp_tap(trunc(p + 0.5)) is trunc of (p + 0.5) clamped into
//     [0, n - 1] in double (NaN reads 0);
//   - linear: the position is clamped into [0, n - 1] first, as always;
//   - cubic and Lanczos: for |p| < 2^31, trunc(p) and tap = trunc(p) + k
//     are exact in double, and a tap is clamped in double before it becomes
//     an integer; larger positions (and NaN) are redone one at a time with
//     the saturating int64 forms.
// Indices are int64 and clamped once more to n - 1, which only matters when
// (double)(n - 1) rounds up (axes beyond 2^53 samples).
#pragma once

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>

#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
#include "kernels/taps.hpp"

namespace tessaro::kernels {

namespace detail {

// catmull_rom_weight on four distances: both polynomials are evaluated and
// one selected per lane, which gives each lane the scalar function's value.
[[gnu::always_inline]] inline simd::vd catmull_rom_weights(simd::vd d) noexcept {
  using simd::splat;
  const simd::vd near = ((d * d) * d) * splat(1.5) - (d * d) * splat(2.5) + splat(1.0);
  const simd::vd far =
      (((d * d) * d) * splat(-0.5) + (d * d) * splat(2.5)) - d * splat(4.0) + splat(2.0);
  return simd::select(d < splat(1.0), near, simd::select(d < splat(2.0), far, splat(0.0)));
}

// Four values clamped into [0, n - 1] (as doubles) to indices; kSmall when
// n - 1 fits int32, where the conversion is a single vector instruction.
template <bool kSmall>
[[gnu::always_inline]] inline simd::vl to_index(simd::vd clamped, simd::vl last) noexcept {
  if constexpr (kSmall) {
    return simd::trunc_small_i64(clamped);
  } else {
    const simd::vl i = simd::trunc_i64(clamped);
    return i < last ? i : last;
  }
}

template <bool kSmall>
[[gnu::always_inline]] inline simd::vd index_value(simd::vl i) noexcept {
  if constexpr (kSmall) {
    return __builtin_convertvector(__builtin_convertvector(i, simd::vi), simd::vd);
  } else {
    return simd::to_f64(i);
  }
}

template <class K, bool kSmall>
inline void plan_axis_impl(const double* u, int n, const AxisGeometry& g, AxisPlan<K>& plan,
                           WeightCache<K>* cache) noexcept {
  using simd::select;
  using simd::splat;
  using simd::vd;
  using simd::vl;
  constexpr int L = simd::kLanes;
  const vd scale = splat(g.scale);
  const vd zero = splat(0.0);
  const vl last = simd::splat_i64(g.n - 1);
  double p[kRun];
  for (int i = 0; i < n; i += L) simd::store(p + i, scale * simd::load(u + i));

  if constexpr (K::shape == TapShape::nearest) {
    for (int i = 0; i < n; i += L) {
      const vd q = simd::load(p + i) + splat(0.5);
      const vd c = select(q >= zero, select(q < scale, q, scale), zero);
      simd::store(plan.idx[0] + i, to_index<kSmall>(c, last));
    }
  } else if constexpr (K::shape == TapShape::linear) {
    for (int i = 0; i < n; i += L) {
      const vd pv = simd::load(p + i);
      const vd q = select(pv < zero, zero, select(pv > scale, scale, pv));  // NaN stays
      const vl i0 = to_index<kSmall>(select(q >= zero, q, zero), last);    // NaN reads 0
      simd::store(plan.frac + i, q - index_value<kSmall>(i0));
      simd::store(plan.idx[0] + i, i0);
      simd::store(plan.idx[1] + i, i0 < last ? i0 + 1 : i0);
    }
  } else {
    const vd two31 = splat(2147483648.0);
    double base[kRun];
    for (int i = 0; i < n; i += L) {
      const vd pv = simd::load(p + i);
      simd::store(base + i, simd::trunc_small(select(simd::abs(pv) < two31, pv, zero)));
    }
    for (int t = 0; t < K::taps; ++t) {
      const vd off = splat(static_cast<double>(K::first + t));
      for (int i = 0; i < n; i += L) {
        const vd tap = simd::load(base + i) + off;  // exact: |base| < 2^31
        simd::store(plan.idx[t] + i,
                    to_index<kSmall>(select(tap < zero, zero, select(tap > scale, scale, tap)), last));
        if constexpr (K::taps == 4)  // Catmull-Rom: a few multiplies per weight
          simd::store(plan.w[t] + i,
                      detail::catmull_rom_weights(simd::abs(simd::load(p + i) - tap)));
      }
    }
    if constexpr (K::taps != 4) {  // Lanczos: two sines per weight, so reuse weights by phase
      for (int i = 0; i < n; ++i) {
        if (!(std::fabs(p[i]) < 2147483648.0)) continue;
        const uint64_t key = std::bit_cast<uint64_t>(p[i] - base[i]);
        auto& e = cache->entries[WeightCache<K>::slot(key)];
        if (e.key != key) {
          const int64_t b = static_cast<int64_t>(base[i]);
          for (int t = 0; t < K::taps; ++t) e.w[t] = K::weight(p[i], b + (K::first + t));
          e.key = key;
        }
        for (int t = 0; t < K::taps; ++t) plan.w[t][i] = e.w[t];
      }
      for (int i = n; i % L != 0; ++i) {  // lanes past the run
        for (int t = 0; t < K::taps; ++t) plan.w[t][i] = 0.0;
      }
    }
    for (int i = 0; i < n; ++i) {
      if (std::fabs(p[i]) < 2147483648.0) continue;
      const int64_t b = trunc_to_i64(p[i]);
      for (int t = 0; t < K::taps; ++t) {
        const int64_t tap = add_sat(b, K::first + t);
        plan.idx[t][i] = clamp_tap(tap, g.n);
        plan.w[t][i] = K::weight(p[i], tap);  // from the unclamped index
      }
    }
  }
}

}  // namespace detail

// Plans positions u[0 .. n) of axis g; u must hold a multiple of
// simd::kLanes initialised values covering n (lanes past n are planned and
// ignored). `cache` keeps Lanczos weights by phase.
template <class K>
inline void plan_axis(const double* u, int n, const AxisGeometry& g, AxisPlan<K>& plan,
                      WeightCache<K>* cache) noexcept {
  if (g.n - 1 <= INT32_MAX)
    detail::plan_axis_impl<K, true>(u, n, g, plan, cache);
  else
    detail::plan_axis_impl<K, false>(u, n, g, plan, cache);
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
