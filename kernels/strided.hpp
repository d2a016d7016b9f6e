// Element access through byte offsets, as array views address memory.
#pragma once

#include <cstdint>
#include <cstring>

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

}  // namespace tessaro::kernels
