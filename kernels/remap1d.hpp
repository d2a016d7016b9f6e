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
#include <cstring>

#include "kernels/axis_plan.hpp"
#include "kernels/border.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
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

// A run of up to kRun output samples, planned ahead of its sampling.
template <class K>
struct PlannedRun1D {
  int64_t i0 = 0;
  int n = 0;
  bool any_blend = false;
  const double* raw_u = nullptr;  // the run's map values (in the map, or in tail)
  double tail[kRun];
  int64_t outside[kRun];  // -1 where u lies outside [0, 1], else 0
  int64_t blend[kRun];    // -1 where the sample takes the blend loop
  AxisPlan<K> plan;
};

// Samples [i_begin, i_end) in runs of kRun, each planned (resolution, taps,
// weights, weight sums) one run ahead of its sampling, with the source
// lines of its samples prefetched meanwhile.
template <class K, class Isa>
inline void remap1d_range_with(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  const AxisGeometry geom(a.N, a.src_stride0);
  const bool unit_samples = a.src_stride0 == static_cast<int64_t>(sizeof(double));
  WeightCache<K> cache;
  Writer<double, Isa> writer;
  // Mode codes compare as unsigned: negative values act as "any other".
  const uint32_t mode = static_cast<uint32_t>(a.border_mode);
  const bool value_mode = mode == static_cast<uint32_t>(border::CONSTANT) ||
                          mode == static_cast<uint32_t>(border::ARRAY);
  const bool array_mode = mode == static_cast<uint32_t>(border::ARRAY);
  const bool inward = a.feathering_mode == kFeatherInward;
  const BorderValues border_values(a.border_array_channels, a.C, a.border_const);
  PlannedRun1D<K> runs[2];
  const bool clamping = a.border_mode == border::CLAMP || value_mode;
  const simd::vl resolve_all = simd::splat_i64(inward ? -1 : 0);
  const simd::vl blend_resolved = simd::splat_i64(value_mode ? -1 : 0);
  // One prefetch per cache line of neighbouring samples is enough.
  const int prefetch_step = a.C <= 1 ? 4 : (a.C <= 3 ? 2 : 1);

  int64_t next = i_begin;
  const auto plan_next = [&](PlannedRun1D<K>& r) -> bool {
    if (next >= i_end) return false;
    r.i0 = next;
    r.n = static_cast<int>(std::min<int64_t>(kRun, i_end - next));
    next += r.n;
    // A whole run of an aligned map reads it where it lies; otherwise from a
    // copy with zeros past the run's end.
    const double* raw = a.map_x + r.i0;
    if (r.n != kRun || reinterpret_cast<uintptr_t>(raw) % alignof(double) != 0) {
      std::memcpy(r.tail, raw, static_cast<std::size_t>(r.n) * sizeof(double));
      for (int m = r.n; m % simd::kLanes != 0; ++m) r.tail[m] = 0.0;
      raw = r.tail;
    }
    r.raw_u = raw;
    const simd::vd zero = simd::splat(0.0), one = simd::splat(1.0);
    simd::vl any = simd::splat_i64(0);
    for (int m = 0; m < r.n; m += simd::kLanes) {
      const simd::vd v = simd::load(raw + m);
      const simd::vl out = (v < zero) | (v > one);
      // In-range samples skip resolution unless feathering is inward.
      const simd::vl blend = (out | resolve_all) & blend_resolved;
      simd::store(r.outside + m, out);
      simd::store(r.blend + m, blend);
      any |= blend;
    }
    r.any_blend = (any[0] | any[1] | any[2] | any[3]) != 0;
    if (clamping) {  // clamping leaves in-range values as they are: clamp them all
      plan_axis<K, true>(raw, r.n, geom, r.plan, &cache);
    } else {
      double u[kRun];
      for (int m = 0; m < r.n; ++m)
        u[m] = r.outside[m] || inward ? resolve_unit(a.border_mode, raw[m]) : raw[m];
      for (int m = r.n; m % simd::kLanes != 0; ++m) u[m] = 0.0;  // lanes past the run
      plan_axis<K>(u, r.n, geom, r.plan, &cache);
    }
    if constexpr (K::shape == TapShape::weighted) sum_weights_1d<K>(r.plan, r.n);
    for (int m = 0; m < r.n; m += prefetch_step) __builtin_prefetch(a.src + r.plan.off[0][m]);
    return true;
  };

  int cur = 0;
  bool have = plan_next(runs[cur]);
  while (have) {
    have = plan_next(runs[cur ^ 1]);
    const PlannedRun1D<K>& r = runs[cur];
    for_channel_groups(a.C, [&](int64_t c0, auto group) {
      constexpr int G = decltype(group)::value;
      const char* src = a.src + channel_offset(c0);
      char* out_c0 = a.dst + r.i0 * a.dst_stride0 + channel_offset(c0);
      if (!r.any_blend) {
        DirectSink<double, Writer<double, Isa>> sink{out_c0, a.dst_stride0, &writer};
        sample_run_1d<K, G, Isa>(src, r.plan, r.n, unit_samples, sink);
        return;
      }
      StagingSink<G> staged;
      sample_run_1d<K, G, Isa>(src, r.plan, r.n, unit_samples, staged);
      const auto& e = staged.e;
      for (int m = 0; m < r.n; ++m) {
        const int64_t i = r.i0 + m;
        char* out = a.dst + i * a.dst_stride0;
        if (!r.blend[m]) {
          for (int g = 0; g < G; ++g) writer.put(out + channel_offset(c0 + g), e[m][g]);
          continue;
        }
        const double feather_dist =
            feather_distance_1d(r.raw_u[m], a.feathering_x_undershoot_multiplier,
                                a.feathering_x_overshoot_multiplier, a.feathering_mode);
        const char* border_elem = array_mode && i < a.border_array_rows
                                      ? a.border_array + i * a.border_array_stride0
                                      : nullptr;
        for (int g = 0; g < G; ++g) {
          const int64_t c = c0 + g;
          const double t = c < a.feather_d_len ? feather_width_at(a.feather_d, c) : a.feathering_width;
          const double b = array_mode ? border_values.at(border_elem, c) : a.border_const;
          const auto sample = [&] { return e[m][g]; };
          writer.put(out + channel_offset(c),
                     feather_blend(sample, b, t, feather_dist, r.outside[m] != 0, inward,
                                   /*in_preserve_band=*/false));
        }
      }
    });
    cur ^= 1;
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
  with_kernel(a.interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    simd::dispatch([&]<class Isa>() { detail::remap1d_range_with<K, Isa>(a, i_begin, i_end); });
  });
}

}  // namespace tessaro::kernels
