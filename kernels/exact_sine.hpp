// Four sines at once that are the C library's sines, bit for bit.
//
// The Lanczos weights must equal the scalar formula's with the C library's
// sin, and glibc's sin is not correctly rounded (it is wrong in the last bit
// for about 0.1 % of the arguments Lanczos meets, and its FMA and SSE2
// builds, chosen at run time by CPU, disagree with each other). So no
// approximation can be returned as it is. What can be returned is the
// correctly rounded sine, whenever the exact value is far enough from a
// rounding midpoint that every result within the library's error bound is
// that same double. This routine computes an estimate accurate far beyond a
// double, keeps its rounding where that is provable, and calls sin for the
// other lanes.
//
// Estimate, for |x| in [2^-30, 12.57) (beyond 4 pi; other lanes fall back):
//   c = j/64 nearest to |x|, r = |x| - c (exact, |r| <= 2^-7),
//   sin|x| = S + C r + S (cos r - 1) + C (sin r - r),
// S = sin c and C = cos c from sine_table.hpp in double-double, C's high
// part with 26 significant bits and r's with 27 so that C_hi r_hi is exact;
// S_hi + C_hi r_hi is summed exactly, the small terms (Taylor series to
// r^6 and r^7, truncation below 2^-71) in doubles, and the total is split
// exactly into hi (the estimate rounded to nearest) and lo = estimate - hi.
//
// Error of the estimate (absolute, |S|, |C| <= 1, |r| <= 2^-7): the
// rounding of r*r, the polynomial and its product in cos r - 1 (<= 3 * 2^-53
// of 2^-15, i.e. 2^-66.4), S_lo left out of S (cos r - 1) (2^-69), that
// product's rounding (2^-69), the last addition of the small terms (2^-68),
// truncation (2^-71.3) and everything else (table, sin r - r, C_lo r,
// C_hi r_lo: below 2^-74 together) sum to less than 2^-65.5. The test
// below uses E = 2^-64, which also covers the rounding of the threshold.
//
// Acceptance: let u be the spacing of doubles at hi (hi not a power of two,
// so the spacing is u on both sides). If |lo| < (1/2 - M) u - E, the exact
// sine y is more than M u from both midpoints around hi. A library result
// with error below (1/2 + M) ulp(y) (ulp(y) = u there) is then hi: any
// other double is at least u/2 + M u from y. glibc's sin states an error of
// ~0.55 ULP (its sources give at most 0.548 for every path since glibc
// 2.28, the same code on every architecture and for its FMA and SSE2
// builds); M = 13/256 (0.0508) covers it, and (1/2 - M) u = 115/256 u is
// exact. Powers of two, zeros, tiny results (where E exceeds the margin)
// and arguments out of range all go to sin. On any other C library, whose
// bound is not known here, every lane calls sin.
//
// Like the rest of the kernels this assumes rounding to nearest. Plain
// vector-extension code with no instruction-set-specific operation: the
// AVX2 copies of the drivers inline it (gnu::flatten) and compile it for
// AVX2, the baseline copies for SSE2; both give the same doubles.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/simd.hpp"
#include "kernels/sine_table.hpp"

