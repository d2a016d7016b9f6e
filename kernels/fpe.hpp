// NumPy's floating-point error bits, as its casts report them. The kernels
// collect them where they narrow results; the entries hand them to NumPy.
#pragma once

namespace tessaro::fpe {
inline constexpr int DIVIDEBYZERO = 1;
inline constexpr int OVERFLOW = 2;
inline constexpr int UNDERFLOW = 4;
inline constexpr int INVALID = 8;
}  // namespace tessaro::fpe
