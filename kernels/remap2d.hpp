// The 2-D remap's positions: a run of output pixels along a row, planned
// from the coordinate maps or a transform, sampled over both axes of the
// source, blended with border values by the 2-D feathering rules.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kernels/axis_plan.hpp"
#include "kernels/border.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/pipeline.hpp"
#include "kernels/remap.hpp"
#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"
#include "kernels/transform.hpp"
#include "kernels/writer.hpp"

namespace tessaro::kernels {

namespace detail {

// Settings of one call that every pixel consults.
struct PixelContext {
  bool value_mode;
  bool array_mode;
  bool inward;
  bool has_feather_d;
  BorderValues border_values;

  explicit PixelContext(const Remap2D& a) noexcept
      : value_mode(is_border_value_mode(a.border_mode)),
        array_mode(a.border_mode == border::ARRAY),
        inward(a.feathering_mode == kFeatherInward),
        has_feather_d(a.feather_d_len > 0),
        border_values(a.border_array_channels, a.C, a.border_const) {}

  // CONSTANT/ARRAY pixels outside the source, or every pixel when
  // feathering inward, take the blend loop; all others the plain loop.
  bool blends(bool outside) const noexcept { return value_mode && (outside || inward); }
};

// The per-pixel part of the blend loop: feather distance (from the raw
// coordinates) and preserve band.
struct BlendPixel {
  double feather_dist;
  bool band;
};

inline BlendPixel blend_pixel(const Remap2D& a, const PixelContext& ctx, double raw_x,
                              double raw_y) noexcept {
  BlendPixel b{};
  b.feather_dist = feather_distance_2d(
      raw_x, raw_y, a.feathering_x_undershoot_multiplier, a.feathering_x_overshoot_multiplier,
      a.feathering_y_undershoot_multiplier, a.feathering_y_overshoot_multiplier, a.feathering_mode,
      a.distance_mode);
  b.band = preserve_band(a.preserve_non_feather_dims != 0, ctx.has_feather_d, a.feathering_width,
                         ctx.inward, b.feather_dist);
  return b;
}

// The blend loop for channels [k0, k0 + G) of output pixel (i, j), whose
// channel k0 is at `out`. sample(e) fills e[0 .. G) with the samples (taken
// at the clamped coordinates); it is called only when some channel's blend
// reads them.
template <int G, class D, class SampleFn, class W>
inline void blend_group(const Remap2D& a, const PixelContext& ctx, int64_t i, int64_t j,
                        bool outside, const BlendPixel& bp, int64_t k0, char* out,
                        SampleFn&& sample, W& writer) noexcept {
  const char* border_elem =
      ctx.array_mode && i < a.border_array_rows && j < a.border_array_cols
          ? a.border_array + i * a.border_array_stride0 + j * a.border_array_stride1
          : nullptr;
  double t[G], u[G], e[G] = {};
  bool needs_sample = false;
  for (int g = 0; g < G; ++g) {
    const int64_t k = k0 + g;
    t[g] = k < a.feather_d_len ? feather_width_at(a.feather_d, k) : a.feathering_width;
    u[g] = ctx.array_mode ? ctx.border_values.at(border_elem, k) : a.border_const;
    needs_sample =
        needs_sample || blend_uses_sample(t[g], bp.feather_dist, outside, ctx.inward, bp.band);
  }
  if (needs_sample) sample(e);
  for (int g = 0; g < G; ++g) {
    const auto value = [&] { return e[g]; };
    writer.put(out + element_offset<D>(g),
               feather_blend(value, u[g], t[g], bp.feather_dist, outside, ctx.inward, bp.band));
  }
}

// Resolution of a run of coordinates by mode; n values rounded up to whole
// vectors (lanes past n resolve the zeros that raw holds there).
inline void resolve_run(int32_t mode, const double* raw, double* out, int n) noexcept {
  const int whole = (n + simd::kLanes - 1) / simd::kLanes * simd::kLanes;
  switch (mode) {
    case border::CLAMP:
    case border::CONSTANT:
    case border::ARRAY:
      // clamp_unit per lane: ordered comparisons, NaN passes.
      for (int m = 0; m < whole; m += simd::kLanes) {
        const simd::vd v = simd::load(raw + m);
        simd::store(out + m, simd::select(v < simd::splat(0.0), simd::splat(0.0),
                                          simd::select(v > simd::splat(1.0), simd::splat(1.0), v)));
      }
      return;
    case border::REFLECT:
      for (int m = 0; m < whole; ++m) out[m] = reflect_unit(raw[m]);
      return;
    case border::WRAP:
      for (int m = 0; m < whole; ++m) out[m] = wrap_unit(raw[m]);
      return;
    case border::REFLECT_101:
      for (int m = 0; m < whole; ++m) out[m] = reflect101_unit(raw[m]);
      return;
    default:
      for (int m = 0; m < whole; ++m) out[m] = raw[m];
      return;
  }
}

// The run of n coordinates at `row`: read where it lies for a whole run of
// contiguous, aligned doubles, else copied into `copy` as doubles.
inline const double* map_run(const char* row, int64_t stride, int n, bool f32,
                             double* copy) noexcept {
  if (f32) {
    load_map_run<float>(row, stride, n, copy);
    return copy;
  }
  if (n == kRun && stride == static_cast<int64_t>(sizeof(double)) &&
      reinterpret_cast<uintptr_t>(row) % alignof(double) == 0)
    return reinterpret_cast<const double*>(row);
  load_map_run<double>(row, stride, n, copy);
  return copy;
}

// A run of up to kRun pixels of one row, planned ahead of its sampling.
template <class K>
struct PlannedRun {
  int64_t i = 0;
  int64_t j0 = 0;
  int n = 0;
  bool any_blend = false;
  int64_t outside[kRun];  // -1 where the raw coordinates lie outside [0, 1]^2, else 0
  int64_t blend[kRun];    // -1 where the pixel takes the blend loop
  BlendPixel bp[kRun];
  bool any_nan = false;
  int64_t nan[kRun];  // -1 where a coordinate is NaN (after the fold): the result is NaN
  AxisPlan<K> rows;
  AxisPlan<K> cols;
  double sumw[kRun];
};

// The positions of rows [row_begin, row_end) of a 2-D remap, in runs of
// kRun pixels: border resolution, taps, weights and weight sums of all their
// pixels, with the first source lines of each run's pixels prefetched; and
// their sampling from a source of element type S. The position source of
// the pipeline (kernels/pipeline.hpp).
template <class K, class S>
struct RowPlanner {
  using Kernel = K;
  using Run = PlannedRun<K>;

