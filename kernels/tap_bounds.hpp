// Which source samples a 2-D remap reads: the lowest and highest row and
// column index over the taps of every position of its maps or transform.
//
// The taps follow from the positions exactly as the planning forms them
// (kernels/axis_plan.hpp), so a window of the source that holds these rows
// and columns holds every tap the whole source would give. A position whose
// coordinate is NaN, or folds to NaN (an infinity under WRAP, REFLECT and
// REFLECT_101), reads no sample that matters and is left out.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/border.hpp"
#include "kernels/interpolation.hpp"
#include "kernels/strided.hpp"
#include "kernels/taps.hpp"
#include "kernels/transform.hpp"

namespace tessaro::kernels {

struct TapBounds {
  int64_t row_lo = kInt64Max;  // empty while row_lo > row_hi
  int64_t row_hi = kInt64Min;
  int64_t col_lo = kInt64Max;
  int64_t col_hi = kInt64Min;

  bool empty() const noexcept { return row_lo > row_hi; }
  void merge(const TapBounds& o) noexcept {
    row_lo = std::min(row_lo, o.row_lo);
    row_hi = std::max(row_hi, o.row_hi);
    col_lo = std::min(col_lo, o.col_lo);
    col_hi = std::max(col_hi, o.col_hi);
  }
};

namespace detail {

// The first and last tap index of a resolved unit coordinate u on an axis
// of n samples.
template <class K>
inline void tap_span(double u, int64_t n, int64_t& lo, int64_t& hi) noexcept {
  const double p = static_cast<double>(n - 1) * u;
  if constexpr (K::shape == TapShape::nearest) {
    lo = hi = clamp_tap(trunc_to_i64(p + 0.5), n);
  } else if constexpr (K::shape == TapShape::linear) {
    const double scale = static_cast<double>(n - 1);
    const double q = p < 0.0 ? 0.0 : (p > scale ? scale : p);
    lo = clamp_tap(trunc_to_i64(q), n);
    hi = lo < n - 1 ? lo + 1 : lo;
  } else {
    const int64_t base = trunc_to_i64(p);
    lo = clamp_tap(add_sat(base, K::first), n);
    hi = clamp_tap(add_sat(base, K::first + (K::taps - 1)), n);
  }
}

// Merges the taps of one position (unit coordinates x, y before
// resolution) into b.
template <class K>
inline void merge_taps(TapBounds& b, double x, double y, int64_t src_H, int64_t src_W,
                       int32_t border_mode) noexcept {
  const double u = resolve_unit(border_mode, x), v = resolve_unit(border_mode, y);
  if (u != u || v != v) return;  // NaN, or NaN once folded: reads nothing
  int64_t lo, hi;
  tap_span<K>(v, src_H, lo, hi);
  b.row_lo = std::min(b.row_lo, lo);
  b.row_hi = std::max(b.row_hi, hi);
  tap_span<K>(u, src_W, lo, hi);
  b.col_lo = std::min(b.col_lo, lo);
  b.col_hi = std::max(b.col_hi, hi);
}

// Whether the resolution of every coordinate between finite a and b is a
// monotone function of it: the folds are, between their seams at the
// integers (each piece [k, k + 1) is exact fmod and monotone roundings);
// clamping and the unchanged codes are everywhere.
inline bool resolves_monotonically(int32_t border_mode, double a, double b) noexcept {
  switch (border_mode) {
    case border::REFLECT:
    case border::WRAP:
    case border::REFLECT_101:
      return std::floor(a) == std::floor(b);
    default:
      return true;
  }
}

}  // namespace detail

// The bounds of rows [row_begin, row_end) of maps (H x W, unit space, byte
// strides; float64, or float32 when maps_f32) over a source of src_H x src_W
// samples, for a border mode and an interpolation code.
inline TapBounds tap_bounds_2d(const char* map_x, int64_t mx_stride0, int64_t mx_stride1,
                               const char* map_y, int64_t my_stride0, int64_t my_stride1,
                               int64_t W, int64_t row_begin, int64_t row_end, int64_t src_H,
                               int64_t src_W, int32_t border_mode, int32_t interpolation,
                               bool maps_f32 = false) noexcept {
  const auto load = [maps_f32](const char* p) {
    return maps_f32 ? static_cast<double>(load_as<float>(p)) : load_f64(p);
  };
  TapBounds b;
  with_kernel(interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    for (int64_t i = row_begin; i < row_end; ++i) {
      for (int64_t j = 0; j < W; ++j) {
        const double x = load(map_x + i * mx_stride0 + j * mx_stride1);
        const double y = load(map_y + i * my_stride0 + j * my_stride1);
        detail::merge_taps<K>(b, x, y, src_H, src_W, border_mode);
      }
    }
  });
  return b;
}

