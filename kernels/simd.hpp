// Four-lane double vectors (GCC vector extensions) for the planning loops.
//
// Every operation acts lane by lane with the IEEE semantics of its scalar
// counterpart: +, -, * round each lane as the scalar operation does, and the
// comparisons are the ordered ones (false for NaN), as in the scalar code.
// Without AVX the compiler splits each vector into two SSE2 halves; the
// drivers also build an AVX2 copy of the same code (see remap2d.hpp).
#pragma once

#include <cstdint>
#include <cstring>

// The helpers are always inlined, so no vector crosses a call boundary and
// the note about the AVX calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tessaro::kernels::simd {

inline constexpr int kLanes = 4;

using vd = double __attribute__((vector_size(32)));
using vl = int64_t __attribute__((vector_size(32)));  // also what comparisons of vd give: 0 or -1
using vi = int32_t __attribute__((vector_size(16)));

[[gnu::always_inline]] inline vd load(const double* p) noexcept {
  vd v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, vd v) noexcept { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline void store(int64_t* p, vl v) noexcept { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline vd splat(double x) noexcept { return vd{x, x, x, x}; }

[[gnu::always_inline]] inline vl splat_i64(int64_t x) noexcept { return vl{x, x, x, x}; }

[[gnu::always_inline]] inline vd select(vl m, vd a, vd b) noexcept { return m ? a : b; }

[[gnu::always_inline]] inline vd abs(vd v) noexcept {
  return (vd)((vl)v & splat_i64(INT64_MAX));
}

// Truncation toward zero of lanes within the int32 range, as int64 or as
// double (both exact there).
[[gnu::always_inline]] inline vl trunc_small_i64(vd v) noexcept {
  return __builtin_convertvector(__builtin_convertvector(v, vi), vl);
}
[[gnu::always_inline]] inline vd trunc_small(vd v) noexcept {
  return __builtin_convertvector(__builtin_convertvector(v, vi), vd);
}

// Truncation toward zero of lanes within the int64 range, and back.
[[gnu::always_inline]] inline vl trunc_i64(vd v) noexcept { return __builtin_convertvector(v, vl); }
[[gnu::always_inline]] inline vd to_f64(vl v) noexcept { return __builtin_convertvector(v, vd); }

}  // namespace tessaro::kernels::simd

namespace tessaro::kernels {

// Whether the drivers may run their AVX2 copies.
inline bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

}  // namespace tessaro::kernels
