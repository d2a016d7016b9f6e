// The per-pixel pipeline of the 2-D remap, over a block of output rows.
//
// Free of any interpreter or threading code: the module source wraps calls
// in its parallel loop (rows are independent, each call writes only its own
// rows of dst) and releases the interpreter lock around them.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

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

// Plain-data arguments of one 2-D remap. Pointers address element [0, 0(, 0)]
// of each array; strides are in bytes; the channel axis of src, dst and
// border_array is contiguous (border_array float64, src and dst of the
// element types remap2d_rows is instantiated for).
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

  const char* map_y = nullptr;  // (H, W): row coordinate, unit space
  int64_t map_y_stride0 = 0;
  int64_t map_y_stride1 = 0;

  const char* map_x = nullptr;  // (H, W): column coordinate, unit space
  int64_t map_x_stride0 = 0;
  int64_t map_x_stride1 = 0;

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

// The blend loop for channels [k0, k0 + G) of output pixel (i, j) at `out`.
// sample(e) fills e[0 .. G) with the samples (taken at the clamped
// coordinates); it is called only when some channel's blend reads them.
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
    writer.put(out + element_offset<D>(k0 + g),
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

// n map values from `row` (stride in bytes) into out[0 ..), zeros up to the
// next whole vector.
inline void load_map_run(const char* row, int64_t stride, int n, double* out) noexcept {
  if (stride == static_cast<int64_t>(sizeof(double))) {
    std::memcpy(out, row, static_cast<std::size_t>(n) * sizeof(double));
  } else {
    for (int m = 0; m < n; ++m) out[m] = load_f64(row + m * stride);
  }
  for (int m = n; m % simd::kLanes != 0; ++m) out[m] = 0.0;
}

// Whether a run of n map values at `row` can be read where it lies: a whole
// run of contiguous, aligned doubles.
inline bool in_place(const char* row, int64_t stride, int n) noexcept {
  return n == kRun && stride == static_cast<int64_t>(sizeof(double)) &&
         reinterpret_cast<uintptr_t>(row) % alignof(double) == 0;
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

// Plans the runs of kRun pixels of rows [row_begin, row_end), one after
// the other: border resolution, taps, weights and weight sums of all their
// pixels, with the first source lines of each run's pixels prefetched. The
// planning depends on the kernel only, not on the element types, so it is
// compiled once per kernel and instruction set (see plan_run) and called
// once per run.
template <class K>
struct RowPlanner {
  const Remap2D& a;
  const PixelContext ctx;
  const AxisGeometry rows_geom;
  const AxisGeometry cols_geom;
  const simd::vl all_blend;
  const simd::vl outside_blends;
  const bool clamping;
  // The folds turn an infinite coordinate into NaN: no position either.
  const bool folding;
  const int prefetch_step;
  const int64_t row_end;
  int64_t next_i;
  int64_t next_j = 0;
  WeightCache<K> row_cache;
  WeightCache<K> col_cache;

  RowPlanner(const Remap2D& a_, int64_t row_begin, int64_t row_end_, int64_t pixel_bytes) noexcept
      : a(a_),
        ctx(a_),
        rows_geom(a_.src_H, a_.src_stride0, a_.win_row0, a_.win_row0 + a_.win_rows - 1),
        cols_geom(a_.src_W, a_.src_stride1, a_.win_col0, a_.win_col0 + a_.win_cols - 1),
        all_blend(simd::splat_i64(ctx.value_mode && ctx.inward ? -1 : 0)),
        outside_blends(simd::splat_i64(ctx.value_mode ? -1 : 0)),
        clamping(a_.border_mode == border::CLAMP || ctx.value_mode),
        folding(folds(a_.border_mode)),
        // Neighbouring pixels mostly share source lines: about two
        // prefetches per line of pixels.
        prefetch_step(static_cast<int>(std::clamp<int64_t>(48 / std::max<int64_t>(1, pixel_bytes), 1, 8))),
        row_end(row_end_),
        next_i(row_begin) {}

  // Plans the next run into r; false when the rows are done.
  [[gnu::always_inline]] bool next(PlannedRun<K>& r) noexcept {
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
    // The map values: read in place for a whole run of a contiguous row,
    // else copied (zeros past the run).
    alignas(32) double copy_x[kRun], copy_y[kRun], x[kRun], y[kRun];
    const char* row_x = a.map_x + r.i * a.map_x_stride0 + r.j0 * a.map_x_stride1;
    const char* row_y = a.map_y + r.i * a.map_y_stride0 + r.j0 * a.map_y_stride1;
    const double* raw_x = reinterpret_cast<const double*>(row_x);
    const double* raw_y = reinterpret_cast<const double*>(row_y);
    if (!in_place(row_x, a.map_x_stride1, r.n)) {
      load_map_run(row_x, a.map_x_stride1, r.n, copy_x);
      raw_x = copy_x;
    }
    if (!in_place(row_y, a.map_y_stride1, r.n)) {
      load_map_run(row_y, a.map_y_stride1, r.n, copy_y);
      raw_y = copy_y;
    }
    vl any = simd::splat_i64(0), any_nan = simd::splat_i64(0);
    for (int m = 0; m < r.n; m += simd::kLanes) {
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
    if (r.any_blend) {
      for (int m = 0; m < r.n; ++m)
        if (r.blend[m]) r.bp[m] = blend_pixel(a, ctx, raw_x[m], raw_y[m]);
    }
    if (clamping) {  // resolution by clamping happens inside the planning
      plan_axis<K, true>(raw_x, r.n, cols_geom, r.cols, &col_cache);
      plan_axis<K, true>(raw_y, r.n, rows_geom, r.rows, &row_cache);
    } else {
      resolve_run(a.border_mode, raw_x, x, r.n);
      resolve_run(a.border_mode, raw_y, y, r.n);
      plan_axis<K>(x, r.n, cols_geom, r.cols, &col_cache);
      plan_axis<K>(y, r.n, rows_geom, r.rows, &row_cache);
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

// One run's planning, out of line, in the instruction set of the copy that
// calls it.
template <class K, class Isa>
[[gnu::noinline]] bool plan_run(RowPlanner<K>& planner, PlannedRun<K>& r) noexcept {
  auto body = [&]<class>() { return planner.next(r); };
  return simd::run_apart<Isa>(body);
}

// The rows [row_begin, row_end) in runs of kRun pixels, each planned one
// run ahead of its sampling, so that sampling finds its source lines in
// cache.
template <class K, class S, class D, class Isa>
inline int remap2d_rows_with(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  using W = Writer<D, Isa>;
  W writer;
  RowPlanner<K> planner(a, row_begin, row_end, element_offset<S>(a.C));
  const PixelContext& ctx = planner.ctx;
  // Lanczos planning stays inline: out of line it ran at a third of the
  // speed (measured on the 1024x1024x3 warp).
  const auto plan_next = [&](PlannedRun<K>& r) {
    if constexpr (K::taps > 4) {
      return planner.next(r);
    } else {
      return plan_run<K, Isa>(planner, r);
    }
  };
  PlannedRun<K> runs[2];
  // The source's highest element at hand, and from it the last address
  // where four elements can be read.
  const uintptr_t highest = reinterpret_cast<uintptr_t>(a.src) +
                           static_cast<uintptr_t>(std::max<int64_t>(0, (a.win_rows - 1) * a.src_stride0) +
                                                  std::max<int64_t>(0, (a.win_cols - 1) * a.src_stride1) +
                                                  element_offset<S>(a.C > 0 ? a.C - 1 : 0));
  const uintptr_t wide_limit = highest - static_cast<uintptr_t>(element_offset<S>(3));
  const bool unit_cols = a.src_stride1 == element_offset<S>(1);

  int cur = 0;
  bool have = plan_next(runs[cur]);
  while (have) {
    have = plan_next(runs[cur ^ 1]);
    const PlannedRun<K>& r = runs[cur];
    char* out_row = a.dst + r.i * a.dst_stride0 + r.j0 * a.dst_stride1;
    for_channel_groups(a.C, [&](int64_t k0, auto group) {
      constexpr int G = decltype(group)::value;
      const char* src = a.src + element_offset<S>(k0);
      if (!r.any_blend) {  // the plain loop for every pixel: write as sampled
        DirectSink<D, W> sink{out_row + element_offset<D>(k0), a.dst_stride1, &writer};
        sample_run_2d<K, S, G, Isa>(src, r.rows, r.cols, r.sumw, r.n, wide_limit, unit_cols, sink);
        if constexpr (W::kWatches) {
          if (writer.take_unusual()) {  // a value that may raise when narrowed: redo, watching
            StrictSink<D, W> strict{out_row + element_offset<D>(k0), a.dst_stride1, &writer};
            sample_run_2d<K, S, G, Isa>(src, r.rows, r.cols, r.sumw, r.n, wide_limit, unit_cols,
                                        strict);
          }
        }
        if (r.any_nan) put_nan<G, D>(r.nan, r.n, out_row + element_offset<D>(k0), a.dst_stride1, writer);
        return;
      }
      StagingSink<G> sink;
      sample_run_2d<K, S, G, Isa>(src, r.rows, r.cols, r.sumw, r.n, wide_limit, unit_cols, sink);
      for (int m = 0; m < r.n; ++m) {
        char* out = out_row + m * a.dst_stride1;
        if (!r.blend[m]) {
          for (int g = 0; g < G; ++g) writer.put(out + element_offset<D>(k0 + g), sink.e[m][g]);
          continue;
        }
        const auto sample = [&](double* into) {
          for (int g = 0; g < G; ++g) into[g] = sink.e[m][g];
        };
        blend_group<G, D>(a, ctx, r.i, r.j0 + m, r.outside[m] != 0, r.bp[m], k0, out, sample,
                          writer);
      }
      if (r.any_nan) put_nan<G, D>(r.nan, r.n, out_row + element_offset<D>(k0), a.dst_stride1, writer);
    });
    cur ^= 1;
  }
  return writer.errors;
}

}  // namespace detail

// Runs the per-pixel pipeline for output rows [row_begin, row_end) (clipped
// to [0, H)). Thread-safe for disjoint row ranges; allocates nothing, cannot
// fail. S and D are the element types of src and dst (the channel axis of
// each is contiguous in its own element size). Returns the floating-point
// exceptions raised by rounding results to float (always 0 for other
// outputs).
//
// Compiled once, in kernels/remap2d_*_types.cpp, for the pairs declared
// below, and linked into every module that samples images.
template <class S, class D>
int remap2d_rows(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  row_begin = std::max<int64_t>(row_begin, 0);
  row_end = std::min(row_end, a.H);
  if (row_begin >= row_end || a.W <= 0) return 0;
  int errors = 0;
  // The whole row pipeline in one copy per instruction set (simd.hpp); with
  // AVX2 the planning vectors take one register each.
  with_kernel(a.interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    errors = simd::dispatch([&]<class Isa>() {
      return detail::remap2d_rows_with<K, S, D, Isa>(a, row_begin, row_end);
    });
  });
  return errors;
}

extern template int remap2d_rows<double, double>(const Remap2D&, int64_t, int64_t) noexcept;
extern template int remap2d_rows<float, float>(const Remap2D&, int64_t, int64_t) noexcept;
extern template int remap2d_rows<uint8_t, uint8_t>(const Remap2D&, int64_t, int64_t) noexcept;
extern template int remap2d_rows<int8_t, int8_t>(const Remap2D&, int64_t, int64_t) noexcept;
extern template int remap2d_rows<uint16_t, uint16_t>(const Remap2D&, int64_t, int64_t) noexcept;
extern template int remap2d_rows<int16_t, int16_t>(const Remap2D&, int64_t, int64_t) noexcept;

}  // namespace tessaro::kernels
