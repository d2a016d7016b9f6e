// The 2-D pipeline for floating-point images (one of two translation units,
// so that a build compiles the element types in parallel).
#include "kernels/remap2d.hpp"

namespace tessaro::kernels {
template int remap2d_rows<double, double>(const Remap2D&, int64_t, int64_t) noexcept;
template int remap2d_rows<float, float>(const Remap2D&, int64_t, int64_t) noexcept;
}  // namespace tessaro::kernels
