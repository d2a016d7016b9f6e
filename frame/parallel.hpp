// The OpenMP loop shape shared by the parallel drivers.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessaro::frame {

// Below this many elementary operations a call runs on the calling thread:
// waking an OpenMP team costs more than such small work. The remap drivers
// count output elements times taps; clip_abs keeps its own documented
// threshold in elements (see _brisel.cpp).
inline constexpr std::int64_t kMinParallelWork = 1 << 15;

// Runs body(begin, end, thread) over [0, n) split into one contiguous block
// per thread, the block sizes of a static schedule without chunk size; the
// team is the OpenMP runtime's default, `thread` the block's thread number
// (below omp_get_max_threads()). Small work (`parallel` false) runs as one
// block on the calling thread without entering a parallel region. Returns
// after every block is done.
template <class Body>
void for_static_blocks(std::int64_t n, bool parallel, Body&& body) {
  if (n <= 0) return;
  if (!parallel) {
    body(std::int64_t{0}, n, 0);
    return;
  }
#pragma omp parallel
  {
    const std::int64_t threads = omp_get_num_threads();
    const std::int64_t t = omp_get_thread_num();
    const std::int64_t base = n / threads;
    const std::int64_t extra = n % threads;
    const std::int64_t begin = t * base + std::min(t, extra);
    const std::int64_t end = begin + base + (t < extra ? 1 : 0);
    if (begin < end) body(begin, end, static_cast<int>(t));
  }
}

// for_static_blocks for bodies that return a part of the result: one slot
// per thread, so that no thread writes where another does, combined in
// thread order from `init` once every block is done.
template <class T, class Body, class Combine>
T reduce_static_blocks(std::int64_t n, bool parallel, T init, Body&& body, Combine&& combine) {
  std::vector<T> parts(static_cast<std::size_t>(std::max(1, omp_get_max_threads())), init);
  for_static_blocks(n, parallel, [&](std::int64_t begin, std::int64_t end, int t) {
    parts[static_cast<std::size_t>(t)] = body(begin, end);
  });
  T all = init;
  for (const T& part : parts) all = combine(all, part);
  return all;
}

}  // namespace tessaro::frame