  const Remap2D& a;
  const PixelContext ctx;
  const AxisGeometry rows_geom;
  const AxisGeometry cols_geom;
  const simd::vl all_blend;
  const simd::vl outside_blends;
  const bool clamping;
  // An affine transform's coordinates along a row are monotone: each of
  // their rounded steps is, in x. A run whose two ends lie in [0, 1]^2 then
  // lies there whole (a NaN would need an infinite product, and the ends'
  // are finite), and when clamping resolves the border and no pixel inside
  // blends, none of its pixels blends, is NaN or needs clamping.
  const bool affine_rows;
  // The folds turn an infinite coordinate into NaN: no position either.
  const bool folding;
  const int prefetch_step;
  const int64_t row_end;
  // The last address from which four elements can be read without leaving
  // the source, and whether its columns are adjacent elements.
  const uintptr_t wide_limit;
  const bool unit_cols;
  const Transform transform;  // used when a.transform is set
  int64_t next_i;
  int64_t next_j = 0;
  int notes = 0;  // kSignallingMap bits
  WeightCache<K> row_cache;
  WeightCache<K> col_cache;

  RowPlanner(const Remap2D& a_, int64_t row_begin, int64_t row_end_) noexcept
      : a(a_),
        ctx(a_),
        rows_geom(a_.src_H, a_.src_stride0, a_.win_row0, a_.win_row0 + a_.win_rows - 1),
        cols_geom(a_.src_W, a_.src_stride1, a_.win_col0, a_.win_col0 + a_.win_cols - 1),
        all_blend(simd::splat_i64(ctx.value_mode && ctx.inward ? -1 : 0)),
        outside_blends(simd::splat_i64(ctx.value_mode ? -1 : 0)),
        clamping(a_.border_mode == border::CLAMP || ctx.value_mode),
        affine_rows(a_.transform != nullptr && !a_.perspective && clamping &&
                    !(ctx.value_mode && ctx.inward)),
        folding(folds(a_.border_mode)),
        // Neighbouring pixels mostly share source lines: about two
        // prefetches per line of pixels.
        prefetch_step(static_cast<int>(
            std::clamp<int64_t>(48 / std::max<int64_t>(1, element_offset<S>(a_.C)), 1, 8))),
        row_end(row_end_),
        wide_limit(highest_element(a_) - static_cast<uintptr_t>(element_offset<S>(3))),
        unit_cols(a_.src_stride1 == element_offset<S>(1)),
        transform(a_.transform, a_.perspective, a_.src_H, a_.src_W),
        next_i(row_begin) {}

