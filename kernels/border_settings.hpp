// The border and feathering settings of one remap call, as plain data.
#pragma once

#include <cstdint>

#include "kernels/border.hpp"

namespace tessaro::kernels {

// Shared by the 2-D and 1-D remaps; the 1-D remap reads the x multipliers
// and the first axis of the border array only, and has no distance mode or
// preserve rule.
struct BorderSettings {
  // ARRAY mode only, read at the output position ([i, j, k] in 2-D, [i, k]
  // in 1-D). Its extents bound every read (see BorderValues); one channel is
  // broadcast to all C. float64, channels contiguous.
  const char* border_array = nullptr;
  int64_t border_array_stride0 = 0;
  int64_t border_array_stride1 = 0;
  int64_t border_array_rows = 0;
  int64_t border_array_cols = 0;
  int64_t border_array_channels = 0;

  // Per-channel feather widths; empty (length 0) means feathering_width for
  // every channel. Channels at or past `feather_d_len` also use it.
  const double* feather_d = nullptr;
  int64_t feather_d_len = 0;

  int32_t border_mode = border::CLAMP;
  double border_const = 0.0;
  double feathering_width = 0.0;
  double feathering_x_undershoot_multiplier = 0.0;
  double feathering_x_overshoot_multiplier = 0.0;
  double feathering_y_undershoot_multiplier = 0.0;
  double feathering_y_overshoot_multiplier = 0.0;
  int32_t feathering_mode = 0;
  int32_t distance_mode = 0;
  int32_t preserve_non_feather_dims = 0;
};

}  // namespace tessaro::kernels
