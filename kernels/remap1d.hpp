// The 1-D remap's positions: a run of output samples planned from the
// coordinate map, sampled along the source's first axis, blended with
// border values by the 1-D feathering rules.
//
// Same formulas as the 2-D remap on one axis, with its own differences:
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
#include "kernels/pipeline.hpp"
#include "kernels/remap.hpp"
#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"
#include "kernels/writer.hpp"

namespace tessaro::kernels {

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

// The positions of samples [i_begin, i_end) of a 1-D remap, in runs of
// kRun: resolution, taps, weights and weight sums, with the source lines of
// each run's samples prefetched; and their sampling from a source of
// element type S. The position source of the pipeline
// (kernels/pipeline.hpp).
template <class K, class S>
struct SamplePlanner {
  using Kernel = K;
  using Run = PlannedRun1D<K>;

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
  const bool array_mode;
  const bool unit_samples;  // the samples are adjacent elements (one contiguous channel)
  const BorderValues border_values;
  int64_t next_i;
  int notes = 0;  // kSignallingMapX when the float32 map held a signalling NaN
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
        array_mode(static_cast<uint32_t>(a_.border_mode) == static_cast<uint32_t>(border::ARRAY)),
        unit_samples(a_.src_stride0 == element_offset<S>(1)),
        border_values(a_.border_array_channels, a_.C, a_.border_const),
        next_i(i_begin) {}

  int64_t channels() const noexcept { return a.C; }
  char* out(const Run& r) const noexcept { return a.dst + r.i0 * a.dst_stride0; }
  int64_t out_stride() const noexcept { return a.dst_stride0; }

  template <int G, class Isa, class Sink>
  void sample(const Run& r, int64_t c0, Sink& sink) const noexcept {
    sample_run_1d<K, S, G, Isa>(a.src + element_offset<S>(c0), r.plan, r.n, unit_samples, sink);
  }

  // Channels [c0, c0 + G) of sample m, whose channel c0 is at `out`.
  template <int G, class D, class W>
  void blend(const Run& r, int m, int64_t c0, const double* e, char* out, W& writer) const noexcept {
    const int64_t i = r.i0 + m;
    const double feather_dist =
        feather_distance_1d(r.raw_u[m], a.feathering_x_undershoot_multiplier,
                            a.feathering_x_overshoot_multiplier, a.feathering_mode);
    const char* border_elem =
        array_mode && i < a.border_array_rows ? a.border_array + i * a.border_array_stride0 : nullptr;
    for (int g = 0; g < G; ++g) {
      const int64_t c = c0 + g;
      const double t = c < a.feather_d_len ? feather_width_at(a.feather_d, c) : a.feathering_width;
      const double b = array_mode ? border_values.at(border_elem, c) : a.border_const;
      const auto sample = [&] { return e[g]; };
      writer.put(out + element_offset<D>(g),
                 feather_blend(sample, b, t, feather_dist, r.outside[m] != 0, inward,
                               /*in_preserve_band=*/false));
    }
  }

  // Plans the next run into r; false when the samples are done.
  template <class Isa>
  [[gnu::always_inline]] bool next(Run& r) noexcept {
    if (next_i >= end) return false;
    r.i0 = next_i;
    r.n = static_cast<int>(std::min<int64_t>(kRun, end - next_i));
    next_i += r.n;
    // A whole run of an aligned float64 map reads it where it lies;
    // otherwise a copy as doubles with zeros past the run's end.
    const char* at = a.map_x + r.i0 * (a.map_f32 ? int64_t{4} : int64_t{8});
    const double* raw = reinterpret_cast<const double*>(at);
    if (a.map_f32) {
      load_map_run<float>(at, 4, r.n, r.tail);
      raw = r.tail;
    } else if (r.n != kRun || reinterpret_cast<uintptr_t>(at) % alignof(double) != 0) {
      load_map_run<double>(at, 8, r.n, r.tail);
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
    if (a.map_f32 && r.any_nan) notes |= signalling_note(at, 4, r.n, kSignallingMapX);
    if (clamping) {  // clamping leaves in-range values as they are: clamp them all
      plan_axis<K, true, Isa>(raw, r.n, geom, r.plan, &cache);
    } else {
      double u[kRun];
      for (int m = 0; m < r.n; ++m)
        u[m] = r.outside[m] || inward ? resolve_unit(a.border_mode, raw[m]) : raw[m];
      for (int m = r.n; m % simd::kLanes != 0; ++m) u[m] = 0.0;  // lanes past the run
      plan_axis<K, false, Isa>(u, r.n, geom, r.plan, &cache);
    }
    if constexpr (K::shape == TapShape::weighted) sum_weights_1d<K>(r.plan, r.n);
    for (int m = 0; m < r.n; m += prefetch_step) __builtin_prefetch(a.src + r.plan.off[0][m]);
    return true;
  }
};

}  // namespace detail

template <class K, class S, class D>
int remap1d_range_for(const Remap1D& a, int64_t i_begin, int64_t i_end) noexcept {
  return simd::dispatch([&]<class Isa>() {
    detail::SamplePlanner<K, S> positions(a, i_begin, i_end);
    const int errors = detail::run_pipeline<D, Isa>(positions);
    return errors | positions.notes;
  });
}

}  // namespace tessaro::kernels
