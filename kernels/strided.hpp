// Element access through byte offsets, as array views address memory.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kernels/simd.hpp"

namespace tessaro::kernels {

// memcpy keeps the access valid for any alignment the buffer may have; it
// compiles to a single load or store.
inline double load_f64(const char* p) noexcept {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_f64(char* p, double v) noexcept { std::memcpy(p, &v, sizeof v); }

// Channel k of an element whose channels are contiguous float64.
inline int64_t channel_offset(int64_t k) noexcept {
  return k * static_cast<int64_t>(sizeof(double));
}

// Entry k of a float64 table handed in by a caller, which may sit at any
// address (e.g. per-channel feather widths from a byte buffer).
inline double feather_width_at(const double* table, int64_t k) noexcept {
  return load_f64(reinterpret_cast<const char*>(table) + channel_offset(k));
}

// Sources are float64 or float32. A float32 element widens to double exactly
// (a signalling NaN comes out quiet, as NumPy's own float64 conversion does),
// so sampling it equals sampling the float64 copy of the source.
template <class T>
inline double load_as_f64(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return static_cast<double>(v);
}

template <class T>
inline int64_t element_offset(int64_t k) noexcept {
  return k * static_cast<int64_t>(sizeof(T));
}

// NumPy's floating-point error bits, as its cast reports them.
namespace fpe {
inline constexpr int DIVIDEBYZERO = 1;
inline constexpr int OVERFLOW = 2;
inline constexpr int UNDERFLOW = 4;
inline constexpr int INVALID = 8;
}  // namespace fpe

namespace detail {

// The narrowing of a value that may raise a floating-point exception, with
// the exceptions it raised. The volatile accesses pin the conversion between
// clearing and reading the flags.
[[gnu::noinline]] inline int narrow_watching_flags(double v, float* out) noexcept {
  std::feclearexcept(FE_ALL_EXCEPT);
  volatile double in = v;
  volatile float narrowed = static_cast<float>(in);
  *out = narrowed;
  const int raised = std::fetestexcept(FE_ALL_EXCEPT);
  return ((raised & FE_DIVBYZERO) ? fpe::DIVIDEBYZERO : 0) |
         ((raised & FE_OVERFLOW) ? fpe::OVERFLOW : 0) |
         ((raised & FE_UNDERFLOW) ? fpe::UNDERFLOW : 0) |
         ((raised & FE_INVALID) ? fpe::INVALID : 0);
}

}  // namespace detail

// Writes results of type T (float64, or float32 rounded once from the double
// result). `errors` collects the floating-point exceptions the narrowing
// raised, which NumPy's cast of the same values would have reported.
template <class T>
struct Writer;

template <>
struct Writer<double> {
  int errors = 0;
  void put(char* p, double v) noexcept { store_f64(p, v); }
  // G adjacent channels from lanes 0 .. G-1.
  template <int G>
  void put_channels(char* p, simd::vd v) noexcept {
    if constexpr (G == 1) {
      store_f64(p, v[0]);
    } else {
      simd::store_channels<G>(p, v);
    }
  }
};

template <>
struct Writer<float> {
  int errors = 0;
  void put(char* p, double v) noexcept {
    // Only zero and magnitudes in the normal float range narrow without
    // raising anything besides "inexact", which NumPy does not report.
    constexpr double kMin = static_cast<double>(std::numeric_limits<float>::min());
    constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
    const double a = std::fabs(v);
    float f;
    if ((a >= kMin && a <= kMax) || a == 0.0) {
      f = static_cast<float>(v);
    } else {
      errors |= detail::narrow_watching_flags(v, &f);
    }
    std::memcpy(p, &f, sizeof f);
  }
  template <int G>
  void put_channels(char* p, simd::vd v) noexcept {
    for (int g = 0; g < G; ++g) put(p + 4 * g, v[g]);
  }
};

}  // namespace tessaro::kernels
