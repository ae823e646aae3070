// Compares the block sample-time spreading (which takes two samples per step where it can)
// with the plain per-sample formula, for random blocks drawn around the places where the
// paired path hands over to the plain one.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "packet/timing.hpp"

namespace {

std::int64_t reference_micros(std::size_t i, double first, double end, std::size_t n) {
  const double x = (static_cast<double>(i) * (end - first) / static_cast<double>(n) + first) * 1e6;
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

}  // namespace

int main(int argc, char** argv) {
  const long draws = argc > 1 ? std::atol(argv[1]) : 100000;
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  // Realistic device clocks, whole and tenth-of-a-microsecond starts, the edges of the paired
  // range (1 us and 2^52 us), negative times, and times beyond the 64-bit microsecond range.
  const double bases[] = {1.7e9, 9.5e8, 2.9e9, 1e-6, 2e-6, 0.0, 0.5, 4503599627.370496,
                          4503595332.0, 4503599627.0, -3.0, 1e13, 9.3e12, -9.3e12};
  long checked = 0;
  for (long d = 0; d < draws; ++d) {
    const double base = bases[static_cast<std::size_t>(d) % (sizeof bases / sizeof bases[0])];
    const double wiggle = d % 7 == 0 ? 1e-3 : 10.0;
    double first = base + (unit(rng) - 0.5) * wiggle;
    if (d % 5 == 0) first = std::floor(first * 1e4) / 1e4;
    const double span = (unit(rng) - 0.2) * (d % 3 == 0 ? 1e-4 : 2.0);
    const double end = first + span;
    const std::size_t n = 1 + static_cast<std::size_t>(rng() % 120);
    std::int64_t micros[120];
    double seconds[120];
    morvane::spread_sample_times(first, end, n, micros);
    morvane::spread_sample_seconds(first, end, n, seconds);
    for (std::size_t i = 0; i < n; ++i, ++checked) {
      const std::int64_t want = reference_micros(i, first, end, n);
      const double want_s = static_cast<double>(want) / 1e6;
      if (micros[i] != want || std::memcmp(&seconds[i], &want_s, sizeof want_s) != 0) {
        std::printf("differs: first %.17g end %.17g n %zu i %zu: %" PRId64 " %.17g, want %" PRId64
                    " %.17g\n",
                    first, end, n, i, micros[i], seconds[i], want, want_s);
        return 1;
      }
    }
  }
  std::printf("ok %ld\n", checked);
  return 0;
}
