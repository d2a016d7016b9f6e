// Which source samples a 2-D remap reads: the lowest and highest row and
// column index over the taps of every position of its maps.
//
// The taps follow from the positions exactly as the planning forms them
// (kernels/axis_plan.hpp), so a window of the source that holds these rows
// and columns holds every tap the whole source would give; NaN positions
// (NaN once folded) read no sample that matters and are left out.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/border.hpp"
#include "kernels/interpolation.hpp"
#include "kernels/strided.hpp"
#include "kernels/taps.hpp"

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

}  // namespace detail

// The bounds of rows [row_begin, row_end) of maps (H x W, unit space, byte
// strides) over a source of src_H x src_W samples, for a border mode and an
// interpolation code.
inline TapBounds tap_bounds_2d(const char* map_x, int64_t mx_stride0, int64_t mx_stride1,
                               const char* map_y, int64_t my_stride0, int64_t my_stride1,
                               int64_t W, int64_t row_begin, int64_t row_end, int64_t src_H,
                               int64_t src_W, int32_t border_mode, int32_t interpolation) noexcept {
  TapBounds b;
  with_kernel(interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    for (int64_t i = row_begin; i < row_end; ++i) {
      for (int64_t j = 0; j < W; ++j) {
        const double x = load_f64(map_x + i * mx_stride0 + j * mx_stride1);
        const double y = load_f64(map_y + i * my_stride0 + j * my_stride1);
        const double ux = resolve_unit(border_mode, x), uy = resolve_unit(border_mode, y);
        if (ux != ux || uy != uy) continue;
        int64_t lo, hi;
        detail::tap_span<K>(uy, src_H, lo, hi);
        b.row_lo = std::min(b.row_lo, lo);
        b.row_hi = std::max(b.row_hi, hi);
        detail::tap_span<K>(ux, src_W, lo, hi);
        b.col_lo = std::min(b.col_lo, lo);
        b.col_hi = std::max(b.col_hi, hi);
      }
    }
  });
  return b;
}

}  // namespace tessaro::kernels