namespace tessaro::kernels::exact_sine {

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
inline constexpr bool kLibraryBoundKnown = true;
#else
inline constexpr bool kLibraryBoundKnown = false;
#endif

// The estimate rounded to a double (hi, with the sign of x) and the lanes
// where hi is provably what the C library's sin returns.
struct Estimate {
  simd::vd value;
  simd::vl exact;
};

// sin x as hi + lo (hi the estimate rounded to nearest, both with the sign
// of x; hi + lo within 2^-65.5 of sin x), cos x within 2^-50 (its terms
// are those of the sine's, less c_lo, s_lo and roundings), and the lanes in
// range; the other lanes hold anything.
struct Expansion {
  simd::vd hi, lo, cos;
  simd::vl in_range;
};

[[gnu::always_inline]] inline Expansion expand(simd::vd x) noexcept {
  using simd::splat;
  using simd::splat_i64;
  using simd::vd;
  using simd::vl;
  const vd ax = simd::abs(x);
  const vl in_range = (ax >= splat(0x1p-30)) & (ax < splat(12.57));  // false for NaN
  const vd a = simd::select(in_range, ax, splat(0.0));

  // j = nearest integer to 64 |x| (the shifter rounds it, 64 |x| < 2^51).
  const vd shifter = splat(0x1.8p52);
  const vd k = (a * splat(64.0) + shifter) - shifter;
  const vd r = a - k * splat(0.015625);  // exact: a multiple of ulp(a), |r| <= 2^-7
  const simd::vi j = __builtin_convertvector(k, simd::vi);
  const auto entry = [&](int l) {
    vd v;
    std::memcpy(&v, &sine_table::kEntries[j[l]], sizeof v);
    return v;
  };
  vd row[4] = {entry(0), entry(1), entry(2), entry(3)};
  simd::transpose4(row);
  const vd s_hi = row[0], s_lo = row[1], c_hi = row[2], c_lo = row[3];

  const vd r_hi = (vd)((vl)r & splat_i64(~int64_t{0x3ffffff}));  // 27 significant bits
  const vd r_lo = r - r_hi;
  const vd r2 = r * r;
  const vd cos_m1 = r2 * (splat(-0.5) + r2 * (splat(1.0 / 24.0) + r2 * splat(-1.0 / 720.0)));
  const vd sin_m = r * (r2 * (splat(-1.0 / 6.0) +
                              r2 * (splat(1.0 / 120.0) + r2 * splat(-1.0 / 5040.0))));

  // s + e = S_hi + C_hi r_hi exactly (two-sum).
  const vd p = c_hi * r_hi;  // exact
  const vd s = s_hi + p;
  const vd pb = s - s_hi;
  const vd e = (s_hi - (s - pb)) + (p - pb);
  const vd tail =
      (((e + s_lo) + (c_hi * r_lo + c_lo * r)) + (c_hi + c_lo) * sin_m) + s_hi * cos_m1;
  const vd hi = s + tail;
  const vd tb = hi - s;
  const vd lo = (s - (hi - tb)) + (tail - tb);
  const vl sign = (vl)x & splat_i64(INT64_MIN);
  const vd cos = c_hi + (c_hi * cos_m1 - s_hi * (r + sin_m));
  return {(vd)((vl)hi ^ sign), (vd)((vl)lo ^ sign), cos, in_range};
}

// The lanes where the double nearest to hi + lo is hi and provably what the
// C library's sin returns for an argument whose exact sine is within 2^-64
// of hi + lo (the acceptance test above).
[[gnu::always_inline]] inline simd::vl provable(simd::vd hi, simd::vd lo, simd::vl in_range) noexcept {
  using simd::splat;
  using simd::splat_i64;
  using simd::vd;
  using simd::vl;
  const vl bits = (vl)simd::abs(hi);
  const vl exponent = bits & splat_i64(0x7ff0000000000000);
  const vl mantissa = bits & splat_i64(0x000fffffffffffff);
  // The spacing of doubles at hi, used where |hi| >= 2^-962 (so u is normal).
  const vd u = (vd)(exponent - splat_i64(int64_t{52} << 52));
  return in_range & (mantissa != 0) & (exponent > splat_i64(int64_t{60} << 52)) &
         (simd::abs(lo) < u * splat(115.0 / 256.0) - splat(0x1p-64));
}

// The expansion rounded: hi, where provable.
[[gnu::always_inline]] inline Estimate rounded(const Expansion& e) noexcept {
  return {e.hi, provable(e.hi, e.lo, e.in_range)};
}

[[gnu::always_inline]] inline Estimate estimate(simd::vd x) noexcept { return rounded(expand(x)); }

// sin(x + d) from the expansion of x, for |d| < 2^-44 (other lanes are left
// to sin): sin(x + d) = sin x cos d + cos x sin d, and dropping d^2 / 2 and
// d^3 / 6, the cosine's error times d and the roundings of lo + cos d and of
// d itself (relative 2^-52 when d comes from a few exact differences) adds
// less than 2^-88 to the 2^-65.5 of the expansion, so the test holds. The
// estimate of -sin(x + d) where `negate` is set.
[[gnu::always_inline]] inline Estimate near(const Expansion& base, simd::vd d,
                                            bool negate) noexcept {
  using simd::splat;
  const simd::vd tail = base.lo + base.cos * d;
  const simd::vd hi = base.hi + tail;
  const simd::vd tb = hi - base.hi;
  const simd::vd lo = (base.hi - (hi - tb)) + (tail - tb);
  const simd::vl small = simd::abs(d) < splat(0x1p-44);  // false for NaN
  return {negate ? -hi : hi, provable(hi, lo, base.in_range & small)};
}

// sin of the lanes of x where `need` is set (the others hold anything): the
// estimate where it is provably the library's double, std::sin elsewhere.
[[gnu::always_inline]] inline simd::vd sin(simd::vd x, simd::vl need) noexcept {
  simd::vd y = x;
  simd::vl call = need;
  if constexpr (kLibraryBoundKnown) {
    const Estimate est = estimate(x);
    y = est.value;
    call = need & ~est.exact;
  }
  if (call[0] | call[1] | call[2] | call[3]) {
    for (int l = 0; l < simd::kLanes; ++l)
      if (call[l]) y[l] = std::sin(x[l]);
  }
  return y;
}

}  // namespace tessaro::kernels::exact_sine
