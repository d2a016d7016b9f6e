// The one pipeline of every remap.
//
// Output positions go in runs of up to kRun. Each run is planned (its
// positions, their border resolution, taps and weights) one run ahead of
// its sampling, so that sampling finds the source lines the planning
// prefetched. Then, channel group by channel group, the run is sampled and
// written: straight into the output when no position of the run blends
// with a border value, else through a staging buffer and the blend; NaN
// positions are written last, over whatever the loops wrote there.
//
// What differs between remaps is the position source P:
//   using Kernel;                       the kernel tag (interpolation.hpp)
//   using Run;                          a planned run, with at least
//                                         n, any_blend, blend[], any_nan, nan[]
//   bool next<Isa>(Run&)                plans the next run; false when done
//   int64_t channels() const
//   char* out(const Run&) const         output element of the run's first
//   int64_t out_stride() const            position, and bytes between positions
//   sample<G, Isa>(run, k0, sink)       channels [k0, k0 + G) of the run
//   blend<G, D>(run, m, k0, e, out, w)  the blend of position m, given its
//                                         samples e[0 .. G)
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/axis_plan.hpp"
#include "kernels/sampler.hpp"
#include "kernels/simd.hpp"
#include "kernels/strided.hpp"
#include "kernels/writer.hpp"

namespace tessaro::kernels::detail {

// n map values of type M from `row` (stride in bytes) into out[0 ..) as
// doubles (exact), zeros up to the next whole vector.
template <class M>
inline void load_map_run(const char* row, int64_t stride, int n, double* out) noexcept {
  int m = 0;
  if (stride == static_cast<int64_t>(sizeof(M))) {
    if constexpr (std::is_same_v<M, double>) {
      std::memcpy(out, row, static_cast<std::size_t>(n) * sizeof(double));
      m = n;
    } else {
      for (; m + simd::kLanes <= n; m += simd::kLanes) {
        simd::vf v;
        std::memcpy(&v, row + m * sizeof(float), sizeof v);
        simd::store(out + m, __builtin_convertvector(v, simd::vd));
      }
    }
  }
  for (; m < n; ++m) out[m] = static_cast<double>(load_as<M>(row + m * stride));
  for (int k = n; k % simd::kLanes != 0; ++k) out[k] = 0.0;
}

// `note` if one of the n float32 values at `row` (stride in bytes) is a
// signalling NaN, else 0. The widening quiets it, as NumPy's float64
// conversion would, but NumPy would also report it: runs whose widened
// values hold a NaN look again.
inline int signalling_note(const char* row, int64_t stride, int n, int note) noexcept {
  bool found = false;
  for (int m = 0; m < n; ++m) found |= is_signalling(load_as<float>(row + m * stride));
  return found ? note : 0;
}

// One run's planning, out of line, in the instruction set of the copy that
// calls it.
template <class P, class Isa>
[[gnu::noinline]] bool plan_apart(P& positions, typename P::Run& r) noexcept {
  auto body = [&]<class I>() { return positions.template next<I>(r); };
  return simd::run_apart<Isa>(body);
}

// Runs every run of `positions` into outputs of element type D; returns the
// floating-point exceptions that narrowing results to float raised.
template <class D, class Isa, class P>
inline int run_pipeline(P& positions) noexcept {
  using K = typename P::Kernel;
  using Run = typename P::Run;
  using W = Writer<D, Isa>;
  W writer;
  // Lanczos planning stays inline: out of line it ran at a third of the
  // speed (measured on the 1024x1024x3 warp).
  const auto plan_next = [&](Run& r) {
    if constexpr (K::taps > 4) {
      return positions.template next<Isa>(r);
    } else {
      return plan_apart<P, Isa>(positions, r);
    }
  };
  const int64_t stride = positions.out_stride();
  const auto sample_run = [&](const Run& r) {
    char* const out_run = positions.out(r);
    for_channel_groups(positions.channels(), [&](int64_t k0, auto group) {
      constexpr int G = decltype(group)::value;
      char* const out = out_run + element_offset<D>(k0);
      if (!r.any_blend) {  // every position written as sampled
        DirectSink<D, W> sink{out, stride, &writer};
        positions.template sample<G, Isa>(r, k0, sink);
        if constexpr (W::kWatches) {
          if (writer.take_unusual()) {  // a value that may raise when narrowed: redo, watching
            StrictSink<D, W> strict{out, stride, &writer};
            positions.template sample<G, Isa>(r, k0, strict);
          }
        }
      } else {
        StagingSink<G> staged;
        positions.template sample<G, Isa>(r, k0, staged);
        for (int m = 0; m < r.n; ++m) {
          char* const at = out + m * stride;
          if (r.blend[m]) {
            positions.template blend<G, D>(r, m, k0, staged.e[m], at, writer);
          } else {
            for (int g = 0; g < G; ++g) writer.put(at + element_offset<D>(g), staged.e[m][g]);
          }
        }
      }
      if (r.any_nan) put_nan<G, D>(r.nan, r.n, out, stride, writer);
    });
  };
  // Plans run k into runs[k % 2], then samples run k - 1. The planning has
  // one call site, so an inline (Lanczos) planning is compiled once.
  Run runs[2];
  int cur = 0;
  bool pending = false;  // runs[cur ^ 1] is planned and not yet sampled
  for (;;) {
    const bool planned = plan_next(runs[cur]);
    if (pending) sample_run(runs[cur ^ 1]);
    if (!planned) break;
    pending = true;
    cur ^= 1;
  }
  return writer.errors;
}

}  // namespace tessaro::kernels::detail
