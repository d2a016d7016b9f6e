// exact_sine::sin against the C library's sin, bit for bit, in the baseline
// copy and (where the CPU has it) the AVX2 copy: `sine_check [N]` checks N
// (default 10^7) random arguments in (-4 pi, 4 pi), every x = t pi and x / a
// that the phases j / 2^16 give the taps of Lanczos-3 and -4, integer t and
// t = +-a, and prints the share of lanes the estimate left to sin. Then the
// batched Lanczos weights against lanczos_weight<A>, for runs of random
// positions (phases j / 2^16 and j / 2^17, and any doubles) of which a
// random part (any count, not only multiples of 4) misses.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/exact_sine.hpp"
#include "kernels/lanczos_weights.hpp"
#include "kernels/taps.hpp"

namespace ks = tessaro::kernels;
constexpr double kPi = 3.141592653589793;

struct Tally {
  uint64_t checked = 0, fallbacks = 0, mismatches = 0;
};

[[gnu::always_inline]] inline void check(const std::vector<double>& x, Tally& t) {
  for (size_t i = 0; i < x.size(); i += 4) {
    const ks::simd::vd v = ks::simd::load(x.data() + i);
    const ks::simd::vd y = ks::exact_sine::sin(v, ks::simd::splat_i64(-1));
    const ks::simd::vl ok = ks::exact_sine::estimate(v).exact;
    for (int l = 0; l < 4; ++l) {
      const double want = std::sin(x[i + l]), got = y[l];
      t.fallbacks += !ks::exact_sine::kLibraryBoundKnown || ok[l] == 0;
      if (std::memcmp(&want, &got, sizeof want) != 0 && t.mismatches++ < 10)
        std::printf("  sin(%a) = %a, vector sine %a\n", x[i + l], want, got);
    }
  }
  t.checked += x.size();
}
template <int A>
[[gnu::always_inline]] inline uint64_t check_weights(std::mt19937_64& rng) {
  constexpr int kRun = 64;
  uint64_t bad = 0;
  for (int run = 0; run < 20000; ++run) {
    double p[kRun], base[kRun], w[2 * A][kRun];
    int at[kRun], count = 0;
    for (int i = 0; i < kRun; ++i) {
      if (run % 3 == 2)  // any double, of any magnitude up to 2^30: offsets that round
        p[i] = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> 10)) - 0x1p53, static_cast<int>(rng() % 61) - 83);
      else
        p[i] = static_cast<double>(static_cast<int64_t>(rng() % (1 << 24)) - (1 << 23)) / (run % 2 ? 65536 : 1 << 17);
      base[i] = std::trunc(p[i]);
      if (rng() % 3 != 0) at[count++] = i;
    }
    ks::lanczos_weights_at<A, kRun>(p, base, at, count, w);
    for (int m = 0; m < count; ++m)
      for (int t = 0; t < 2 * A; ++t) {
        const double want = ks::lanczos_weight<A>(p[at[m]] - (base[at[m]] + (t - (A - 1))));
        bad += std::memcmp(&want, &w[t][at[m]], sizeof want) != 0;
      }
  }
  return bad;
}
// Both copies of the kernels, whatever this CPU would pick (simd.hpp).
void check_baseline(const std::vector<double>& x, Tally& t) { check(x, t); }
uint64_t weights_baseline(std::mt19937_64& rng) { return check_weights<3>(rng) + check_weights<4>(rng); }
#ifdef TESSARO_SIMD_X86
void check_avx2(const std::vector<double>& x, Tally& t) {
  auto body = [&]<class>() { check(x, t); };
  ks::simd::run_avx2(body);
}
uint64_t weights_avx2(std::mt19937_64& rng) {
  auto body = [&]<class>() { return check_weights<3>(rng) + check_weights<4>(rng); };
  return ks::simd::run_avx2(body);
}
constexpr bool kHasAvx2Copy = true;
#else
void check_avx2(const std::vector<double>&, Tally&) {}
uint64_t weights_avx2(std::mt19937_64&) { return 0; }
constexpr bool kHasAvx2Copy = false;
#endif

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
  bool avx2 = kHasAvx2Copy;
#ifdef TESSARO_SIMD_X86
  avx2 = ks::simd::cpu_has_avx2();
#endif
  std::vector<double> lanczos, integer;
  for (int A = 3; A <= 4; ++A) {
    for (int j = 0; j < 65536 * (2 * A + 1); ++j) {  // t = j / 2^16 - k, k = -A .. A
      const double t = static_cast<double>(j % 65536) / 65536.0 - (j / 65536 - A);
      if (std::fabs(t) < A) lanczos.insert(lanczos.end(), {t * kPi, t * kPi / A});
    }
    for (int k = -A; k <= A; ++k) integer.insert(integer.end(), {k * kPi, k * kPi / A});
  }
  Tally tally[3][2];
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> uniform(-4 * kPi, 4 * kPi);
  std::vector<double> chunk;
  for (uint64_t done = 0; done < count; done += chunk.size()) {
    chunk.resize((std::min<uint64_t>(count - done, 1 << 20) + 3) & ~uint64_t{3});
    for (double& v : chunk) v = uniform(rng);
    check_baseline(chunk, tally[0][0]);
    if (avx2) check_avx2(chunk, tally[0][1]);
  }
  const char* names[3] = {"random in (-4 pi, 4 pi)", "Lanczos phases j/2^16", "integer t, t = +-a"};
  std::vector<double>* sets[3] = {nullptr, &lanczos, &integer};
  bool failed = false;
  for (int s = 0; s < 3; ++s) {
    if (sets[s]) {
      while (sets[s]->size() % 4 != 0) sets[s]->push_back(1.0);
      check_baseline(*sets[s], tally[s][0]);
      if (avx2) check_avx2(*sets[s], tally[s][1]);
    }
    const Tally& b = tally[s][0];
    std::printf("%-24s %11" PRIu64 " arguments: %" PRIu64 " mismatches (AVX2 copy: %s), %.2f %% to sin\n",
                names[s], b.checked, b.mismatches,
                avx2 ? std::to_string(tally[s][1].mismatches).c_str() : "not run",
                100.0 * b.fallbacks / b.checked);
    failed |= b.checked == 0 || b.mismatches != 0 || tally[s][1].mismatches != 0;
  }
  const uint64_t bad = weights_baseline(rng) + (avx2 ? weights_avx2(rng) : 0);
  std::printf("Lanczos weights of batched misses: %" PRIu64 " mismatches\n", bad);
  failed |= bad != 0;
  std::printf(failed ? "FAILED\n" : "ok\n");
  return failed ? 1 : 0;
}
