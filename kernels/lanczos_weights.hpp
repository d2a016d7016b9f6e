// Lanczos tap weights of four offsets at once, equal bit for bit to
// lanczos_weight<A> of taps.hpp: the same operations in the same order on
// each lane, with the sines from exact_sine.hpp.
#pragma once

#include "kernels/exact_sine.hpp"
#include "kernels/simd.hpp"

namespace tessaro::kernels {

// The sines of one axis's 2A taps, est[t][0] of x[t] / A (as rounded,
// xa[t]) and est[t][1] of x[t] = t_t pi (t_t = t_0 - t up to the rounding of
// the offsets), from A + 1 expansions rather than 4A. With pi's double
// (50 significant bits, so t pi_d is exact) and p2 = pi - pi_d rounded:
//   x[t] = x[0] - t pi + d_t,  d_t = ((x[t] + t pi_d) - x[0]) + t p2,
// the sum x[t] + t pi_d split exactly (two-sum), so sin x[t] =
// (-1)^t sin(x[0] + d_t). For the quotients, rho_t = x[t] - A xa[t] is
// exact (the remainder of a rounded quotient; A q_hi is exact with q_hi
// xa[t] cut to 51 bits), and then xa[t] = xa[t - A] - pi + e_t with
// e_t = ((d_t - d_{t-A}) - (rho_t - rho_{t-A})) / A, so sin xa[t] =
// -sin(xa[t - A] + e_t) for t >= A. |d_t|, |e_t| are about 2^-47 (the
// roundings of the offsets and products); `near` leaves larger ones to sin.
template <int A>
[[gnu::always_inline]] inline void shared_sines(const simd::vd* x, const simd::vd* xa,
                                                exact_sine::Estimate (*est)[2]) noexcept {
  using simd::splat;
  using simd::vd;
  constexpr double kPi = 3.141592653589793, kPi2 = 0x1.1a62633145c07p-53;
  constexpr double a = static_cast<double>(A);
  vd d[2 * A], rho[2 * A];
  const exact_sine::Expansion x0 = exact_sine::expand(x[0]);
  est[0][1] = exact_sine::rounded(x0);
  d[0] = splat(0.0);
  for (int t = 1; t < 2 * A; ++t) {
    const vd m = splat(t * kPi);  // exact
    const vd s = x[t] + m;
    const vd sb = s - x[t];
    const vd err = (x[t] - (s - sb)) + (m - sb);
    d[t] = (s - x[0]) + (err + splat(t * kPi2));
    est[t][1] = exact_sine::near(x0, d[t], t % 2 != 0);
  }
  exact_sine::Expansion xa_low[A];
  for (int t = 0; t < 2 * A; ++t) {
    if constexpr ((A & (A - 1)) == 0) {
      rho[t] = splat(0.0);  // x / A is exact
    } else {
      const vd q_hi = (vd)((simd::vl)xa[t] & simd::splat_i64(~int64_t{3}));
      rho[t] = (x[t] - q_hi * splat(a)) - (xa[t] - q_hi) * splat(a);
    }
    if (t < A) {
      xa_low[t] = exact_sine::expand(xa[t]);
      est[t][0] = exact_sine::rounded(xa_low[t]);
    } else {
      const vd e = ((d[t] - d[t - A]) - (rho[t] - rho[t - A])) * splat(1.0 / a);
      est[t][0] = exact_sine::near(xa_low[t - A], e, true);
    }
  }
}

// The weights of taps first .. first + 2A - 1 for the positions p[at[m]],
// m < count <= kRun, whose integer parts are base[at[m]] (|p| < 2^31), into
// w[tap][at[m]]. Four positions per vector; each lane forms
// t = p - (base + k) as the scalar code does (base + k is exact, as the
// int64 tap converted) and then, like lanczos_weight<A>:
//   |t| < 1e-15: 1;  |t| < A: (sin(x / A) * (sin(x) * A)) / (x * x) with
//   x = t * pi;  otherwise (and NaN): 0.
// All sines are estimated first; the few the estimate cannot vouch for then
// come from std::sin in a loop of their own (a call amid the vector code
// would make every vector register spill), ordered by quarter period so
// that the library's branches on the argument's range are predicted.
template <int A, int kRun>
inline void lanczos_weights_at(const double* p, const double* base, const int* at, int count,
                               double (*w)[kRun]) noexcept {
  using simd::splat;
  using simd::vd;
  using simd::vl;
  constexpr int L = simd::kLanes, T = 2 * A, kGroups = kRun / L;
  constexpr double kPi = 3.141592653589793;
  constexpr double a = static_cast<double>(A);
  const auto group = [&](int g, vd& pv, vd& bv, int* idx) {
    for (int l = 0; l < L; ++l) idx[l] = at[g * L + l < count ? g * L + l : count - 1];
    pv = vd{p[idx[0]], p[idx[1]], p[idx[2]], p[idx[3]]};
    bv = vd{base[idx[0]], base[idx[1]], base[idx[2]], base[idx[3]]};
  };
  const auto offset = [&](vd pv, vd bv, int t) {
    return pv - (bv + splat(static_cast<double>(t - (A - 1))));
  };
  // arg[g][t][0] = x / A, arg[g][t][1] = x for tap t of group g; sines alike.
  alignas(32) double arg[kGroups][T][2][L], sine[kGroups][T][2][L];
  constexpr int kSlots = kGroups * T * 2 * L;
  int redo[kSlots];
  int n_redo = 0;
  const int groups = (count + L - 1) / L;
  for (int g = 0; g < groups; ++g) {
    vd pv, bv;
    int idx[L];
    group(g, pv, bv, idx);
    // Lanes past `count` repeat the last position: no library calls for them.
    const vl real = simd::splat_i64(g * L) + vl{0, 1, 2, 3} < simd::splat_i64(count);
    vd x[T], xa[T];
    vl inside[T];
    for (int t = 0; t < T; ++t) {
      const vd tt = offset(pv, bv, t);
      const vd at_ = simd::abs(tt);
      inside[t] = real & ~(at_ < splat(1e-15)) & (at_ < splat(a));
      x[t] = tt * splat(kPi);
      xa[t] = x[t] / splat(a);
      simd::store(arg[g][t][0], xa[t]);
      simd::store(arg[g][t][1], x[t]);
    }
    exact_sine::Estimate est[T][2];
    if constexpr (exact_sine::kLibraryBoundKnown) shared_sines<A>(x, xa, est);
    for (int t = 0; t < T; ++t) {
      vl call_a = inside[t], call_x = inside[t];
      if constexpr (exact_sine::kLibraryBoundKnown) {
        simd::store(sine[g][t][0], est[t][0].value);
        simd::store(sine[g][t][1], est[t][1].value);
        call_a &= ~est[t][0].exact;
        call_x &= ~est[t][1].exact;
      }
      const int slot = ((g * T + t) * 2) * L;
      for (int l = 0; l < L; ++l) {  // appended without branches
        redo[n_redo] = slot + l;
        n_redo += static_cast<int>(call_a[l] & 1);
        redo[n_redo] = slot + L + l;
        n_redo += static_cast<int>(call_x[l] & 1);
      }
    }
  }
  double* const args = &arg[0][0][0][0];
  double* const sines = &sine[0][0][0][0];
  // Counting sort by quarter period. Only lanes with |t| < A are redone, so
  // |x| < 4 pi (1 + 2^-52) and x (2 / pi) + 9.5 lies in (1.4, 17.6).
  constexpr int kQuarters = 19;
  int start[kQuarters + 1] = {};
  int quarter[kSlots], order[kSlots];
  for (int r = 0; r < n_redo; ++r) {
    quarter[r] = static_cast<int>(args[redo[r]] * (2.0 / kPi) + 9.5);
    ++start[quarter[r] + 1];
  }
  for (int k = 0; k < kQuarters; ++k) start[k + 1] += start[k];
  for (int r = 0; r < n_redo; ++r) order[start[quarter[r]]++] = redo[r];
  for (int r = 0; r < n_redo; ++r) sines[order[r]] = std::sin(args[order[r]]);
  for (int g = 0; g < groups; ++g) {
    vd pv, bv;
    int idx[L];
    group(g, pv, bv, idx);
    for (int t = 0; t < T; ++t) {
      const vd at_ = simd::abs(offset(pv, bv, t));
      const vl unit = at_ < splat(1e-15);
      const vl inside = ~unit & (at_ < splat(a));
      const vd x = simd::load(arg[g][t][1]);
      const vd wt = (simd::load(sine[g][t][0]) * (simd::load(sine[g][t][1]) * splat(a))) / (x * x);
      const vd r = simd::select(unit, splat(1.0), simd::select(inside, wt, splat(0.0)));
      for (int l = 0; l < L && g * L + l < count; ++l) w[t][idx[l]] = r[l];
    }
  }
}

}  // namespace tessaro::kernels