namespace detail {

// The ranges of a set of unit coordinates, x in [u_lo, u_hi] and y in
// [v_lo, v_hi].
struct Extent {
  double u_lo, u_hi, v_lo, v_hi;
};

// Merges into b the taps of every coordinate in e, from its ends, and
// returns true, when the resolution is monotone over e (so that the tap
// spans are too); else returns false and merges nothing.
template <class K>
inline bool merge_extent(TapBounds& b, const Extent& e, int64_t src_H, int64_t src_W,
                         int32_t border_mode) noexcept {
  if (!(std::isfinite(e.u_lo) && std::isfinite(e.u_hi) && std::isfinite(e.v_lo) &&
        std::isfinite(e.v_hi) && resolves_monotonically(border_mode, e.u_lo, e.u_hi) &&
        resolves_monotonically(border_mode, e.v_lo, e.v_hi)))
    return false;
  merge_taps<K>(b, e.u_lo, e.v_lo, src_H, src_W, border_mode);
  merge_taps<K>(b, e.u_hi, e.v_hi, src_H, src_W, border_mode);
  return true;
}

// A perspective row [x0, x1] at y whose denominators stay well away from
// the horizon: the range of its ends' coordinates (tight), and that range
// widened (wide) so far that it holds every coordinate of the row. The
// exact quotient is monotone along a row where the denominator stays
// positive, so the exact coordinates lie between the ends'; each computed
// one is within err = u |q| + 4u (S_n + |Q| S_d) / d of its exact one,
// with u = 2^-53, S the sums of the magnitudes of the terms of numerator
// and denominator (largest at an end) and d at least 2^-10 S_d, so err <
// 2^-40 (S_n / S_d + |Q| + 1); the widening takes 2^-30 times that.
// False, with nothing said, for rows nearer the horizon.
inline bool perspective_row(const Transform& tf, double x0, double x1, double y, Extent& tight,
                            Extent& wide) noexcept {
  const double* t = tf.t;
  double sd = 0.0, sn_x = 0.0, sn_y = 0.0, d_min = std::numeric_limits<double>::infinity();
  double q_x = 0.0, q_y = 0.0;
  double u[2], v[2];
  for (int e = 0; e < 2; ++e) {
    const double x = e == 0 ? x0 : x1;
    d_min = std::min(d_min, (t[6] * x + t[7] * y) + t[8]);
    sd = std::max(sd, (std::fabs(t[6] * x) + std::fabs(t[7] * y)) + std::fabs(t[8]));
    sn_x = std::max(sn_x, (std::fabs(t[0] * x) + std::fabs(t[1] * y)) + std::fabs(t[2]));
    sn_y = std::max(sn_y, (std::fabs(t[3] * x) + std::fabs(t[4] * y)) + std::fabs(t[5]));
    transform_unit<true>(tf, x, y, u[e], v[e]);
    q_x = std::max(q_x, std::fabs(u[e]) * tf.sx);
    q_y = std::max(q_y, std::fabs(v[e]) * tf.sy);
  }
  constexpr double kNear = 0x1p-10;  // denominators below kNear * S_d are near the horizon
  constexpr double kSlack = 0x1p-30;
  if (!(d_min > 0.0 && d_min >= kNear * sd && std::isfinite(sn_x + sn_y + q_x + q_y))) return false;
  const double slack_u = kSlack * ((sn_x / sd + q_x) + 1.0) / tf.sx;
  const double slack_v = kSlack * ((sn_y / sd + q_y) + 1.0) / tf.sy;
  tight = {std::min(u[0], u[1]), std::max(u[0], u[1]), std::min(v[0], v[1]), std::max(v[0], v[1])};
  wide = {tight.u_lo - slack_u, tight.u_hi + slack_u, tight.v_lo - slack_v, tight.v_hi + slack_v};
  return true;
}

}  // namespace detail