  // The source's highest element at hand.
  static uintptr_t highest_element(const Remap2D& a) noexcept {
    return reinterpret_cast<uintptr_t>(a.src) +
           static_cast<uintptr_t>(std::max<int64_t>(0, (a.win_rows - 1) * a.src_stride0) +
                                  std::max<int64_t>(0, (a.win_cols - 1) * a.src_stride1) +
                                  element_offset<S>(a.C > 0 ? a.C - 1 : 0));
  }

  int64_t channels() const noexcept { return a.C; }
  char* out(const Run& r) const noexcept { return a.dst + r.i * a.dst_stride0 + r.j0 * a.dst_stride1; }
  int64_t out_stride() const noexcept { return a.dst_stride1; }

  template <int G, class Isa, class Sink>
  void sample(const Run& r, int64_t k0, Sink& sink) const noexcept {
    sample_run_2d<K, S, G, Isa>(a.src + element_offset<S>(k0), r.rows, r.cols, r.sumw, r.n,
                                wide_limit, unit_cols, sink);
  }

  template <int G, class D, class W>
  void blend(const Run& r, int m, int64_t k0, const double* e, char* out, W& writer) const noexcept {
    const auto samples = [&](double* into) {
      for (int g = 0; g < G; ++g) into[g] = e[g];
    };
    blend_group<G, D>(a, ctx, r.i, r.j0 + m, r.outside[m] != 0, r.bp[m], k0, out, samples, writer);
  }

