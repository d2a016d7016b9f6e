// The least a uint8 bilinear remap of the bench warp must do per pixel, as
// one plain loop with nothing of the package around it: read the float64
// unit coordinates, clamp them, form the taps and fractions in double, read
// the four taps (three channels each), interpolate in float lanes, test
// that the levels are certain (as the 8-bit float path does) and write
// three bytes. Parts of the work can be left out, to see what each costs:
//
//   g++ -O2 -mavx2 -ffp-contract=off -std=c++20 bench/minimal_loop.cpp -o /tmp/minimal_loop
//   /tmp/minimal_loop            # the whole loop
//   /tmp/minimal_loop offsets    # only the tap reads, from offsets computed beforehand
//   /tmp/minimal_loop positions  # only the positions and the tap reads
//   /tmp/minimal_loop no-reads   # everything but the tap reads (taps from the offsets)
//
// One thread, 1024x1024x3, the best of 15 runs, in ns per output pixel.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int H = 1024, W = 1024, C = 3;

// bench/run.py's warp_maps (with fixed phases): a 1.15 degree rotation and
// a smooth displacement of up to 3 pixels, as unit maps.
void warp_maps(std::vector<double>& mx, std::vector<double>& my) {
  const double a = 0.02, cx = (W - 1) / 2.0, cy = (H - 1) / 2.0;
  for (int i = 0; i < H; ++i) {
    for (int j = 0; j < W; ++j) {
      const double dx = 3 * std::sin(j / double(W) * 6.1) * std::cos(i / double(H) * 4.3);
      const double dy = 3 * std::cos(j / double(W) * 5.2) * std::sin(i / double(H) * 3.7);
      mx[i * W + j] = (std::cos(a) * (j - cx) - std::sin(a) * (i - cy) + cx + dx) / (W - 1);
      my[i * W + j] = (std::sin(a) * (j - cx) + std::cos(a) * (i - cy) + cy + dy) / (H - 1);
    }
  }
}

struct Taps {
  int top;  // byte offset of the top-left tap
  int dx;   // bytes to the right-hand taps (0 at the last column)
  int dy;   // bytes to the bottom taps (0 at the last row)
  float fx, fy;
};

Taps taps(double u, double v) {
  u = std::clamp(u, 0.0, 1.0);
  v = std::clamp(v, 0.0, 1.0);
  const double px = u * (W - 1), py = v * (H - 1);
  const int x0 = std::min(static_cast<int>(px), W - 1), y0 = std::min(static_cast<int>(py), H - 1);
  return {(y0 * W + x0) * C, x0 < W - 1 ? C : 0, y0 < H - 1 ? W * C : 0,
          static_cast<float>(px - x0), static_cast<float>(py - y0)};
}

__m128 tap(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(w))));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string part = argc > 1 ? argv[1] : "all";
  const bool planned_taps = part == "offsets" || part == "no-reads";
  const bool no_reads = part == "no-reads";
  const bool reads_only = part == "offsets" || part == "positions";
  std::vector<uint8_t> src(H * W * C + 4), dst(H * W * C + 4), fixed(4 * 64, 7);
  uint32_t seed = 1;
  for (auto& b : src) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  std::vector<double> mx(H * W), my(H * W);
  warp_maps(mx, my);
  std::vector<Taps> planned(H * W);
  for (int p = 0; p < H * W; ++p) planned[p] = taps(mx[p], my[p]);

  double best = 1e30;
  uint64_t check = 0;
  for (int run = 0; run < 15; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int p = 0; p < H * W; ++p) {
      const Taps t = planned_taps ? planned[p] : taps(mx[p], my[p]);
      const uint8_t* q = no_reads ? fixed.data() + (p & 63) : src.data() + t.top;
      const __m128 tl = tap(q), tr = tap(q + t.dx), bl = tap(q + t.dy), br = tap(q + t.dy + t.dx);
      if (reads_only) {
        check += static_cast<uint32_t>(_mm_cvtss_si32(_mm_add_ps(_mm_add_ps(tl, tr), _mm_add_ps(bl, br))));
        continue;
      }
      const __m128 fx = _mm_set1_ps(t.fx), fy = _mm_set1_ps(t.fy);
      const __m128 top = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(tr, tl), fx), tl);
      const __m128 bottom = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(br, bl), fx), bl);
      const __m128 r = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(bottom, top), fy), top);
      const __m128 k = _mm_round_ps(r, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
      const __m128 d = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(r, k));
      check += (_mm_movemask_ps(_mm_cmplt_ps(d, _mm_set1_ps(0.5f - 0x1p-12f))) & 7) != 7;
      __m128i levels = _mm_cvtps_epi32(k);
      levels = _mm_packus_epi16(_mm_packus_epi32(levels, levels), levels);
      const uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(levels));
      std::memcpy(&dst[p * C], &bytes, 3);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    best = std::min(best, ms);
  }
  for (const uint8_t b : dst) check += b;
  std::printf("%s: %.2f ns per pixel (check %llu)\n", part.c_str(), best * 1e6 / (H * W),
              static_cast<unsigned long long>(check));
}
