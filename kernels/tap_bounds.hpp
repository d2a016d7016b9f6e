// Which source samples a 2-D remap reads: the lowest and highest row and
// column index over the taps of every position of its maps or transform.
//
// The taps follow from the positions exactly as the planning forms them
// (kernels/axis_plan.hpp), so a window of the source that holds these rows
// and columns holds every tap the whole source would give; NaN positions
// read no sample that matters and are left out.
#pragma once

#include <algorithm>
#include <cstdint>

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
  if (x != x || y != y) return;
  int64_t lo, hi;
  tap_span<K>(resolve_unit(border_mode, y), src_H, lo, hi);
  b.row_lo = std::min(b.row_lo, lo);
  b.row_hi = std::max(b.row_hi, hi);
  tap_span<K>(resolve_unit(border_mode, x), src_W, lo, hi);
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

// The bounds of a transform's positions (kernels/transform.hpp) over
// output rows [row_begin, row_end) and columns [col_begin, col_end), for a
// source of src_H x src_W samples, a border mode and an interpolation code.
// An affine row needs only its ends: along it each coordinate is a
// monotone function of x (every rounding in the formula is), and so are its
// resolution between seams and the tap span. Rows of a perspective
// transform, whose division is not monotone once rounded, and rows whose
// coordinates cross a seam or leave the finite numbers, are taken position
// by position.
inline TapBounds tap_bounds_2d(const Transform& tf, int64_t row_begin, int64_t row_end,
                               int64_t col_begin, int64_t col_end, int64_t src_H, int64_t src_W,
                               int32_t border_mode, int32_t interpolation) noexcept {
  TapBounds b;
  if (col_begin >= col_end) return b;
  with_kernel(interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    const double first = static_cast<double>(col_begin), last = static_cast<double>(col_end - 1);
    for (int64_t i = row_begin; i < row_end; ++i) {
      const double y = static_cast<double>(i);
      if (!tf.perspective) {
        double u0, v0, u1, v1;
        transform_unit<false>(tf, first, y, u0, v0);
        transform_unit<false>(tf, last, y, u1, v1);
        if (std::isfinite(u0) && std::isfinite(v0) && std::isfinite(u1) && std::isfinite(v1) &&
            detail::resolves_monotonically(border_mode, std::min(u0, u1), std::max(u0, u1)) &&
            detail::resolves_monotonically(border_mode, std::min(v0, v1), std::max(v0, v1))) {
          detail::merge_taps<K>(b, u0, v0, src_H, src_W, border_mode);
          detail::merge_taps<K>(b, u1, v1, src_H, src_W, border_mode);
          continue;
        }
      }
      for (int64_t j = col_begin; j < col_end; ++j) {
        double u, v;
        transform_unit(tf, static_cast<double>(j), y, u, v);
        detail::merge_taps<K>(b, u, v, src_H, src_W, border_mode);
      }
    }
  });
  return b;
}

}  // namespace tessaro::kernels
