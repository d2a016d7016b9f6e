// Four-lane double vectors (GCC vector extensions) for planning and sampling.
//
// Every operation acts lane by lane with the IEEE semantics of its scalar
// counterpart: +, -, * round each lane as the scalar operation does, and the
// comparisons are the ordered ones (false for NaN), as in the scalar code.
// GCC and Clang compile the vector extensions for any target: without AVX
// each vector becomes two SSE2 (or NEON) halves.
//
// Instruction sets. The portable code is the only copy on every architecture
// but x86; on x86 the drivers also hold an AVX2 copy of the same code and run
// it when the CPU has AVX2. Everything x86 sits behind one guard,
// TESSARO_SIMD_X86, set below and nowhere else. To give a kernel copies:
// - write it as a template over `class Isa` (simd::Baseline, or simd::Avx2
//   on x86); operations whose instruction differs between the copies are
//   static members of Isa (Isa::widen, Isa::narrow), defined once per set;
// - call it through `simd::dispatch([&]<class Isa>() { return k<Isa>(...); })`,
//   which picks the copy for this CPU: the body instantiated with Avx2 and
//   inlined into a gnu::target("avx2") function, or with Baseline;
// - intrinsics, gnu::target("avx2") and __builtin_cpu_supports appear only
//   inside `#ifdef TESSARO_SIMD_X86` blocks of headers like this one.
// Both copies perform the same IEEE operations in the same order (no FMA:
// contraction is off for every compiler), so the choice changes speed only.
// TESSARO_FORCE_BASELINE (CMake: -DTESSARO_BASELINE=ON) leaves the guard
// unset on x86 too, so that CI tests the portable copy on an AVX2 machine.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && !defined(TESSARO_FORCE_BASELINE)
#define TESSARO_SIMD_X86 1
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <type_traits>

// The helpers are always inlined, so no vector crosses a call boundary and
// the note about the AVX calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tessaro::kernels::simd {

inline constexpr int kLanes = 4;

using vd = double __attribute__((vector_size(32)));
using vl = int64_t __attribute__((vector_size(32)));  // also what comparisons of vd give: 0 or -1
using vi = int32_t __attribute__((vector_size(16)));
using vf = float __attribute__((vector_size(16)));
using vd2 = double __attribute__((vector_size(16)));
using vf2 = float __attribute__((vector_size(8)));
// Eight float lanes: the certified float sampling of 8-bit pictures.
using vf8 = float __attribute__((vector_size(32)));
using vi8 = int32_t __attribute__((vector_size(32)));  // also what comparisons of vf8 give

