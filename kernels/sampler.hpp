// The sampling of planned runs of output positions (kernels/axis_plan.hpp
// plans them).
//
// Tap indices and weights depend only on the position, never on the channel:
// a plan holds them once per position, and sampling only accumulates values,
// in the required order. Vector lanes hold either four positions (single
// channels) or the adjacent channels of one position (groups of 2 to 4);
// each lane performs exactly the operations, in exactly the order, of the
// scalar formula for its own position and channel (no operation mixes
// lanes), so results are those of the scalar formula bit for bit. (Build
// with -ffp-contract=off: a fused multiply-add would change the last bit.)
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/axis_plan.hpp"
#include "kernels/interpolation.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"
#include "kernels/taps.hpp"

namespace tessaro::kernels {

template <int G>
struct Channels {
  static constexpr int value = G;
};

// Calls f(k0, Channels<G>{}) over [0, C) in groups of at most four adjacent
// channels, in increasing order.
template <class F>
inline void for_channel_groups(int64_t C, F&& f) {
  int64_t k = 0;
  for (; C - k >= 4; k += 4) f(k, Channels<4>{});
  switch (C - k) {
    case 3:
      f(k, Channels<3>{});
      return;
    case 2:
      f(k, Channels<2>{});
      return;
    case 1:
      f(k, Channels<1>{});
      return;
    default:
      return;
  }
}

namespace detail {

// sumw == 0 ? 0 : acc / sumw, lane by lane (a NaN sum still divides).
[[gnu::always_inline]] inline simd::vd normalise(simd::vd acc, simd::vd sumw) noexcept {
  return simd::select(sumw == simd::splat(0.0), simd::splat(0.0), acc / sumw);
}

// Whether the T taps of each of the four positions from m0 are T adjacent
// elements of S (given adjacent samples: no tap clamped at an edge).
template <class K, class S>
[[gnu::always_inline]] inline bool taps_adjacent(const AxisPlan<K>& plan, int m0) noexcept {
  const simd::vl span = simd::load(plan.off[K::taps - 1] + m0) - simd::load(plan.off[0] + m0);
  const simd::vl same = span == simd::splat_i64((K::taps - 1) * static_cast<int64_t>(sizeof(S)));
  return (same[0] & same[1] & same[2] & same[3]) != 0;
}

// The T adjacent taps of four positions, starting at first[l] for lane l,
// as T vectors with the positions in the lanes: one load per position and
// a transpose instead of T gathers.
template <class S, int T, class Isa>
[[gnu::always_inline]] inline void load_adjacent_taps(const char* const first[4],
                                                      simd::vd v[T]) noexcept {
  static_assert(T % 2 == 0);
  constexpr int64_t size = sizeof(S);
  int c0 = 0;
  for (; c0 + 4 <= T; c0 += 4) {
    for (int l = 0; l < 4; ++l) v[c0 + l] = simd::load_four<S, Isa>(first[l] + c0 * size);
    simd::transpose4(v + c0);
  }
  if constexpr (T % 4 == 2) {
    simd::unzip_pairs(simd::load_two<S>(first[0] + c0 * size), simd::load_two<S>(first[1] + c0 * size),
                      simd::load_two<S>(first[2] + c0 * size), simd::load_two<S>(first[3] + c0 * size),
                      v[c0], v[c0 + 1]);
  }
}

// 8-bit pictures: two positions at a time in float.
//
// A result is a double r (the formulas below) saturated to the nearest
// level. The same formula in float, on eight lanes (four channels of each
// of two positions), lands within a proven bound E of r; where the float
// result lies more than E from the nearest half-integer, r rounds to the
// same level, and that lane is written from the float result. A position
// with a lane closer to a half-integer (or NaN, or outside the bound's
// assumptions) is left to the double formula: the functions return bit p
// set for each position p of the pair that they wrote.

// The taps of positions m and m + 1 at byte offsets a and b from src, four
// elements each, as floats (exact).
template <class S, class Isa>
[[gnu::always_inline]] inline simd::vf8 load_pair(const char* a, const char* b) noexcept {
  simd::v8<S> v;
  std::memcpy(&v, a, 4);
  std::memcpy(reinterpret_cast<char*>(&v) + 4, b, 4);
  return Isa::template bytes_to_f32<S>(v);
}

[[gnu::always_inline]] inline simd::vf8 pair_of(double a, double b) noexcept {
  const float x = static_cast<float>(a), y = static_cast<float>(b);
  return simd::vf8{x, x, x, x, y, y, y, y};
}

// Writes the positions of the pair whose G lanes of r all lie less than
// 0.5 - E from their nearest integer, as those integers saturated into S.
template <class S, int G, class Isa, class Sink>
[[gnu::always_inline]] inline int put_certain_levels(simd::vf8 r, float half_minus_e, int m,
                                                     Sink& sink) noexcept {
  using simd::vf8;
  using simd::vi8;
  // The nearest integer (ties to even; |r| < 2^22), and r's distance from
  // it, exact (they lie within 0.5 of each other). NaN lanes fail the test.
  const float big = 12582912.0f;
  const vf8 magic = {big, big, big, big, big, big, big, big};
  const vf8 k = (r + magic) - magic;
  const vf8 d = (vf8)((vi8)(r - k) & 0x7fffffff);
  const float h = half_minus_e;
  const vi8 certain = (vi8)(d < vf8{h, h, h, h, h, h, h, h});
  const int near = Isa::mask8(certain);
  constexpr int lanes = (1 << G) - 1;
  const int ok = ((near & lanes) == lanes ? 1 : 0) | (((near >> 4) & lanes) == lanes ? 2 : 0);
  if (ok == 0) return 0;
  // Only certain lanes convert (the others, NaN among them, become 0 first);
  // levels beyond the type's range saturate, as the double result would.
  constexpr int32_t lo = std::numeric_limits<S>::min(), hi = std::numeric_limits<S>::max();
  vi8 level = __builtin_convertvector((vf8)((vi8)k & certain), vi8);
  level = level < lo ? lo : level;
  level = level > hi ? hi : level;
  using bytes = uint8_t __attribute__((vector_size(32)));
  const bytes lb = (bytes)level;
  const auto packed = __builtin_shufflevector(lb, lb, 0, 4, 8, 12, 16, 20, 24, 28);
  simd::v4<S> p0, p1;
  std::memcpy(&p0, &packed, 4);
  std::memcpy(&p1, reinterpret_cast<const char*>(&packed) + 4, 4);
  if (ok & 1) sink.template levels<G>(m, p0);
  if (ok & 2) sink.template levels<G>(m + 1, p1);
  return ok;
}

// Bilinear: r = (b - t) * fy + t, with t = (tr - tl) * fx + tl and b =
// (br - bl) * fx + bl. In float the taps and their differences are exact,
// fx and fy lie in [0, 1] and lose at most 2^-24 each when narrowed, every
// value stays within [-255, 255], and each of the five operations adds at
// most 255 * 2^-24 to what it is given: E = 13 * 255 * 2^-24 < 2^-12 (the
// double formula's own error is some 2^-40 on top).
template <class S, int G, class Isa, class K, class Sink>
[[gnu::always_inline]] inline int linear_levels_pair(const char* src, const AxisPlan<K>& rows,
                                                     const AxisPlan<K>& cols, int m,
                                                     Sink& sink) noexcept {
  using simd::vf8;
  const double fx0 = cols.frac[m], fx1 = cols.frac[m + 1];
  const double fy0 = rows.frac[m], fy1 = rows.frac[m + 1];
  // Ordered comparisons: NaN fractions are left to the double formula too.
  if (!(fx0 >= 0.0 && fx0 <= 1.0 && fx1 >= 0.0 && fx1 <= 1.0 && fy0 >= 0.0 && fy0 <= 1.0 &&
        fy1 >= 0.0 && fy1 <= 1.0))
    return 0;
  const auto tap = [&](int r, int c) {
    return load_pair<S, Isa>(src + rows.off[r][m] + cols.off[c][m],
                             src + rows.off[r][m + 1] + cols.off[c][m + 1]);
  };
  const vf8 fx = pair_of(fx0, fx1), fy = pair_of(fy0, fy1);
  const vf8 tl = tap(0, 0), tr = tap(0, 1), bl = tap(1, 0), br = tap(1, 1);
  const vf8 t = (tr - tl) * fx + tl;
  const vf8 b = (br - bl) * fx + bl;
  return put_certain_levels<S, G, Isa>((b - t) * fy + t, 0.5f - 0x1p-12f, m, sink);
}

// Catmull-Rom: r = acc / sumw, acc the sum over rows, then columns, of
// (wx * v) * wy. In float each term is within 4 * 2^-24 of its value
// relative (two narrowed weights, two products), the 15 additions add at
// most 15 * 2^-24 times the sum of the terms' magnitudes, and the division
// and the narrowed sumw 2^-24 each relative: with sx and sy the sums of
// the weights' magnitudes along each axis, E <= 21.2 * 255 * sx * sy /
// sumw * 2^-24. The float path takes positions with sx, sy <= 1.5 and
// sumw >= 0.5 (about 1): E < 2^-9. Positions planned four at a time have
// exact distances to their taps, and the kernel's weights at a point's
// distances to all integers have magnitudes summing to 1 + f * (1 - f) <=
// 1.25 (f its fractional part; rounding adds some 2^-50), so the sums are
// formed only in runs with `far` positions (planned one at a time).
template <class S, int G, class Isa, class K, class Sink>
[[gnu::always_inline]] inline int cubic_levels_pair(const char* src, const AxisPlan<K>& rows,
                                                    const AxisPlan<K>& cols, const double* sumw,
                                                    bool far, int m, Sink& sink) noexcept {
  using simd::vf8;
  constexpr int T = K::taps;
  const auto bounded = [&](int p) {
    double sx = 0.0, sy = 0.0;
    for (int t = 0; t < T; ++t) {
      sx += std::fabs(cols.w[t][p]);
      sy += std::fabs(rows.w[t][p]);
    }
    return sx <= 1.5 && sy <= 1.5;  // false for NaN
  };
  if (!(sumw[m] >= 0.5 && sumw[m + 1] >= 0.5)) return 0;  // false for NaN
  if (far && (!bounded(m) || !bounded(m + 1))) return 0;
  vf8 wx[T];
  for (int c = 0; c < T; ++c) wx[c] = pair_of(cols.w[c][m], cols.w[c][m + 1]);
  vf8 acc = {};
  for (int r = 0; r < T; ++r) {
    const char* row0 = src + rows.off[r][m];
    const char* row1 = src + rows.off[r][m + 1];
    const vf8 wy = pair_of(rows.w[r][m], rows.w[r][m + 1]);
    for (int c = 0; c < T; ++c)
      acc = (wx[c] * load_pair<S, Isa>(row0 + cols.off[c][m], row1 + cols.off[c][m + 1])) * wy +
            acc;
  }
  return put_certain_levels<S, G, Isa>(acc / pair_of(sumw[m], sumw[m + 1]), 0.5f - 0x1p-9f, m,
                                       sink);
}

}  // namespace detail

// Sampling a planned run hands its results to a sink, which has
//   lanes(m0, count, v) channel 0 of positions m0 .. m0 + count - 1 (single
//                       channel groups, four positions per vector);
//   pixel<G>(m, v)      channels 0 .. G-1 of position m in lanes 0 .. G-1.
//
// A group of G >= 2 channels is sampled one position at a time with the
// channels in the vector lanes (adjacent in memory, so one load per tap); a
// single channel four positions at a time with the positions in the lanes.
// Either way each lane computes its own channel of its own position with
// the scalar formula's operations in their order.

// Channels [0, G) (from `src`, the source's first element at channel k0) of
// the n positions of a planned 2-D run.
//
// `wide_limit` is the last address from which four elements of S can be
// read without leaving the source: positions whose taps all lie at or below
// it load their channel groups four elements wide (the lanes past G are
// ignored), the others exactly G elements. `unit_cols`: the source's columns
// are adjacent elements (a single contiguous channel).
template <class K, class S, int G, class Isa, class Sink>
inline void sample_run_2d(const char* src, const AxisPlan<K>& rows, const AxisPlan<K>& cols,
                          const double* sumw, int n, uintptr_t wide_limit, bool unit_cols,
                          Sink& sink) noexcept {
  using simd::splat;
  using simd::vd;
  constexpr int L = simd::kLanes;
  constexpr int T = K::taps;
  if constexpr (K::shape == TapShape::nearest && Sink::template copies<S>) {
    for (int m = 0; m < n; ++m) sink.template copy<G>(m, src + rows.off[0][m] + cols.off[0][m]);
  } else if constexpr (G >= 2) {
    const auto position = [&](int m, auto load) {
      if constexpr (K::shape == TapShape::nearest) {
        sink.template pixel<G>(m, load(src + rows.off[0][m] + cols.off[0][m]));
      } else if constexpr (K::shape == TapShape::linear) {
        const char* top = src + rows.off[0][m];
        const char* bottom = src + rows.off[1][m];
        const vd fx = splat(cols.frac[m]);
        const vd tl = load(top + cols.off[0][m]);
        const vd tr = load(top + cols.off[1][m]);
        const vd bl = load(bottom + cols.off[0][m]);
        const vd br = load(bottom + cols.off[1][m]);
        const vd t = (tr - tl) * fx + tl;
        const vd b = (br - bl) * fx + bl;
        sink.template pixel<G>(m, (b - t) * splat(rows.frac[m]) + t);
      } else {
        vd wx[T];
        for (int c = 0; c < T; ++c) wx[c] = splat(cols.w[c][m]);
        vd acc = splat(0.0);
        for (int r = 0; r < T; ++r) {
          const char* row = src + rows.off[r][m];
          const vd wy = splat(rows.w[r][m]);
          for (int c = 0; c < T; ++c) acc = (wx[c] * load(row + cols.off[c][m])) * wy + acc;
        }
        sink.template pixel<G>(m, detail::normalise(acc, splat(sumw[m])));
      }
    };
    const auto wide = [](const char* p) { return simd::load_four<S, Isa>(p); };
    const auto exact = [](const char* p) { return simd::load_channels<S, G, Isa>(p); };
    // Offsets grow (or shrink, for a negative stride) with the tap index, so
    // a position's highest tap is at its first or last row and column.
    const auto highest = [&](int m) {
      return reinterpret_cast<uintptr_t>(src) +
             static_cast<uintptr_t>(std::max(rows.off[0][m], rows.off[T - 1][m]) +
                                    std::max(cols.off[0][m], cols.off[T - 1][m]));
    };
    bool all_wide = G == 4;
    if (!all_wide) {
      uintptr_t top = 0;
      for (int m = 0; m < n; ++m) top = std::max(top, highest(m));
      all_wide = top <= wide_limit;
    }
    const auto one = [&](int m) {
      if (all_wide || highest(m) <= wide_limit)
        position(m, wide);
      else
        position(m, exact);
    };
    int m = 0;
    if constexpr (K::shape != TapShape::nearest && T <= 4 && Sink::template copies<S> &&
                  sizeof(S) == 1) {
      // 8-bit levels: pairs of positions in float where that is certain to
      // give the level the double result rounds to (the four-element
      // loads need the wide positions).
      [[maybe_unused]] const bool far = rows.far || cols.far;
      const auto pair = [&](int p) {
        if constexpr (K::shape == TapShape::linear)
          return detail::linear_levels_pair<S, G, Isa>(src, rows, cols, p, sink);
        else
          return detail::cubic_levels_pair<S, G, Isa>(src, rows, cols, sumw, far, p, sink);
      };
      for (; m + 2 <= n; m += 2) {
        const int done =
            all_wide || std::max(highest(m), highest(m + 1)) <= wide_limit ? pair(m) : 0;
        if (!(done & 1)) one(m);
        if (!(done & 2)) one(m + 1);
      }
    }
    for (; m < n; ++m) one(m);
  } else if constexpr (K::shape == TapShape::nearest) {
    for (int m0 = 0; m0 < n; m0 += L) {
      const int count = n - m0 < L ? n - m0 : L;
      sink.lanes(m0, count,
                 simd::gather<S>(src, simd::load(rows.off[0] + m0) + simd::load(cols.off[0] + m0)));
    }
  } else {
    // With adjacent source columns (unit_cols), the column taps of a
    // position are adjacent elements unless clamped at an edge; four
    // positions then read their taps of a row with one load each.
    for (int m0 = 0; m0 < n; m0 += L) {
      const int count = n - m0 < L ? n - m0 : L;
      const bool adjacent = unit_cols && detail::taps_adjacent<K, S>(cols, m0);
      // The taps of row r, one vector per column tap.
      const auto row_taps = [&](int r, vd* v) {
        if (adjacent) {
          const char* first[L];
          for (int l = 0; l < L; ++l) first[l] = src + rows.off[r][m0 + l] + cols.off[0][m0 + l];
          detail::load_adjacent_taps<S, T, Isa>(first, v);
        } else {
          for (int c = 0; c < T; ++c)
            v[c] = simd::gather<S>(src, simd::load(rows.off[r] + m0) + simd::load(cols.off[c] + m0));
        }
      };
      if constexpr (K::shape == TapShape::linear) {
        const vd fx = simd::load(cols.frac + m0);
        vd top[2], bottom[2];
        row_taps(0, top);
        row_taps(1, bottom);
        const vd t = (top[1] - top[0]) * fx + top[0];
        const vd b = (bottom[1] - bottom[0]) * fx + bottom[0];
        sink.lanes(m0, count, (b - t) * simd::load(rows.frac + m0) + t);
      } else {
        vd acc = splat(0.0);
        for (int r = 0; r < T; ++r) {
          const vd wy = simd::load(rows.w[r] + m0);
          vd v[T];
          row_taps(r, v);
          for (int c = 0; c < T; ++c) acc = (simd::load(cols.w[c] + m0) * v[c]) * wy + acc;
        }
        sink.lanes(m0, count, detail::normalise(acc, simd::load(sumw + m0)));
      }
    }
  }
}

// The 1-D counterpart: channels [0, G) of the n positions of a planned run
// along the source's rows; `unit_samples`: the samples are adjacent
// elements (a single contiguous channel).
template <class K, class S, int G, class Isa, class Sink>
inline void sample_run_1d(const char* src, const AxisPlan<K>& plan, int n, bool unit_samples,
                          Sink& sink) noexcept {
  using simd::splat;
  using simd::vd;
  constexpr int L = simd::kLanes;
  constexpr int T = K::taps;
  if constexpr (K::shape == TapShape::nearest && Sink::template copies<S>) {
    for (int m = 0; m < n; ++m) sink.template copy<G>(m, src + plan.off[0][m]);
  } else if constexpr (G >= 2) {
    for (int m = 0; m < n; ++m) {
      if constexpr (K::shape == TapShape::nearest) {
        sink.template pixel<G>(m, simd::load_channels<S, G, Isa>(src + plan.off[0][m]));
      } else if constexpr (K::shape == TapShape::linear) {
        const vd v0 = simd::load_channels<S, G, Isa>(src + plan.off[0][m]);
        const vd v1 = simd::load_channels<S, G, Isa>(src + plan.off[1][m]);
        sink.template pixel<G>(m, (v1 - v0) * splat(plan.frac[m]) + v0);
      } else {
        vd acc = splat(0.0);
        for (int t = 0; t < T; ++t)
          acc = splat(plan.w[t][m]) * simd::load_channels<S, G, Isa>(src + plan.off[t][m]) + acc;
        sink.template pixel<G>(m, detail::normalise(acc, splat(plan.sumw[m])));
      }
    }
  } else if constexpr (K::shape == TapShape::nearest) {
    for (int m0 = 0; m0 < n; m0 += L) {
      const int count = n - m0 < L ? n - m0 : L;
      sink.lanes(m0, count, simd::gather<S>(src, simd::load(plan.off[0] + m0)));
    }
  } else {
    for (int m0 = 0; m0 < n; m0 += L) {
      const int count = n - m0 < L ? n - m0 : L;
      vd v[T];
      if (unit_samples && detail::taps_adjacent<K, S>(plan, m0)) {
        const char* first[L];
        for (int l = 0; l < L; ++l) first[l] = src + plan.off[0][m0 + l];
        detail::load_adjacent_taps<S, T, Isa>(first, v);
      } else {
        for (int t = 0; t < T; ++t) v[t] = simd::gather<S>(src, simd::load(plan.off[t] + m0));
      }
      if constexpr (K::shape == TapShape::linear) {
        sink.lanes(m0, count, (v[1] - v[0]) * simd::load(plan.frac + m0) + v[0]);
      } else {
        vd acc = splat(0.0);
        for (int t = 0; t < T; ++t) acc = simd::load(plan.w[t] + m0) * v[t] + acc;
        sink.lanes(m0, count, detail::normalise(acc, simd::load(plan.sumw + m0)));
      }
    }
  }
}

// Sinks for sampled runs. DirectSink writes the output elements (the plain
// channel loop); StagingSink keeps the samples for the blend loop.
//
// A sink whose `copies<S>` holds also takes copy<G>(m, p): the G elements
// of S at p are position m's results as they stand. That is the case of a
// nearest sample written to an integer output of the source's own type:
// the value converts to double exactly and rounds and saturates back to
// itself, so the copy writes the bits the conversion would.
// Results written one at a time with writer->put (for float output, each
// narrowing watched for floating-point exceptions).
template <class D, class W>
struct StrictSink {
  template <class S>
  static constexpr bool copies = false;
  char* out;
  int64_t stride;
  W* writer;

