// Feathering: the soft transition between the sampled image and the border
// value in CONSTANT and ARRAY modes.
//
// Distances are unit-space distances scaled by the multiplier of the side
// concerned. A side is enabled when its multiplier is >= 0 (ordered: NaN
// disables it).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tessaro::kernels {

// feathering_mode value selecting inward feathering; any other is outward.
inline constexpr int32_t kFeatherInward = 1;

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// distance_mode codes of the outward combination, as in DistanceMode
// (tessaro/core/enums.py). 0, 7 and every unnamed code are Euclidean.
namespace distance {
inline constexpr int32_t EUCLIDEAN = 0;
inline constexpr int32_t CHEBYSHEV = 1;
inline constexpr int32_t MANHATTAN = 2;
inline constexpr int32_t SCALED_MANHATTAN = 3;
inline constexpr int32_t OCTAGONAL = 4;
inline constexpr int32_t MAX_PLUS_HALF_MIN = 5;
inline constexpr int32_t QUADRATIC_CORRECTED = 6;
inline constexpr int32_t ALPHA_MAX_BETA_MIN = 8;
}  // namespace distance

namespace detail {

// Distance of a coordinate outside [0, 1] from the edge it crossed
// (+inf when that side is disabled). Returns false when v is inside or NaN.
inline bool outside_distance(double v, double mu, double mo, double& d) noexcept {
  if (v < 0) {
    d = mu >= 0 ? (-v) * mu : kInf;
    return true;
  }
  if (v > 1) {
    d = mo >= 0 ? (v - 1) * mo : kInf;
    return true;
  }
  return false;
}

// Inward distance of an inside (or NaN) coordinate to its enabled sides.
// The 2-D and 1-D rules differ only in how two enabled sides combine and in
// what "no side enabled" yields, hence the parameter.
template <bool OneD>
inline double inward_distance(double v, double mu, double mo) noexcept {
  const bool lo = mu >= 0;
  const bool hi = mo >= 0;
  if (lo && hi) {
    const double dl = v * mu;
    const double dr = (1 - v) * mo;
    if constexpr (OneD) {
      return dr >= dl ? dl : dr;  // unlike fmin, a NaN dr wins
    } else {
      return std::fmin(dl, dr);
    }
  }
  if (lo) return v * mu;
  if (hi) return (1 - v) * mo;
  return OneD ? kInf : -1.0;  // 2-D: -1.0 marks the axis for the inward combination
}

}  // namespace detail

struct AxisDistances {
  double dx;
  double dy;
};

// Per-axis distances of the raw (unresolved) coordinates. Outward mode gives
// 0 for an inside axis; inward mode gives -1.0 for an axis with no side
// enabled.
inline AxisDistances axis_feather_distances(double x, double y, double xu, double xo, double yu,
                                            double yo, int32_t feathering_mode) noexcept {
  const bool inward = feathering_mode == kFeatherInward;
  AxisDistances r;
  if (!detail::outside_distance(x, xu, xo, r.dx)) {
    r.dx = inward ? detail::inward_distance<false>(x, xu, xo) : 0.0;
  }
  if (!detail::outside_distance(y, yu, yo, r.dy)) {
    r.dy = inward ? detail::inward_distance<false>(y, yu, yo) : 0.0;
  }
  return r;
}

// Inward combination: exact tests against -1.0 (a NaN fails them).
inline double combine_inward_distance(double dx, double dy) noexcept {
  if (dx == -1.0 && dy == -1.0) return kInf;
  if (dx == -1.0) return dy;
  if (dy == -1.0) return dx;
  return std::fmin(dx, dy);
}

// Outward combination by distance mode. The constants are the doubles
// nearest to 1/sqrt(2) and sqrt(2) - 1, not values computed at run time.
inline double combine_feather_distance(double dx, double dy, int32_t distance_mode) noexcept {
  if (dx == kInf || dy == kInf) return kInf;
  const double mn = std::fmin(dx, dy);
  const double mx = std::fmax(dx, dy);
  switch (distance_mode) {
    case distance::CHEBYSHEV:
      return mx;
    case distance::MANHATTAN:
      return dx + dy;
    case distance::SCALED_MANHATTAN:
      return (dx + dy) * 0.7071067811865476;
    case distance::OCTAGONAL:
      return mn * 0.41421356237309503 + mx;
    case distance::MAX_PLUS_HALF_MIN:
      return mn * 0.5 + mx;
    case distance::QUADRATIC_CORRECTED:
      // The correction peaks at mx = 2 and then falls (below 0 past mx = 4),
      // which would blend back towards the sample far outside: beyond its
      // maximum a pixel is out of every feather band.
      if (mx >= 2) return kInf;
      return ((mn * 0.5 + mx) - (0.25 * dx) * dx) - (0.25 * dy) * dy;
    case distance::ALPHA_MAX_BETA_MIN:
      return mx * 0.9604 + mn * 0.3981;
    default:  // EUCLIDEAN, 7 and every other value
      return std::sqrt(dx * dx + dy * dy);
  }
}

// The combined feather distance of a 2-D pixel in CONSTANT/ARRAY mode.
inline double feather_distance_2d(double x, double y, double xu, double xo, double yu, double yo,
                                  int32_t feathering_mode, int32_t distance_mode) noexcept {
  const AxisDistances d = axis_feather_distances(x, y, xu, xo, yu, yo, feathering_mode);
  return feathering_mode == kFeatherInward ? combine_inward_distance(d.dx, d.dy)
                                           : combine_feather_distance(d.dx, d.dy, distance_mode);
}

// The 1-D feather distance: one axis, no combination step; no enabled side
// in inward mode gives +inf directly.
inline double feather_distance_1d(double u, double mu, double mo, int32_t feathering_mode) noexcept {
  double d;
  if (detail::outside_distance(u, mu, mo, d)) return d;
  return feathering_mode == kFeatherInward ? detail::inward_distance<true>(u, mu, mo) : 0.0;
}

// Per-pixel part of the 2-D preserve rule: within the global feather band of
// an outward pixel, channels whose own width is <= 0 keep their sample. The
// 1-D module has no such rule and passes false.
inline bool preserve_band(bool preserve_non_feather_dims, bool has_feather_d, double feathering_width,
                          bool inward, double feather_dist) noexcept {
  return preserve_non_feather_dims && has_feather_d && feathering_width > 0 && !inward &&
         feathering_width > feather_dist;
}

// Whether feather_blend's result for width t reads the sample at all.
inline bool blend_uses_sample(double t, double feather_dist, bool outside, bool inward,
                              bool in_preserve_band) noexcept {
  if (in_preserve_band && t <= 0) return true;
  if (inward) return !(outside || t <= 0);
  return !(t <= 0 || feather_dist >= t);
}

// Per-channel blend of the sample E with the border value u over width t.
// E is passed as a callable because several outcomes do not need it; the
// sampler is pure, so evaluating it only when used changes no result.
// All comparisons are ordered: a NaN width falls through to the formula.
template <class SampleFn>
inline double feather_blend(const SampleFn& sample, double u, double t, double feather_dist,
                            bool outside, bool inward, bool in_preserve_band) noexcept {
  if (in_preserve_band && t <= 0) return sample();
  if (inward) {
    if (outside || t <= 0) return u;
    const double e = sample();
    if (feather_dist >= t) return e;
    return (u - e) * (1.0 - feather_dist / t) + e;
  }
  if (t <= 0 || feather_dist >= t) return u;
  const double e = sample();
  return (u - e) * (feather_dist / t) + e;
}

}  // namespace tessaro::kernels