[[gnu::always_inline]] inline vd load(const double* p) noexcept {
  vd v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, vd v) noexcept { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline void store(int64_t* p, vl v) noexcept { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline vl load(const int64_t* p) noexcept {
  vl v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline vd splat(double x) noexcept { return vd{x, x, x, x}; }

[[gnu::always_inline]] inline vl splat_i64(int64_t x) noexcept { return vl{x, x, x, x}; }

[[gnu::always_inline]] inline vd select(vl m, vd a, vd b) noexcept { return m ? a : b; }

// Whether any lane of a comparison result is set.
[[gnu::always_inline]] inline bool any(vl m) noexcept { return (m[0] | m[1] | m[2] | m[3]) != 0; }

[[gnu::always_inline]] inline vd abs(vd v) noexcept {
  return (vd)((vl)v & splat_i64(INT64_MAX));
}

// Vectors of four elements of each type the samplers read and write.
template <class S>
struct Four;
template <>
struct Four<double> {
  using type = vd;
};
template <>
struct Four<float> {
  using type = vf;
};
template <>
struct Four<uint8_t> {
  using type = uint8_t __attribute__((vector_size(4)));
};
template <>
struct Four<int8_t> {
  using type = int8_t __attribute__((vector_size(4)));
};
template <>
struct Four<uint16_t> {
  using type = uint16_t __attribute__((vector_size(8)));
};
template <>
struct Four<int16_t> {
  using type = int16_t __attribute__((vector_size(8)));
};
template <class S>
using v4 = typename Four<S>::type;

// Four elements of type S as doubles: exact for every source type (float
// widening, and integers of at most 16 bits).
template <class S, class Isa>
[[gnu::always_inline]] inline vd to_doubles(v4<S> v) noexcept {
  if constexpr (std::is_integral_v<S>) {
    // To int32 lanes by a byte shuffle (zeros above unsigned values; signed
    // ones placed high and shifted back down), then one conversion: GCC
    // compiles the direct conversion lane by lane.
    using bytes = uint8_t __attribute__((vector_size(16)));
    bytes b = {};
    std::memcpy(&b, &v, sizeof v);
    const bytes z = {};
    vi i;
    if constexpr (sizeof(S) == 1 && std::is_signed_v<S>) {
      i = (vi)__builtin_shufflevector(b, z, 16, 16, 16, 0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 3) >> 24;
    } else if constexpr (sizeof(S) == 1) {
      i = (vi)__builtin_shufflevector(b, z, 0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 3, 16, 16, 16);
    } else if constexpr (std::is_signed_v<S>) {
      i = (vi)__builtin_shufflevector(b, z, 16, 16, 0, 1, 16, 16, 2, 3, 16, 16, 4, 5, 16, 16, 6, 7) >> 16;
    } else {
      i = (vi)__builtin_shufflevector(b, z, 0, 1, 16, 16, 2, 3, 16, 16, 4, 5, 16, 16, 6, 7, 16, 16);
    }
    return Isa::from_i32(i);
  } else if constexpr (std::is_same_v<S, float>) {
    return Isa::widen(v);
  } else {
    return v;
  }
}

// Four int32 lanes known to lie in the range of the integer type D, as four
// D: the low bytes of each lane picked (a little-endian layout), where a
// conversion is compiled lane by lane.
template <class D>
[[gnu::always_inline]] inline v4<D> narrow_in_range(vi v) noexcept {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  using bytes = uint8_t __attribute__((vector_size(16)));
  using halves = uint16_t __attribute__((vector_size(16)));
  if constexpr (sizeof(D) == 1) {
    const bytes b = (bytes)v;
    return (v4<D>)__builtin_shufflevector(b, b, 0, 4, 8, 12);
  } else {
    const halves h = (halves)v;
    return (v4<D>)__builtin_shufflevector(h, h, 0, 2, 4, 6);
  }
}

// G adjacent elements of type S at p into lanes 0 .. G-1, zeros above;
// reads nothing past the G elements.
template <class S, int G, class Isa>
[[gnu::always_inline]] inline vd load_channels(const char* p) noexcept {
  static_assert(G >= 2 && G <= 4);
  v4<S> v = {};
  std::memcpy(&v, p, G * sizeof(S));
  return to_doubles<S, Isa>(v);
}

// The instruction sets a copy of the kernels is compiled for, as the
// operations whose best instruction differs between them. widen: four
// floats as doubles (exact). from_i32: four int32 as doubles (exact).
// narrow: four doubles rounded to floats, each lane as static_cast<float>
// in the current rounding mode.
// bytes_to_f32: eight 8-bit integers (S's signedness) as floats (exact).
// mask8: bit l set where lane l of a comparison is.
template <class S>
struct Eight;
template <>
struct Eight<uint8_t> {
  using type = uint8_t __attribute__((vector_size(8)));
};
template <>
struct Eight<int8_t> {
  using type = int8_t __attribute__((vector_size(8)));
};
template <class S>
using v8 = typename Eight<S>::type;

struct Baseline {
  [[gnu::always_inline]] static vd widen(vf v) noexcept { return __builtin_convertvector(v, vd); }
  [[gnu::always_inline]] static vd from_i32(vi v) noexcept { return __builtin_convertvector(v, vd); }
  [[gnu::always_inline]] static vf narrow(vd v) noexcept { return __builtin_convertvector(v, vf); }
  template <class S>
  [[gnu::always_inline]] static vf8 bytes_to_f32(v8<S> v) noexcept {
    return __builtin_convertvector(v, vf8);
  }
  [[gnu::always_inline]] static int mask8(vi8 m) noexcept {
    int bits = 0;
    for (int l = 0; l < 8; ++l) bits |= (m[l] != 0) << l;
    return bits;
  }
};

#ifdef TESSARO_SIMD_X86
struct Avx2 {
#ifdef __clang__
  // Clang compiles the generic conversions to one instruction each under
  // AVX2. It also checks every function on its own, so an AVX2 helper taking
  // a 32-byte vector from these (baseline) templates would not compile.
  [[gnu::always_inline]] static vd widen(vf v) noexcept { return __builtin_convertvector(v, vd); }
  [[gnu::always_inline]] static vd from_i32(vi v) noexcept { return __builtin_convertvector(v, vd); }
  [[gnu::always_inline]] static vf narrow(vd v) noexcept { return __builtin_convertvector(v, vf); }
  template <class S>
  [[gnu::always_inline]] static vf8 bytes_to_f32(v8<S> v) noexcept {
    return __builtin_convertvector(v, vf8);
  }
  [[gnu::always_inline]] static int mask8(vi8 m) noexcept { return Baseline::mask8(m); }
#else
  // One instruction each (GCC splits the generic conversions in two).
  [[gnu::target("avx2")]] static vd widen(vf v) noexcept { return (vd)_mm256_cvtps_pd((__m128)v); }
  [[gnu::target("avx2")]] static vd from_i32(vi v) noexcept { return (vd)_mm256_cvtepi32_pd((__m128i)v); }
  [[gnu::target("avx2")]] static vf narrow(vd v) noexcept { return (vf)_mm256_cvtpd_ps((__m256d)v); }
  template <class S>
  [[gnu::target("avx2")]] static vf8 bytes_to_f32(v8<S> v) noexcept {
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&v));
    const __m256i i = std::is_signed_v<S> ? _mm256_cvtepi8_epi32(b) : _mm256_cvtepu8_epi32(b);
    return (vf8)_mm256_cvtepi32_ps(i);
  }
  [[gnu::target("avx2")]] static int mask8(vi8 m) noexcept {
    return _mm256_movemask_ps((__m256)m);
  }
#endif
};
#endif

template <class Isa>
[[gnu::always_inline]] inline vd widen(vf v) noexcept {
  return Isa::widen(v);
}

template <class Isa>
[[gnu::always_inline]] inline vf narrow(vd v) noexcept {
  return Isa::narrow(v);
}

// Four adjacent elements of type S at p (callers use lanes 0 .. G-1; the
// others hold whatever follows, and p must have four readable elements).
template <class S, class Isa = Baseline>
[[gnu::always_inline]] inline vd load_four(const char* p) noexcept {
  v4<S> v;
  std::memcpy(&v, p, sizeof v);
  return to_doubles<S, Isa>(v);
}

// Two adjacent elements of type S at p, as doubles.
template <class S>
[[gnu::always_inline]] inline vd2 load_two(const char* p) noexcept {
  S e[2];
  std::memcpy(e, p, sizeof e);
  return vd2{static_cast<double>(e[0]), static_cast<double>(e[1])};
}

// The 4x4 transpose: rows v[0..3] become columns (lane l of v[c] becomes
// lane c of v[l]). Moves values only.
[[gnu::always_inline]] inline void transpose4(vd v[4]) noexcept {
  const vd t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
  const vd t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
  const vd t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
  const vd t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
  v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Four pairs p[l] = {a_l, b_l} as the vectors {a_0 .. a_3} and {b_0 .. b_3}.
[[gnu::always_inline]] inline void unzip_pairs(vd2 p0, vd2 p1, vd2 p2, vd2 p3, vd& a,
                                               vd& b) noexcept {
  const vd lo = __builtin_shufflevector(p0, p2, 0, 1, 2, 3);  // a0 b0 a2 b2
  const vd hi = __builtin_shufflevector(p1, p3, 0, 1, 2, 3);  // a1 b1 a3 b3
  a = __builtin_shufflevector(lo, hi, 0, 4, 2, 6);
  b = __builtin_shufflevector(lo, hi, 1, 5, 3, 7);
}

// Four elements of type S at base + off[l] (byte offsets), by four scalar
// loads: on the AMD EPYC machines we measure on these beat the AVX2
// hardware gather (a 2048x2048 nearest remap ran about 10 % faster), and
// they are the same on every instruction set.
template <class S>
[[gnu::always_inline]] inline vd gather(const char* base, vl off) noexcept {
  S e[kLanes];
  for (int l = 0; l < kLanes; ++l) std::memcpy(&e[l], base + off[l], sizeof(S));
  return vd{static_cast<double>(e[0]), static_cast<double>(e[1]), static_cast<double>(e[2]),
            static_cast<double>(e[3])};
}

// Lanes 0 .. G-1 of v to G adjacent doubles at p; writes nothing else.
template <int G>
[[gnu::always_inline]] inline void store_channels(char* p, vd v) noexcept {
  if constexpr (G == 4) {
    std::memcpy(p, &v, sizeof v);
  } else {
    const vd2 lo = {v[0], v[1]};
    std::memcpy(p, &lo, sizeof lo);
    if constexpr (G == 3) {
      const double hi = v[2];
      std::memcpy(p + 16, &hi, sizeof hi);
    }
  }
}

// Truncation toward zero of lanes within the int32 range, as int32 or as
// double (both exact there).
[[gnu::always_inline]] inline vi trunc_i32(vd v) noexcept { return __builtin_convertvector(v, vi); }
[[gnu::always_inline]] inline vd trunc_small(vd v) noexcept {
  return __builtin_convertvector(__builtin_convertvector(v, vi), vd);
}

// The nearest integer of lanes with |v| < 2^51, in the current rounding
// mode (ties to even by default), as nearbyint gives it: adding 1.5 * 2^52
// leaves no fraction bits, so the addition rounds, and the subtraction is
// exact. The constant is even, so the parity of a tie is kept.
[[gnu::always_inline]] inline vd round_small(vd v) noexcept {
  const vd magic = splat(6755399441055744.0);
  return (v + magic) - magic;
}

// Truncation toward zero of lanes within the int64 range.
[[gnu::always_inline]] inline vl trunc_i64(vd v) noexcept { return __builtin_convertvector(v, vl); }

#ifdef TESSARO_SIMD_X86
// Whether this CPU runs AVX2 (asked once).
inline bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

// The body compiled for AVX2: flatten inlines it, and what it calls, into
// this function, so the whole kernel takes the AVX2 encoding.
template <class Body>
[[gnu::flatten, gnu::target("avx2")]] decltype(auto) run_avx2(Body& body) {
  return body.template operator()<Avx2>();
}

// The same, kept out of line: for parts that are shared by several callers
// and must still take the AVX2 encoding (the planning of a run).
template <class Body>
[[gnu::noinline, gnu::flatten, gnu::target("avx2")]] decltype(auto) run_avx2_apart(Body& body) {
  return body.template operator()<Avx2>();
}
#endif

// body.template operator()<Isa>() out of line in Isa's encoding: the
// baseline copy calls it directly, the AVX2 copy through run_avx2_apart.
template <class Isa, class Body>
[[gnu::always_inline]] inline decltype(auto) run_apart(Body& body) {
#ifdef TESSARO_SIMD_X86
  if constexpr (std::is_same_v<Isa, Avx2>) return run_avx2_apart(body);
#endif
  if constexpr (std::is_same_v<Isa, Baseline>) return body.template operator()<Baseline>();
}

// Runs body.template operator()<Isa>() for the widest instruction set that
// this build holds and this CPU runs; returns its result.
template <class Body>
[[gnu::always_inline]] inline decltype(auto) dispatch(Body&& body) {
#ifdef TESSARO_SIMD_X86
  if (cpu_has_avx2()) return run_avx2(body);
#endif
  return body.template operator()<Baseline>();
}

}  // namespace tessaro::kernels::simd
