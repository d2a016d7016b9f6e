// Lanczos tap weights of four offsets at once, equal bit for bit to
// lanczos_weight<A> of taps.hpp: the same operations in the same order on
// each lane, with the sines from exact_sine.hpp.
#pragma once

#include "kernels/exact_sine.hpp"
#include "kernels/simd.hpp"

namespace tessaro::kernels {

// The weights of taps first .. first + 2A - 1 for the positions p[at[m]],
// m < count, whose integer parts are base[at[m]] (|p| < 2^31), into
// w[tap][at[m]]. Four positions per vector; each lane forms
// t = p - (base + k) as the scalar code does (base + k is exact, as the
// int64 tap converted) and then, like lanczos_weight<A>:
//   |t| < 1e-15: 1;  |t| < A: (sin(x / A) * (sin(x) * A)) / (x * x) with
//   x = t * pi;  otherwise (and NaN): 0.
// The sines of a group of four positions are estimated first, then the few
// the estimate cannot vouch for come from std::sin in a separate loop (a
// call amid the vector code would make every vector register spill).
template <int A, int kRun>
inline void lanczos_weights_at(const double* p, const double* base, const int* at, int count,
                               double (*w)[kRun]) noexcept {
  using simd::splat;
  using simd::vd;
  using simd::vl;
  constexpr int L = simd::kLanes, T = 2 * A;
  constexpr double kPi = 3.141592653589793;
  constexpr double a = static_cast<double>(A);
  for (int m = 0; m < count; m += L) {
    int idx[L];
    for (int l = 0; l < L; ++l) idx[l] = at[m + l < count ? m + l : count - 1];
    const vd pv = {p[idx[0]], p[idx[1]], p[idx[2]], p[idx[3]]};
    const vd bv = {base[idx[0]], base[idx[1]], base[idx[2]], base[idx[3]]};
    // arg[t][0] = x / A, arg[t][1] = x for tap t; sines alike.
    alignas(32) double arg[T][2][L], sine[T][2][L];
    int redo[T * 2 * L];
    int n_redo = 0;
    for (int t = 0; t < T; ++t) {
      const vd tt = pv - (bv + splat(static_cast<double>(t - (A - 1))));
      const vd at_ = simd::abs(tt);
      const vl inside = ~(at_ < splat(1e-15)) & (at_ < splat(a));
      const vd x = tt * splat(kPi);
      const vd xa = x / splat(a);
      simd::store(arg[t][0], xa);
      simd::store(arg[t][1], x);
      if constexpr (exact_sine::kLibraryBoundKnown) {
        const exact_sine::Estimate ea = exact_sine::estimate(xa), ex = exact_sine::estimate(x);
        simd::store(sine[t][0], ea.value);
        simd::store(sine[t][1], ex.value);
        const vl call_a = inside & ~ea.exact, call_x = inside & ~ex.exact;
        for (int l = 0; l < L; ++l) {  // appended without branches
          redo[n_redo] = (t * 2 + 0) * L + l;
          n_redo += static_cast<int>(call_a[l] & 1);
          redo[n_redo] = (t * 2 + 1) * L + l;
          n_redo += static_cast<int>(call_x[l] & 1);
        }
      } else {
        for (int l = 0; l < L; ++l) {
          redo[n_redo] = (t * 2 + 0) * L + l;
          redo[n_redo + 1] = (t * 2 + 1) * L + l;
          n_redo += static_cast<int>(inside[l] & 2);
        }
      }
    }
    for (int r = 0; r < n_redo; ++r) (&sine[0][0][0])[redo[r]] = std::sin((&arg[0][0][0])[redo[r]]);
    for (int t = 0; t < T; ++t) {
      const vd tt = pv - (bv + splat(static_cast<double>(t - (A - 1))));
      const vd at_ = simd::abs(tt);
      const vl unit = at_ < splat(1e-15);
      const vl inside = ~unit & (at_ < splat(a));
      const vd x = simd::load(arg[t][1]);
      const vd wt = (simd::load(sine[t][0]) * (simd::load(sine[t][1]) * splat(a))) / (x * x);
      const vd r = simd::select(unit, splat(1.0), simd::select(inside, wt, splat(0.0)));
      for (int l = 0; l < L; ++l) w[t][idx[l]] = r[l];
    }
  }
}

}  // namespace tessaro::kernels
