// Reading the border value of ARRAY mode without leaving the border array.
//
// The array is indexed by the output position. Its extents are checked here
// because C-level callers may hand in arrays that do not cover the output:
// - exactly one channel: its value serves every channel (channel stride 0);
// - otherwise channel k is read when k is below the array's channel count;
// - positions or channels the array does not hold take `fallback` (the
//   CONSTANT-mode value), which only such undersized arrays ever see.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/strided.hpp"

namespace tessaro::kernels {

class BorderValues {
 public:
  BorderValues(int64_t channels, int64_t C, double fallback) noexcept
      : step_(channels == 1 ? 0 : channel_offset(1)),
        limit_(channels == 1 ? C : std::min(std::max<int64_t>(channels, 0), C)),
        fallback_(fallback) {}

  // `element` points at channel 0 of the output position's entry, or is null
  // when the array does not reach that position.
  double at(const char* element, int64_t k) const noexcept {
    if (element == nullptr || k >= limit_) return fallback_;
    return load_f64(element + k * step_);
  }

 private:
  int64_t step_;
  int64_t limit_;
  double fallback_;
};

}  // namespace tessaro::kernels
