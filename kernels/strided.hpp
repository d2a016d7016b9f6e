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
template <class T, class Isa = simd::Baseline>
struct Writer;

template <class Isa>
struct Writer<double, Isa> {
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
  // count positions `stride` bytes apart from lanes 0 .. count-1.
  void put_lanes(char* p, int64_t stride, int count, simd::vd v) noexcept {
    if (count == simd::kLanes && stride == static_cast<int64_t>(sizeof(double))) {
      simd::store(reinterpret_cast<double*>(p), v);  // memcpy: any alignment
      return;
    }
    for (int l = 0; l < count; ++l) store_f64(p + l * stride, v[l]);
  }
  bool take_unusual() noexcept { return false; }
};

template <class Isa>
struct Writer<float, Isa> {
  int errors = 0;

  // One value, with the exceptions its narrowing raises.
  void put(char* p, double v) noexcept {
    const double a = std::fabs(v);
    float f;
    if ((a >= kMin && a <= kMax) || a == 0.0) {
      f = static_cast<float>(v);
    } else {
      errors |= detail::narrow_watching_flags(v, &f);
    }
    std::memcpy(p, &f, sizeof f);
  }

  // The vector forms narrow without watching the flags, but note whether
  // any value could have raised one: the caller then redoes that part with
  // put(), which writes the same floats and collects the exceptions.
  template <int G>
  void put_channels(char* p, simd::vd v) noexcept {
    note(v, G);
    const simd::vf f = simd::narrow<Isa>(v);  // each lane as static_cast<float>
    std::memcpy(p, &f, sizeof(float) * G);
  }
  void put_lanes(char* p, int64_t stride, int count, simd::vd v) noexcept {
    note(v, count);
    const simd::vf f = simd::narrow<Isa>(v);
    if (count == simd::kLanes && stride == static_cast<int64_t>(sizeof(float))) {
      std::memcpy(p, &f, sizeof f);
      return;
    }
    for (int l = 0; l < count; ++l) {
      const float x = f[l];
      std::memcpy(p + l * stride, &x, sizeof x);
    }
  }
  bool take_unusual() noexcept {
    const bool any = (unusual_[0] | unusual_[1] | unusual_[2] | unusual_[3]) != 0;
    unusual_ = simd::splat_i64(0);
    return any;
  }

 private:
  // Only zero and magnitudes in the normal float range narrow without
  // raising anything besides "inexact", which NumPy does not report.
  static constexpr double kMin = static_cast<double>(std::numeric_limits<float>::min());
  static constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());

  void note(simd::vd v, int lanes) noexcept {
    const simd::vd a = simd::abs(v);
    const simd::vl quiet =
        ((a >= simd::splat(kMin)) & (a <= simd::splat(kMax))) | (a == simd::splat(0.0));
    const simd::vl used = simd::vl{0, 1, 2, 3} < simd::splat_i64(lanes);
    unusual_ |= ~quiet & used;
  }

  simd::vl unusual_ = {0, 0, 0, 0};
};

// Whether n float32 values at `data` hold a signalling NaN (exponent all
// ones, quiet bit clear, payload non-zero).
inline bool has_signalling_nan_f32(const char* data, int64_t n) noexcept {
  uint32_t found = 0;
  for (int64_t i = 0; i < n; ++i) {
    uint32_t b;
    std::memcpy(&b, data + 4 * i, 4);
    found |= static_cast<uint32_t>((b & 0x7fc00000u) == 0x7f800000u) &
             static_cast<uint32_t>((b & 0x003fffffu) != 0);
  }
  return found != 0;
}

}  // namespace tessaro::kernels
