// The 2-D pipeline for integer images, read and written in their own type.
#include "kernels/remap2d.hpp"

namespace tessaro::kernels {
template int remap2d_rows<uint8_t, uint8_t>(const Remap2D&, int64_t, int64_t) noexcept;
template int remap2d_rows<int8_t, int8_t>(const Remap2D&, int64_t, int64_t) noexcept;
template int remap2d_rows<uint16_t, uint16_t>(const Remap2D&, int64_t, int64_t) noexcept;
template int remap2d_rows<int16_t, int16_t>(const Remap2D&, int64_t, int64_t) noexcept;
}  // namespace tessaro::kernels
