// Element access through byte offsets, as array views address memory.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

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

template <class T>
inline T load_as(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Channel k of an element whose channels are contiguous float64.
inline int64_t channel_offset(int64_t k) noexcept {
  return k * static_cast<int64_t>(sizeof(double));
}

// Entry k of a float64 table handed in by a caller, which may sit at any
// address (e.g. per-channel feather widths from a byte buffer).
inline double feather_width_at(const double* table, int64_t k) noexcept {
  return load_f64(reinterpret_cast<const char*>(table) + channel_offset(k));
}

template <class T>
inline int64_t element_offset(int64_t k) noexcept {
  return k * static_cast<int64_t>(sizeof(T));
}

// Whether a float32 is a signalling NaN (exponent all ones, quiet bit
// clear, payload non-zero).
inline bool is_signalling(float v) noexcept {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return ((b & 0x7fc00000u) == 0x7f800000u) & ((b & 0x003fffffu) != 0);
}

// Whether n float32 values at `data` hold a signalling NaN.
inline bool has_signalling_nan_f32(const char* data, int64_t n) noexcept {
  bool found = false;
  for (int64_t i = 0; i < n; ++i) found |= is_signalling(load_as<float>(data + 4 * i));
  return found;
}

}  // namespace tessaro::kernels
