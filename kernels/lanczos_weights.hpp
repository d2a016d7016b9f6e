// Lanczos tap weights of four offsets at once, equal bit for bit to
// lanczos_weight<A> of taps.hpp: the same operations in the same order on
// each lane, with the sines from exact_sine.hpp.
#pragma once

#include "kernels/exact_sine.hpp"
#include "kernels/simd.hpp"

namespace tessaro::kernels {

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
    for (int t = 0; t < T; ++t) {
      const vd tt = offset(pv, bv, t);
      const vd at_ = simd::abs(tt);
      const vl inside = real & ~(at_ < splat(1e-15)) & (at_ < splat(a));
      const vd x = tt * splat(kPi);
      const vd xa = x / splat(a);
      simd::store(arg[g][t][0], xa);
      simd::store(arg[g][t][1], x);
      vl call_a = inside, call_x = inside;
      if constexpr (exact_sine::kLibraryBoundKnown) {
        const exact_sine::Estimate ea = exact_sine::estimate(xa), ex = exact_sine::estimate(x);
        simd::store(sine[g][t][0], ea.value);
        simd::store(sine[g][t][1], ex.value);
        call_a &= ~ea.exact;
        call_x &= ~ex.exact;
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
