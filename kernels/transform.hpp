// Positions from a geometric transform of the output pixel's coordinates,
// in place of coordinate maps.
//
// A 3x3 row-major matrix t takes output pixel (x = column, y = row) to
// source pixel (xs, ys); the unit coordinates are those pixel positions over
// the source's (W - 1) and (H - 1) (over 1 along a one-sample axis):
//   xs = (t[0] * x + t[1] * y) + t[2]
//   ys = (t[3] * x + t[4] * y) + t[5]
//   perspective: w = (t[6] * x + t[7] * y) + t[8]; xs / w, ys / w, and both
//     NaN where !(w > 0) (beyond the horizon)
//   u = xs / sx, v = ys / sy
// in double, in this order, without contraction: tessaro.maps builds the
// same maps in NumPy, and a warp through them gives the same bits. One
// formula serves the planning (four lanes at a time) and the windows
// (one position at a time), so that both see the same doubles.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "kernels/simd.hpp"

namespace tessaro::kernels {

// A transform as the kernels read it.
struct Transform {
  const double* t = nullptr;  // 9 entries, row-major
  bool perspective = false;
  double sx = 1.0;  // source pixels per unit along x and y
  double sy = 1.0;

  Transform() noexcept = default;
  Transform(const double* t_, bool perspective_, int64_t src_H, int64_t src_W) noexcept
      : t(t_),
        perspective(perspective_),
        sx(static_cast<double>(std::max<int64_t>(src_W - 1, 1))),
        sy(static_cast<double>(std::max<int64_t>(src_H - 1, 1))) {}
};

namespace detail {

[[gnu::always_inline]] inline double before_horizon(double w, double value) noexcept {
  return w > 0.0 ? value : std::numeric_limits<double>::quiet_NaN();
}

[[gnu::always_inline]] inline simd::vd before_horizon(simd::vd w, simd::vd value) noexcept {
  return simd::select(w > simd::splat(0.0), value,
                      simd::splat(std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace detail

// A transform's numbers as V: double for one pixel, simd::vd (each number
// in every lane) for four. Made once per run, so that a loop does not
// rebuild its vectors.
template <class V>
struct Coefficients {
  V t[9];
  V sx, sy;

  explicit Coefficients(const Transform& tf) noexcept {
    const auto lift = [](double k) {
      if constexpr (std::is_same_v<V, double>) {
        return k;
      } else {
        return simd::splat(k);
      }
    };
    for (int k = 0; k < 9; ++k) t[k] = lift(tf.t[k]);
    sx = lift(tf.sx);
    sy = lift(tf.sy);
  }
};

// The unit coordinates (u, v) of output pixel (x, y), one pixel (V =
// double) or four (V = simd::vd): the formula, in its order.
template <bool kPerspective, class V>
[[gnu::always_inline]] inline void transform_unit(const Coefficients<V>& c, V x, V y, V& u,
                                                  V& v) noexcept {
  const V* t = c.t;
  V xs = (t[0] * x + t[1] * y) + t[2];
  V ys = (t[3] * x + t[4] * y) + t[5];
  if constexpr (kPerspective) {
    const V w = (t[6] * x + t[7] * y) + t[8];
    xs = detail::before_horizon(w, xs / w);
    ys = detail::before_horizon(w, ys / w);
  }
  u = xs / c.sx;
  v = ys / c.sy;
}

// One pixel.
template <bool kPerspective>
inline void transform_unit(const Transform& tf, double x, double y, double& u, double& v) noexcept {
  transform_unit<kPerspective>(Coefficients<double>(tf), x, y, u, v);
}

inline void transform_unit(const Transform& tf, double x, double y, double& u, double& v) noexcept {
  if (tf.perspective)
    transform_unit<true>(tf, x, y, u, v);
  else
    transform_unit<false>(tf, x, y, u, v);
}

// The unit coordinates of output pixels (row, col0 + m) for m in [0, n),
// into u[] and v[], zeros in the lanes past n up to a whole vector. Column
// numbers below 2^53 (every output that fits in memory) are exact as
// doubles, so the lanes' x equal (double)(col0 + m).
template <bool kPerspective>
inline void transform_run(const Transform& tf, int64_t row, int64_t col0, int n, double* u,
                          double* v) noexcept {
  using simd::vd;
  const Coefficients<vd> c(tf);
  const vd y = simd::splat(static_cast<double>(row));
  const vd lanes = {0.0, 1.0, 2.0, 3.0};
  for (int m = 0; m < n; m += simd::kLanes) {
    const vd x = simd::splat(static_cast<double>(col0 + m)) + lanes;
    vd vu, vv;
    transform_unit<kPerspective>(c, x, y, vu, vv);
    simd::store(u + m, vu);
    simd::store(v + m, vv);
  }
  for (int m = n; m % simd::kLanes != 0; ++m) u[m] = v[m] = 0.0;
}

inline void transform_run(const Transform& tf, int64_t row, int64_t col0, int n, double* u,
                          double* v) noexcept {
  if (tf.perspective)
    transform_run<true>(tf, row, col0, n, u, v);
  else
    transform_run<false>(tf, row, col0, n, u, v);
}

}  // namespace tessaro::kernels
