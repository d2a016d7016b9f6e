// The per-pixel pipeline of the 2-D remap, over a block of output rows.
//
// Free of any interpreter or threading code: the module source wraps calls
// in its parallel loop (rows are independent, each call writes only its own
// rows of dst) and releases the interpreter lock around them.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

#include "kernels/axis_plan.hpp"
#include "kernels/border.hpp"
#include "kernels/border_value.hpp"
#include "kernels/feather.hpp"
#include "kernels/sampler.hpp"
#include "kernels/strided.hpp"

namespace tessaro::kernels {

// Plain-data arguments of one 2-D remap. Pointers address element [0, 0(, 0)]
// of each array; strides are in bytes; the channel axis of src, dst and
// border_array is contiguous (float64, except src and dst in the float32
// path of remap2d_rows).
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
template <int G, class D, class SampleFn>
inline void blend_group(const Remap2D& a, const PixelContext& ctx, int64_t i, int64_t j,
                        bool outside, const BlendPixel& bp, int64_t k0, char* out,
                        SampleFn&& sample, Writer<D>& writer) noexcept {
  const char* border_elem =
      ctx.array_mode && i < a.border_array_rows && j < a.border_array_cols
          ? a.border_array + i * a.border_array_stride0 + j * a.border_array_stride1
          : nullptr;
  double t[G], u[G], e[G] = {};
  bool needs_sample = false;
  for (int g = 0; g < G; ++g) {
    const int64_t k = k0 + g;
    t[g] = k < a.feather_d_len ? a.feather_d[k] : a.feathering_width;
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

// Resolution of a run of coordinates by mode.
inline void resolve_run(int32_t mode, const double* raw, double* out, int n) noexcept {
  switch (mode) {
    case border::CLAMP:
    case border::CONSTANT:
    case border::ARRAY:
      for (int m = 0; m < n; ++m) out[m] = clamp_unit(raw[m]);
      return;
    case border::REFLECT:
      for (int m = 0; m < n; ++m) out[m] = reflect_unit(raw[m]);
      return;
    case border::WRAP:
      for (int m = 0; m < n; ++m) out[m] = wrap_unit(raw[m]);
      return;
    case border::REFLECT_101:
      for (int m = 0; m < n; ++m) out[m] = reflect101_unit(raw[m]);
      return;
    default:
      for (int m = 0; m < n; ++m) out[m] = raw[m];
      return;
  }
}

// A run of up to kRun pixels of one row, planned ahead of its sampling.
template <class K>
struct PlannedRun {
  int64_t i = 0;
  int64_t j0 = 0;
  int n = 0;
  bool outside[kRun];
  bool blend[kRun];
  BlendPixel bp[kRun];
  AxisPlan<K> rows;
  AxisPlan<K> cols;
  double sumw[kRun];
};

// The rows [row_begin, row_end) in runs of kRun pixels. Each run is planned
// (border resolution, taps, weights and weight sums of all its pixels) one
// run ahead of its sampling, and the first source lines of its pixels are
// prefetched meanwhile, so that sampling finds them in cache.
template <class K, class S, class D>
inline int remap2d_rows_with(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  const AxisGeometry rows_geom(a.H, a.src_stride0);
  const AxisGeometry cols_geom(a.W, a.src_stride1);
  WeightCache<K> row_cache;
  WeightCache<K> col_cache;
  Writer<D> writer;
  const PixelContext ctx(a);
  PlannedRun<K> runs[2];

  int64_t next_i = row_begin;
  int64_t next_j = 0;
  const auto plan_next = [&](PlannedRun<K>& r) -> bool {
    if (next_i >= row_end) return false;
    r.i = next_i;
    r.j0 = next_j;
    r.n = static_cast<int>(std::min<int64_t>(kRun, a.W - next_j));
    next_j += r.n;
    if (next_j >= a.W) {
      next_j = 0;
      ++next_i;
    }
    const char* mx = a.map_x + r.i * a.map_x_stride0 + r.j0 * a.map_x_stride1;
    const char* my = a.map_y + r.i * a.map_y_stride0 + r.j0 * a.map_y_stride1;
    double raw_x[kRun], raw_y[kRun], x[kRun], y[kRun];
    for (int m = 0; m < r.n; ++m) raw_x[m] = load_f64(mx + m * a.map_x_stride1);
    for (int m = 0; m < r.n; ++m) raw_y[m] = load_f64(my + m * a.map_y_stride1);
    for (int m = 0; m < r.n; ++m) {
      r.outside[m] = (raw_x[m] < 0) || (raw_x[m] > 1) || (raw_y[m] < 0) || (raw_y[m] > 1);
      r.blend[m] = ctx.blends(r.outside[m]);
      if (r.blend[m]) r.bp[m] = blend_pixel(a, ctx, raw_x[m], raw_y[m]);
    }
    resolve_run(a.border_mode, raw_x, x, r.n);
    resolve_run(a.border_mode, raw_y, y, r.n);
    for (int m = r.n; m % simd::kLanes != 0; ++m) x[m] = y[m] = 0.0;  // lanes past the run
    plan_axis<K>(x, r.n, cols_geom, r.cols, &col_cache);
    plan_axis<K>(y, r.n, rows_geom, r.rows, &row_cache);
    if constexpr (K::shape == TapShape::weighted) sum_weights_2d<K>(r.rows, r.cols, r.n, r.sumw);
    for (int m = 0; m < r.n; ++m) {
      const char* p = a.src + r.cols.idx[0][m] * a.src_stride1;
      __builtin_prefetch(p + r.rows.idx[0][m] * a.src_stride0);
      if constexpr (K::taps > 1) __builtin_prefetch(p + r.rows.idx[K::taps - 1][m] * a.src_stride0);
    }
    return true;
  };

  int cur = 0;
  bool have = plan_next(runs[cur]);
  while (have) {
    have = plan_next(runs[cur ^ 1]);
    const PlannedRun<K>& r = runs[cur];
    char* out_row = a.dst + r.i * a.dst_stride0 + r.j0 * a.dst_stride1;
    for_channel_groups(a.C, [&](int64_t k0, auto group) {
      constexpr int G = decltype(group)::value;
      double e[kRun][4];
      sample_run_2d<K, S, G>(a.src + element_offset<S>(k0), a.src_stride0, a.src_stride1, r.rows,
                             r.cols, r.sumw, r.n, e);
      for (int m = 0; m < r.n; ++m) {
        char* out = out_row + m * a.dst_stride1;
        if (!r.blend[m]) {
          for (int g = 0; g < G; ++g) writer.put(out + element_offset<D>(k0 + g), e[m][g]);
          continue;
        }
        const auto sample = [&](double* into) {
          for (int g = 0; g < G; ++g) into[g] = e[m][g];
        };
        blend_group<G, D>(a, ctx, r.i, r.j0 + m, r.outside[m], r.bp[m], k0, out, sample, writer);
      }
    });
    cur ^= 1;
  }
  return writer.errors;
}

// The whole row pipeline compiled twice: for the baseline instruction set
// and with AVX2, where the planning vectors take one register each. Both
// perform the same IEEE operations (no FMA: contraction is off), so the
// choice between them changes speed only.
template <class K, class S, class D>
[[gnu::flatten]] int rows_baseline(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  return remap2d_rows_with<K, S, D>(a, row_begin, row_end);
}

template <class K, class S, class D>
[[gnu::flatten, gnu::target("avx2")]] int rows_avx2(const Remap2D& a, int64_t row_begin,
                                                    int64_t row_end) noexcept {
  return remap2d_rows_with<K, S, D>(a, row_begin, row_end);
}

}  // namespace detail

// Runs the per-pixel pipeline for output rows [row_begin, row_end) (clipped
// to [0, H)). Thread-safe for disjoint row ranges; allocates nothing, cannot
// fail. S and D are the element types of src and dst (double or float; the
// channel axis of each is contiguous in its own element size). Returns the
// floating-point exceptions raised by rounding results to float (always 0
// for double output).
template <class S = double, class D = double>
inline int remap2d_rows(const Remap2D& a, int64_t row_begin, int64_t row_end) noexcept {
  row_begin = std::max<int64_t>(row_begin, 0);
  row_end = std::min(row_end, a.H);
  if (row_begin >= row_end || a.W <= 0) return 0;
  int errors = 0;
  const bool avx2 = cpu_has_avx2();
  with_kernel(a.interpolation, [&](auto kernel) {
    using K = decltype(kernel);
    errors = avx2 ? detail::rows_avx2<K, S, D>(a, row_begin, row_end)
                  : detail::rows_baseline<K, S, D>(a, row_begin, row_end);
  });
  return errors;
}

}  // namespace tessaro::kernels