// The bounds of a transform's positions (kernels/transform.hpp) over
// output rows [row_begin, row_end) and columns [col_begin, col_end), for a
// source of src_H x src_W samples, a border mode and an interpolation code.
// Where the resolution is monotone over a row's coordinates, so are the tap
// spans, and the row's extreme coordinates give its bounds. An affine
// row's are at its ends: along it each coordinate is a monotone function of
// x, every rounding in the formula being monotone. A perspective row's
// rounded division is not, but its coordinates lie within a small slack of
// its ends' range (detail::perspective_row): when the widened range gives
// the same taps as the ends, those are the row's, exactly. Other
// perspective rows are computed whole, four positions at a time, for their
// extremes; rows whose coordinates cross a fold's seam or leave the finite
// numbers are taken position by position.
inline TapBounds tap_bounds_2d(const Transform& tf, int64_t row_begin, int64_t row_end,
                               int64_t col_begin, int64_t col_end, int64_t src_H, int64_t src_W,
                               int32_t border_mode, int32_t interpolation) noexcept {
  if (col_begin >= col_end) return TapBounds{};
  // In one copy per instruction set, as the planning (simd.hpp).
  return simd::dispatch([&]<class>() {
    TapBounds b;
    with_kernel(interpolation, [&](auto kernel) {
      using K = decltype(kernel);
      using simd::select;
      using simd::vd;
      constexpr int kBatch = 64;  // positions per call of the vector formula
      alignas(32) double u[kBatch], v[kBatch];
      const double first = static_cast<double>(col_begin), last = static_cast<double>(col_end - 1);
      for (int64_t i = row_begin; i < row_end; ++i) {
        const double y = static_cast<double>(i);
        detail::Extent e;
        if (!tf.perspective) {
          double u1, v1;
          transform_unit<false>(tf, first, y, e.u_lo, e.v_lo);
          transform_unit<false>(tf, last, y, u1, v1);
          e = {std::min(e.u_lo, u1), std::max(e.u_lo, u1), std::min(e.v_lo, v1), std::max(e.v_lo, v1)};
        } else {
          detail::Extent wide;
          if (detail::perspective_row(tf, first, last, y, e, wide)) {
            TapBounds from_wide, from_ends;
            if (detail::merge_extent<K>(from_wide, wide, src_H, src_W, border_mode) &&
                detail::merge_extent<K>(from_ends, e, src_H, src_W, border_mode) &&
                from_wide.row_lo == from_ends.row_lo && from_wide.row_hi == from_ends.row_hi &&
                from_wide.col_lo == from_ends.col_lo && from_wide.col_hi == from_ends.col_hi) {
              b.merge(from_ends);
              continue;
            }
          }
          // The extremes over the positions that are not NaN, lane by lane.
          const vd inf = simd::splat(std::numeric_limits<double>::infinity());
          vd ulo = inf, uhi = -inf, vlo = inf, vhi = -inf;
          for (int64_t j0 = col_begin; j0 < col_end; j0 += kBatch) {
            const int n = static_cast<int>(std::min<int64_t>(kBatch, col_end - j0));
            transform_run(tf, i, j0, n, u, v);
            for (int m = 0; m < n; m += simd::kLanes) {
              const vd xu = simd::load(u + m), yv = simd::load(v + m);
              const simd::vl ok =
                  (xu == xu) & (yv == yv) & (simd::vl{0, 1, 2, 3} < simd::splat_i64(n - m));
              ulo = select(ok & (xu < ulo), xu, ulo);
              uhi = select(ok & (xu > uhi), xu, uhi);
              vlo = select(ok & (yv < vlo), yv, vlo);
              vhi = select(ok & (yv > vhi), yv, vhi);
            }
          }
          e = {std::min({ulo[0], ulo[1], ulo[2], ulo[3]}), std::max({uhi[0], uhi[1], uhi[2], uhi[3]}),
               std::min({vlo[0], vlo[1], vlo[2], vlo[3]}), std::max({vhi[0], vhi[1], vhi[2], vhi[3]})};
          if (e.u_lo > e.u_hi) continue;  // the whole row is beyond the horizon
        }
        if (detail::merge_extent<K>(b, e, src_H, src_W, border_mode)) continue;
        for (int64_t j0 = col_begin; j0 < col_end; j0 += kBatch) {
          const int n = static_cast<int>(std::min<int64_t>(kBatch, col_end - j0));
          transform_run(tf, i, j0, n, u, v);
          for (int m = 0; m < n; ++m) detail::merge_taps<K>(b, u[m], v[m], src_H, src_W, border_mode);
        }
      }
    });
    return b;
  });
}

}  // namespace tessaro::kernels
