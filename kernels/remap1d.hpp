// The per-sample pipeline of the 1-D remap, over a block of output samples.
//
// Same formulas as the 2-D pipeline on one axis, with its own differences:
// in-range samples skip border resolution unless feathering is inward (so
// WRAP keeps u = 1.0 at the last sample, REFLECT keeps in-range u exact);
// the feather distance is the 1-D one; there is no distance mode and no
// preserve rule.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/border.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/sampler.hpp"
#include "kernels/strided.hpp"

namespace tessaro::kernels {

// Plain-data arguments of one 1-D remap. Strides are in bytes; the channel
// axis of src, dst and border_array is contiguous float64.
struct Remap1D {
  const char* src = nullptr;  // (N, C), read only
  int64_t src_stride0 = 0;

  const double* map_x = nullptr;  // (N), contiguous: unit coordinate per sample

  char* dst = nullptr;  // (N, C), every element written
  int64_t dst_stride0 = 0;

  // ARRAY mode only, read at [i, c] of the output sample. Its extents bound
  // every read (see BorderValues); one channel is broadcast to all C.
  const char* border_array = nullptr;
  int64_t border_array_stride0 = 0;
  int64_t border_array_rows = 0;
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
  int32_t feathering_mode = 0;
  int32_t interpolation = interp::BILINEAR;

  int64_t N = 0;
  int64_t C = 0;
};

namespace detail {

template <class K>
inline void remap1d_range_with(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  Sampler1D<K> sampler(a.src, a.src_stride0, a.N);
  // Mode codes compare as unsigned: negative values act as "any other".
  const uint32_t mode = static_cast<uint32_t>(a.border_mode);
  const bool value_mode = mode == static_cast<uint32_t>(border::CONSTANT) ||
                          mode == static_cast<uint32_t>(border::ARRAY);
  const bool array_mode = mode == static_cast<uint32_t>(border::ARRAY);
  const bool inward = a.feathering_mode == kFeatherInward;
  const BorderValues border_values(a.border_array_channels, a.C, a.border_const);

  for (int64_t i = i_begin; i < i_end; ++i) {
    const double raw_u = a.map_x[i];
    const bool outside = (raw_u < 0) || (raw_u > 1);
    char* out = a.dst + i * a.dst_stride0;
    const bool resolve = outside || inward;
    const double u = resolve ? resolve_unit(a.border_mode, raw_u) : raw_u;

    if (!(value_mode && resolve)) {
      sampler.prepare(u);
      for (int64_t c = 0; c < a.C; ++c) store_f64(out + channel_offset(c), sampler.sample(c));
      continue;
    }

    const double feather_dist =
        feather_distance_1d(raw_u, a.feathering_x_undershoot_multiplier,
                            a.feathering_x_overshoot_multiplier, a.feathering_mode);
    const char* border_elem = array_mode && i < a.border_array_rows
                                  ? a.border_array + i * a.border_array_stride0
                                  : nullptr;
    bool prepared = false;
    for (int64_t c = 0; c < a.C; ++c) {
      const double t = c < a.feather_d_len ? load_f64(reinterpret_cast<const char*>(a.feather_d) + channel_offset(c)) : a.feathering_width;
      const double b = array_mode ? border_values.at(border_elem, c) : a.border_const;
      const auto sample = [&] {
        if (!prepared) {
          sampler.prepare(u);
          prepared = true;
        }
        return sampler.sample(c);
      };
      store_f64(out + channel_offset(c),
                feather_blend(sample, b, t, feather_dist, outside, inward, /*in_preserve_band=*/false));
    }
  }
}

}  // namespace detail

// Runs the per-sample pipeline for output samples [i_begin, i_end) (clipped
// to [0, N)), channels in increasing order. Thread-safe for disjoint ranges;
// allocates nothing, cannot fail.
inline void remap1d_range(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  i_begin = std::max<int64_t>(i_begin, 0);
  i_end = std::min(i_end, a.N);
  if (i_begin >= i_end) return;
  with_kernel(a.interpolation,
              [&](auto kernel) { detail::remap1d_range_with<decltype(kernel)>(a, i_begin, i_end); });
}

}  // namespace tessaro::kernels
