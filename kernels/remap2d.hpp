// The per-pixel pipeline of the 2-D remap, over a block of output rows.
//
// Free of any interpreter or threading code: the module source wraps calls
// in its parallel loop (rows are independent, each call writes only its own
// rows of dst) and releases the interpreter lock around them.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/border.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/sampler.hpp"
#include "kernels/strided.hpp"

namespace tessaro::kernels {

// Plain-data arguments of one 2-D remap. Pointers address element [0, 0(, 0)]
// of each array; strides are in bytes; the channel axis of src, dst and
// border_array is contiguous float64.
struct Remap2D {
  const char* src = nullptr;  // (H, W, C), read only
  int64_t src_stride0 = 0;
  int64_t src_stride1 = 0;

  const char* map_y = nullptr;  // (H, W): row coordinate, unit space
  int64_t map_y_stride0 = 0;
  int64_t map_y_stride1 = 0;

  const char* map_x = nullptr;  // (H, W): column coordinate, unit space
  int64_t map_x_stride0 = 0;
  int64_t map_x_stride1 = 0;

  char* dst = nullptr;  // (H, W, C), every element written
  int64_t dst_stride0 = 0;
  int64_t dst_stride1 = 0;

  // ARRAY mode only, read at the output position [i, j, k]. Its extents bound
  // every read (see BorderValues); one channel is broadcast to all C.
  const char* border_array = nullptr;
  int64_t border_array_stride0 = 0;
  int64_t border_array_stride1 = 0;
  int64_t border_array_rows = 0;
  int64_t border_array_cols = 0;
  int64_t border_array_channels = 0;

  // Per-channel feather widths; empty (length 0) means feathering_width for
  // every channel. Channels at or past `feather_d_len` also use it.
  const double* feather_d = nullptr;
  int64_t feather_d_len = 0;

  int32_t border_mode = border::CLAMP;
  double border_const = 0.0;
  double feathering_width = 0.0;
  double feathering_x_undershoot_multiplier = 0.0;
  double feathering_x_overshoot_multiplier = 0.0;
  double feathering_y_undershoot_multiplier = 0.0;
  double feathering_y_overshoot_multiplier = 0.0;
  int32_t feathering_mode = 0;
  int32_t distance_mode = 0;
  int32_t preserve_non_feather_dims = 0;
  int32_t interpolation = interp::BILINEAR;

  int64_t H = 0;
  int64_t W = 0;
  int64_t C = 0;
};

namespace detail {

template <class K>
inline void remap2d_rows_with(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  Sampler2D<K> sampler(a.src, a.src_stride0, a.src_stride1, a.H, a.W);
  const int32_t mode = a.border_mode;
  const bool value_mode = is_border_value_mode(mode);
  const bool array_mode = mode == border::ARRAY;
  const bool inward = a.feathering_mode == kFeatherInward;
  const bool has_feather_d = a.feather_d_len > 0;
  const BorderValues border_values(a.border_array_channels, a.C, a.border_const);

  for (int64_t i = row_begin; i < row_end; ++i) {
    const char* map_x_row = a.map_x + i * a.map_x_stride0;
    const char* map_y_row = a.map_y + i * a.map_y_stride0;
    char* dst_row = a.dst + i * a.dst_stride0;
    const bool border_row = array_mode && i < a.border_array_rows;

    for (int64_t j = 0; j < a.W; ++j) {
      const double raw_x = load_f64(map_x_row + j * a.map_x_stride1);
      const double raw_y = load_f64(map_y_row + j * a.map_y_stride1);
      const bool outside = (raw_x < 0) || (raw_x > 1) || (raw_y < 0) || (raw_y > 1);
      const double x = resolve_unit(mode, raw_x);
      const double y = resolve_unit(mode, raw_y);
      char* out = dst_row + j * a.dst_stride1;

      if (!(value_mode && (outside || inward))) {
        sampler.prepare(x, y);
        for (int64_t k = 0; k < a.C; ++k) store_f64(out + channel_offset(k), sampler.sample(k));
        continue;
      }

      // Blend loop. Only this path reads the feather distance, so it is
      // computed (from the raw coordinates) only here.
      const double feather_dist = feather_distance_2d(
          raw_x, raw_y, a.feathering_x_undershoot_multiplier, a.feathering_x_overshoot_multiplier,
          a.feathering_y_undershoot_multiplier, a.feathering_y_overshoot_multiplier,
          a.feathering_mode, a.distance_mode);
      const bool band = preserve_band(a.preserve_non_feather_dims != 0, has_feather_d,
                                      a.feathering_width, inward, feather_dist);
      const char* border_elem =
          border_row && j < a.border_array_cols
              ? a.border_array + i * a.border_array_stride0 + j * a.border_array_stride1
              : nullptr;
      bool prepared = false;
      for (int64_t k = 0; k < a.C; ++k) {
        const double t = k < a.feather_d_len ? load_f64(reinterpret_cast<const char*>(a.feather_d) + channel_offset(k)) : a.feathering_width;
        const double u = array_mode ? border_values.at(border_elem, k) : a.border_const;
        const auto sample = [&] {
          if (!prepared) {
            sampler.prepare(x, y);
            prepared = true;
          }
          return sampler.sample(k);
        };
        store_f64(out + channel_offset(k),
                  feather_blend(sample, u, t, feather_dist, outside, inward, band));
      }
    }
  }
}

}  // namespace detail

// Runs the per-pixel pipeline for output rows [row_begin, row_end) (clipped
// to [0, H)), columns and channels in increasing order. Thread-safe for
// disjoint row ranges; allocates nothing, cannot fail.
inline void remap2d_rows(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  row_begin = std::max<int64_t>(row_begin, 0);
  row_end = std::min(row_end, a.H);
  if (row_begin >= row_end || a.W <= 0) return;
  with_kernel(a.interpolation,
              [&](auto kernel) { detail::remap2d_rows_with<decltype(kernel)>(a, row_begin, row_end); });
}

}  // namespace tessaro::kernels
