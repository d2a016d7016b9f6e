// The remaps as their callers see them: plain-data arguments and the entry
// points over a block of output rows (2-D) or samples (1-D).
//
// The pipelines behind the entry points (kernels/pipeline.hpp with its two
// position sources, remap2d.hpp and remap1d.hpp) are compiled once per
// kernel and element type, each in a translation unit of its own that the
// build generates (CMakeLists.txt), so that a build spreads over every core
// and the modules that call them compile none of it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/border.hpp"
#include "kernels/border_settings.hpp"
#include "kernels/interpolation.hpp"

namespace tessaro::kernels {

// Plain-data arguments of one 2-D remap. Pointers address element [0, 0(, 0)]
// of each array; strides are in bytes; the channel axis of src, dst and
// border_array is contiguous (border_array float64, src and dst of the
// element types the pipeline is compiled for).
struct Remap2D : BorderSettings {
  // Rows [win_row0, win_row0 + win_rows) and columns [win_col0, win_col0 +
  // win_cols) of a source of src_H x src_W samples (the extent the unit
  // coordinates address), read only. The window must hold every tap that
  // the whole source would give the maps' positions; set_whole_source()
  // describes a source that is all at hand.
  const char* src = nullptr;
  int64_t src_stride0 = 0;
  int64_t src_stride1 = 0;
  int64_t src_H = 0;
  int64_t src_W = 0;
  int64_t win_row0 = 0;
  int64_t win_rows = 0;
  int64_t win_col0 = 0;
  int64_t win_cols = 0;

  // Both maps hold float64, or both float32 (maps_f32), read where they lie:
  // widening a float32 to double is exact.
  bool maps_f32 = false;

  const char* map_y = nullptr;  // (H, W): row coordinate, unit space
  int64_t map_y_stride0 = 0;
  int64_t map_y_stride1 = 0;

  const char* map_x = nullptr;  // (H, W): column coordinate, unit space
  int64_t map_x_stride0 = 0;
  int64_t map_x_stride1 = 0;

  // When set, the positions come from this transform instead of the maps
  // (kernels/transform.hpp): a 3x3 row-major matrix taking output pixel
  // (x, y) = (out_col0 + j, out_row0 + i) to a source pixel, perspective
  // or affine; out_row0 and out_col0 place a block of a larger output.
  const double* transform = nullptr;
  bool perspective = false;
  int64_t out_row0 = 0;
  int64_t out_col0 = 0;

  char* dst = nullptr;  // (H, W, C), every element written
  int64_t dst_stride0 = 0;
  int64_t dst_stride1 = 0;

  int32_t interpolation = interp::BILINEAR;

  int64_t H = 0;  // output (and map) rows
  int64_t W = 0;  // output (and map) columns
  int64_t C = 0;

  // A source of the output's extent, all of it at `src`.
  void set_whole_source() noexcept {
    src_H = win_rows = H;
    src_W = win_cols = W;
    win_row0 = win_col0 = 0;
  }
};

// Plain-data arguments of one 1-D remap. Strides are in bytes; the channel
// axis of src, dst and border_array is contiguous (border_array float64).
struct Remap1D : BorderSettings {
  const char* src = nullptr;  // (N, C), read only
  int64_t src_stride0 = 0;

  // (N), contiguous: the unit coordinate of each sample, float64 or
  // float32 (map_f32), read where it lies.
  const char* map_x = nullptr;
  bool map_f32 = false;

  char* dst = nullptr;  // (N, C), every element written
  int64_t dst_stride0 = 0;

  int32_t interpolation = interp::BILINEAR;

  int64_t N = 0;
  int64_t C = 0;
};

// What a run returns besides the fpe:: bits of rounding results to float:
// that a float32 map it read held a signalling NaN (x: map_x or the 1-D
// map; y: map_y). The widening quiets it, as NumPy's float64 conversion
// would; the caller owes NumPy's report of it.
inline constexpr int kSignallingMapX = 1 << 8;
inline constexpr int kSignallingMapY = 1 << 9;

// The pipelines of one kernel K and element types S (source) and D (output),
// over rows [row_begin, row_end) or samples [i_begin, i_end) already
// clipped to the output. Defined in remap2d.hpp and remap1d.hpp.
template <class K, class S, class D>
int remap2d_rows_for(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept;
template <class K, class S, class D>
int remap1d_range_for(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept;

// Runs the per-pixel pipeline for output rows [row_begin, row_end) (clipped
// to [0, H)). Thread-safe for disjoint row ranges; allocates nothing, cannot
// fail. S and D are the element types of src and dst (the channel axis of
// each is contiguous in its own element size). Returns the floating-point
// exceptions raised by rounding results to float (none for other outputs),
// and the kSignallingMap bits.
template <class S, class D>
inline int remap2d_rows(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  row_begin = std::max<int64_t>(row_begin, 0);
  row_end = std::min(row_end, a.H);
  if (row_begin >= row_end || a.W <= 0) return 0;
  int errors = 0;
  with_kernel(a.interpolation, [&](auto kernel) {
    errors = remap2d_rows_for<decltype(kernel), S, D>(a, row_begin, row_end);
  });
  return errors;
}

// The same for output samples [i_begin, i_end) (clipped to [0, N)) of a 1-D
// remap, channels in increasing order.
template <class S, class D>
inline int remap1d_range(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  i_begin = std::max<int64_t>(i_begin, 0);
  i_end = std::min(i_end, a.N);
  if (i_begin >= i_end) return 0;
  int errors = 0;
  with_kernel(a.interpolation, [&](auto kernel) {
    errors = remap1d_range_for<decltype(kernel), S, D>(a, i_begin, i_end);
  });
  return errors;
}

}  // namespace tessaro::kernels
