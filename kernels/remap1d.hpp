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
#include "kernels/border_settings.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"
#include "kernels/writer.hpp"

namespace tessaro::kernels {

// Plain-data arguments of one 1-D remap. Strides are in bytes; the channel
// axis of src, dst and border_array is contiguous (border_array float64,
// src and dst of the element types remap1d_range is instantiated for).
struct Remap1D : BorderSettings {
  const char* src = nullptr;  // (N, C), read only
  int64_t src_stride0 = 0;

  const double* map_x = nullptr;  // (N), contiguous: unit coordinate per sample

  char* dst = nullptr;  // (N, C), every element written
  int64_t dst_stride0 = 0;

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
  bool any_nan = false;
  int64_t nan[kRun];  // -1 where u is NaN (after the fold): the result is NaN
  AxisPlan<K> plan;
};

// Plans the runs of kRun samples of [i_begin, i_end), one after the other:
// resolution, taps, weights and weight sums, with the source lines of each
// run's samples prefetched. Compiled once per kernel and instruction set,
// whatever the element types (see plan_run_1d).
template <class K>
struct SamplePlanner {
  const Remap1D& a;
  const AxisGeometry geom;
  // Mode codes compare as unsigned: negative values act as "any other".
  const bool value_mode;
  const bool inward;
  const bool clamping;
  const bool folding;  // an infinite u folds to NaN
  const simd::vl resolve_all;
  const simd::vl blend_resolved;
  const int prefetch_step;
  const int64_t end;
  int64_t next;
  WeightCache<K> cache;

  SamplePlanner(const Remap1D& a_, int64_t i_begin, int64_t i_end) noexcept
      : a(a_),
        geom(a_.N, a_.src_stride0),
        value_mode(static_cast<uint32_t>(a_.border_mode) == static_cast<uint32_t>(border::CONSTANT) ||
                   static_cast<uint32_t>(a_.border_mode) == static_cast<uint32_t>(border::ARRAY)),
        inward(a_.feathering_mode == kFeatherInward),
        clamping(a_.border_mode == border::CLAMP || value_mode),
        folding(folds(a_.border_mode)),
        resolve_all(simd::splat_i64(inward ? -1 : 0)),
        blend_resolved(simd::splat_i64(value_mode ? -1 : 0)),
        // One prefetch per cache line of neighbouring samples is enough.
        prefetch_step(a_.C <= 1 ? 4 : (a_.C <= 3 ? 2 : 1)),
        end(i_end),
        next(i_begin) {}