  // Plans the next run into r; false when the rows are done.
  template <class Isa>
  [[gnu::always_inline]] bool next(Run& r) noexcept {
    using simd::vd;
    using simd::vl;
    if (next_i >= row_end) return false;
    r.i = next_i;
    r.j0 = next_j;
    r.n = static_cast<int>(std::min<int64_t>(kRun, a.W - next_j));
    next_j += r.n;
    if (next_j >= a.W) {
      next_j = 0;
      ++next_i;
    }
    alignas(32) double copy_x[kRun], copy_y[kRun], x[kRun], y[kRun];
    const double* raw_x = copy_x;
    const double* raw_y = copy_y;
    const char* row_x = nullptr;
    const char* row_y = nullptr;
    if (a.transform != nullptr) {  // a horizon's NaN is planned as a map's would be
      transform_run(transform, a.out_row0 + r.i, a.out_col0 + r.j0, r.n, copy_x, copy_y);
    } else {
      row_x = a.map_x + r.i * a.map_x_stride0 + r.j0 * a.map_x_stride1;
      row_y = a.map_y + r.i * a.map_y_stride0 + r.j0 * a.map_y_stride1;
      raw_x = map_run(row_x, a.map_x_stride1, r.n, a.maps_f32, copy_x);
      raw_y = map_run(row_y, a.map_y_stride1, r.n, a.maps_f32, copy_y);
    }
    const auto unit = [](double c) { return c >= 0.0 && c <= 1.0; };  // false for NaN
    const bool inside = affine_rows && unit(copy_x[0]) && unit(copy_x[r.n - 1]) &&
                        unit(copy_y[0]) && unit(copy_y[r.n - 1]);
    vl any = simd::splat_i64(0), any_nan = simd::splat_i64(0);
    for (int m = 0; m < r.n && !inside; m += simd::kLanes) {
      const vd vx = simd::load(raw_x + m);
      const vd vy = simd::load(raw_y + m);
      const vd zero = simd::splat(0.0), one = simd::splat(1.0);
      const vl out = (vx < zero) | (vx > one) | (vy < zero) | (vy > one);
      const vl blend = all_blend | (out & outside_blends);
      vl nan = (vx != vx) | (vy != vy);
      if (folding) nan |= (simd::abs(vx) == simd::splat(kInf)) | (simd::abs(vy) == simd::splat(kInf));
      simd::store(r.outside + m, out);
      simd::store(r.blend + m, blend);
      simd::store(r.nan + m, nan);
      any |= blend;
      any_nan |= nan;
    }
    r.any_blend = simd::any(any);
    r.any_nan = simd::any(any_nan);
    if (a.maps_f32 && row_x != nullptr && r.any_nan) {
      notes |= signalling_note(row_x, a.map_x_stride1, r.n, kSignallingMapX) |
               signalling_note(row_y, a.map_y_stride1, r.n, kSignallingMapY);
    }
    if (r.any_blend) {
      for (int m = 0; m < r.n; ++m)
        if (r.blend[m]) r.bp[m] = blend_pixel(a, ctx, raw_x[m], raw_y[m]);
    }
    if (inside) {
      plan_axis<K, false, Isa>(raw_x, r.n, cols_geom, r.cols, &col_cache);
      plan_axis<K, false, Isa>(raw_y, r.n, rows_geom, r.rows, &row_cache);
    } else if (clamping) {  // resolution by clamping happens inside the planning
      plan_axis<K, true, Isa>(raw_x, r.n, cols_geom, r.cols, &col_cache);
      plan_axis<K, true, Isa>(raw_y, r.n, rows_geom, r.rows, &row_cache);
    } else {
      resolve_run(a.border_mode, raw_x, x, r.n);
      resolve_run(a.border_mode, raw_y, y, r.n);
      plan_axis<K, false, Isa>(x, r.n, cols_geom, r.cols, &col_cache);
      plan_axis<K, false, Isa>(y, r.n, rows_geom, r.rows, &row_cache);
    }
    if constexpr (K::shape == TapShape::weighted) sum_weights_2d<K>(r.rows, r.cols, r.n, r.sumw);
    for (int m = 0; m < r.n; m += prefetch_step) {
      const char* p = a.src + r.cols.off[0][m];
      __builtin_prefetch(p + r.rows.off[0][m]);
      if constexpr (K::taps > 1) __builtin_prefetch(p + r.rows.off[K::taps - 1][m]);
    }
    return true;
  }
};

}  // namespace detail

template <class K, class S, class D>
int remap2d_rows_for(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  // The whole row pipeline in one copy per instruction set (simd.hpp); with
  // AVX2 the planning vectors take one register each.
  return simd::dispatch([&]<class Isa>() {
    detail::RowPlanner<K, S> positions(a, row_begin, row_end);
    const int errors = detail::run_pipeline<D, Isa>(positions);
    return errors | positions.notes;
  });
}

}  // namespace tessaro::kernels