  void lanes(int m0, int count, simd::vd v) noexcept {
    for (int l = 0; l < count; ++l) writer->put(out + (m0 + l) * stride, v[l]);
  }
  template <int G>
  void pixel(int m, simd::vd v) noexcept {
    for (int g = 0; g < G; ++g) writer->put(out + m * stride + element_offset<D>(g), v[g]);
  }
};

template <class D, class W>
struct DirectSink {
  template <class S>
  static constexpr bool copies = std::is_same_v<S, D> && std::is_integral_v<D>;
  char* out;       // the run's first output element, at the group's first channel
  int64_t stride;  // bytes between output positions
  W* writer;

  template <int G>
  void copy(int m, const char* p) noexcept {
    std::memcpy(out + m * stride, p, sizeof(D) * G);
  }
  // Position m's results as levels of D, already rounded and saturated.
  template <int G>
  void levels(int m, simd::v4<D> d) noexcept {
    writer->template put_levels<G>(out + m * stride, d);
  }

  void lanes(int m0, int count, simd::vd v) noexcept {
    writer->put_lanes(out + m0 * stride, stride, count, v);
  }
  template <int G>
  void pixel(int m, simd::vd v) noexcept {
    writer->template put_channels<G>(out + m * stride, v);
  }
};

template <int G>
struct StagingSink {
  template <class S>
  static constexpr bool copies = false;
  double e[kRun][G];

  void lanes(int m0, int count, simd::vd v) noexcept {
    for (int l = 0; l < count; ++l) e[m0 + l][0] = v[l];
  }
  template <int GG>
  void pixel(int m, simd::vd v) noexcept {
    for (int g = 0; g < G; ++g) e[m][g] = v[g];
  }
};

}  // namespace tessaro::kernels