  // Plans the next run into r; false when the samples are done.
  [[gnu::always_inline]] bool plan(PlannedRun1D<K>& r) noexcept {
    if (next >= end) return false;
    r.i0 = next;
    r.n = static_cast<int>(std::min<int64_t>(kRun, end - next));
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
    simd::vl any = simd::splat_i64(0), any_nan = simd::splat_i64(0);
    for (int m = 0; m < r.n; m += simd::kLanes) {
      const simd::vd v = simd::load(raw + m);
      const simd::vl out = (v < zero) | (v > one);
      // In-range samples skip resolution unless feathering is inward.
      const simd::vl blend = (out | resolve_all) & blend_resolved;
      simd::vl nan = v != v;
      // Infinite u is always outside, so always folded.
      if (folding) nan |= simd::abs(v) == simd::splat(kInf);
      simd::store(r.outside + m, out);
      simd::store(r.blend + m, blend);
      simd::store(r.nan + m, nan);
      any |= blend;
      any_nan |= nan;
    }
    r.any_blend = simd::any(any);
    r.any_nan = simd::any(any_nan);
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
  }
};

// One run's planning, out of line, in the instruction set of the copy that
// calls it.
template <class K, class Isa>
[[gnu::noinline]] bool plan_run_1d(SamplePlanner<K>& planner, PlannedRun1D<K>& r) noexcept {
  auto body = [&]<class>() { return planner.plan(r); };
  return simd::run_apart<Isa>(body);
}

// Samples [i_begin, i_end) in runs of kRun, each planned one run ahead of
// its sampling.
template <class K, class S, class D, class Isa>
inline int remap1d_range_with(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  const bool unit_samples = a.src_stride0 == element_offset<S>(1);
  using W = Writer<D, Isa>;
  W writer;
  SamplePlanner<K> planner(a, i_begin, i_end);
  // Lanczos planning stays inline: out of line it ran at a third of the
  // speed (measured on the 1024x1024x3 warp).
  const auto plan_next = [&](PlannedRun1D<K>& r) {
    if constexpr (K::taps > 4) {
      return planner.plan(r);
    } else {
      return plan_run_1d<K, Isa>(planner, r);
    }
  };
  const bool array_mode = static_cast<uint32_t>(a.border_mode) == static_cast<uint32_t>(border::ARRAY);
  const bool inward = planner.inward;
  const BorderValues border_values(a.border_array_channels, a.C, a.border_const);
  PlannedRun1D<K> runs[2];

  int cur = 0;
  bool have = plan_next(runs[cur]);
  while (have) {
    have = plan_next(runs[cur ^ 1]);
    const PlannedRun1D<K>& r = runs[cur];
    for_channel_groups(a.C, [&](int64_t c0, auto group) {
      constexpr int G = decltype(group)::value;
      const char* src = a.src + element_offset<S>(c0);
      char* out_c0 = a.dst + r.i0 * a.dst_stride0 + element_offset<D>(c0);
      if (!r.any_blend) {
        DirectSink<D, W> sink{out_c0, a.dst_stride0, &writer};
        sample_run_1d<K, S, G, Isa>(src, r.plan, r.n, unit_samples, sink);
        if constexpr (W::kWatches) {
          if (writer.take_unusual()) {  // a value that may raise when narrowed: redo, watching
            StrictSink<D, W> strict{out_c0, a.dst_stride0, &writer};
            sample_run_1d<K, S, G, Isa>(src, r.plan, r.n, unit_samples, strict);
          }
        }
        if (r.any_nan) put_nan<G, D>(r.nan, r.n, out_c0, a.dst_stride0, writer);
        return;
      }
      StagingSink<G> staged;
      sample_run_1d<K, S, G, Isa>(src, r.plan, r.n, unit_samples, staged);
      const auto& e = staged.e;
      for (int m = 0; m < r.n; ++m) {
        const int64_t i = r.i0 + m;
        char* out = a.dst + i * a.dst_stride0;
        if (!r.blend[m]) {
          for (int g = 0; g < G; ++g) writer.put(out + element_offset<D>(c0 + g), e[m][g]);
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
          writer.put(out + element_offset<D>(c),
                     feather_blend(sample, b, t, feather_dist, r.outside[m] != 0, inward,
                                   /*in_preserve_band=*/false));
        }
      }
      if (r.any_nan) put_nan<G, D>(r.nan, r.n, out_c0, a.dst_stride0, writer);
    });
    cur ^= 1;
  }
  return writer.errors;
}

}  // namespace detail

// Runs the per-sample pipeline for output samples [i_begin, i_end) (clipped
// to [0, N)), channels in increasing order. Thread-safe for disjoint ranges;
// allocates nothing, cannot fail. S and D are the element types of src and
// dst; returns the floating-point exceptions raised by rounding results to
// float (0 for other outputs).
template <class S = double, class D = double>
inline int remap1d_range(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  i_begin = std::max<int64_t>(i_begin, 0);
  i_end = std::min(i_end, a.N);
  if (i_begin >= i_end) return 0;
  int errors = 0;
  with_kernel(a.interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    errors = simd::dispatch([&]<class Isa>() {
      return detail::remap1d_range_with<K, S, D, Isa>(a, i_begin, i_end);
    });
  });
  return errors;
}

}  // namespace tessaro::kernels
