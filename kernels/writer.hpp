// Writing sampled results into the output in its own element type.
//
// Every result is computed in double; the writer for the output's type does
// the one conversion the result would get from casting a float64 output:
// none for double, rounding for float (with the floating-point exceptions
// NumPy's cast would report), and for integers the saturating rule (NaN
// gives 0, values beyond the type's range its nearest end, the others the
// nearest integer, ties to even, as numpy.rint gives it). Rounding, not
// truncation, keeps a flat picture flat: 199.99999999999997 is level 200.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/fpe.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"

namespace tessaro::kernels {

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
  static constexpr bool kWatches = false;  // no narrowing, nothing to report
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
};

template <class Isa>
struct Writer<float, Isa> {
  static constexpr bool kWatches = true;  // see take_unusual()
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

// The saturating conversion of one result to the integer type D. The
// range's ends are integers, so clamping before rounding gives what
// rounding before clamping would.
template <class D>
inline D saturate(double v) noexcept {
  constexpr double lo = static_cast<double>(std::numeric_limits<D>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<D>::max());
  if (!(v == v)) return D{0};
  if (v <= lo) return std::numeric_limits<D>::min();
  if (v >= hi) return std::numeric_limits<D>::max();
  // Strictly inside the range, and so is its nearest integer (for 64-bit
  // types every double at or above 2^52 already is one).
  return static_cast<D>(std::nearbyint(v));
}

// Integer outputs of at most 16 bits (the types read directly). Nothing is
// reported: the saturating rule is the documented result, not an error.
template <class D, class Isa>
  requires std::is_integral_v<D>
struct Writer<D, Isa> {
  static constexpr bool kWatches = false;
  int errors = 0;

  void put(char* p, double v) noexcept {
    const D d = saturate<D>(v);
    std::memcpy(p, &d, sizeof d);
  }
  template <int G>
  void put_channels(char* p, simd::vd v) noexcept {
    put_levels<G>(p, convert(v));
  }
  // G adjacent channels from lanes 0 .. G-1 of levels already saturated.
  template <int G>
  void put_levels(char* p, simd::v4<D> d) noexcept {
    if constexpr (G == 3) {
      // Through a general register: a 3-, or 6-byte copy out of a vector
      // goes through the stack, and reading it back there stalls.
      using Word = std::conditional_t<sizeof(D) == 1, uint32_t, uint64_t>;
      using Half = std::conditional_t<sizeof(D) == 1, uint16_t, uint32_t>;
      Word w;
      std::memcpy(&w, &d, sizeof w);
      const Half lo = static_cast<Half>(w);
      const D hi = static_cast<D>(w >> (16 * sizeof(D)));
      std::memcpy(p, &lo, sizeof lo);
      std::memcpy(p + sizeof lo, &hi, sizeof hi);
    } else {
      std::memcpy(p, &d, sizeof(D) * G);
    }
  }
  void put_lanes(char* p, int64_t stride, int count, simd::vd v) noexcept {
    const simd::v4<D> d = convert(v);
    if (count == simd::kLanes && stride == static_cast<int64_t>(sizeof(D))) {
      std::memcpy(p, &d, sizeof d);
      return;
    }
    for (int l = 0; l < count; ++l) {
      const D x = d[l];
      std::memcpy(p + l * stride, &x, sizeof x);
    }
  }

 private:
  static_assert(sizeof(D) <= 2, "the lanes are converted through int32");
  // saturate() on four lanes: ordered comparisons send NaN to the lower
  // end first, then the NaN test puts 0 there; the clamped lanes are then
  // rounded as nearbyint rounds them.
  [[gnu::always_inline]] static simd::v4<D> convert(simd::vd v) noexcept {
    const simd::vd lo = simd::splat(static_cast<double>(std::numeric_limits<D>::min()));
    const simd::vd hi = simd::splat(static_cast<double>(std::numeric_limits<D>::max()));
    simd::vd c = simd::select(v >= lo, simd::select(v <= hi, v, hi), lo);
    c = simd::select(v == v, c, simd::splat(0.0));
    return simd::narrow_in_range<D>(simd::trunc_i32(simd::round_small(c)));
  }
};

// A NaN coordinate has no position, so its result is NaN whatever the
// kernel, border mode or feathering (0 in integer outputs): written over
// what the run's loops wrote for channels [k0, k0 + G) of those positions.
template <int G, class D, class W>
inline void put_nan(const int64_t* nan, int n, char* out, int64_t stride, W& writer) noexcept {
  for (int m = 0; m < n; ++m) {
    if (!nan[m]) continue;
    for (int g = 0; g < G; ++g)
      writer.put(out + m * stride + element_offset<D>(g), std::numeric_limits<double>::quiet_NaN());
  }
}

}  // namespace tessaro::kernels
