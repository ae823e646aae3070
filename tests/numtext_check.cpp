// Compares the CSV writer's fixed-point formatter with the C library's "%.*f" over values read
// from standard input (one hexadecimal bit pattern and a precision per line) and over its own
// random draws (as many as the first argument says). Prints "ok N" or the first mismatch.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "package/numtext.hpp"

namespace {

bool same(double v, int decimals, std::string& detail) {
  char ours[morvane::kFixedTextMax + 1];
  const std::size_t n = morvane::format_fixed(v, decimals, ours);
  ours[n] = '\0';
  char libc[512];
  std::snprintf(libc, sizeof libc, "%.*f", decimals, v);
  if (std::strcmp(ours, libc) == 0) return true;
  char bits[64];
  std::snprintf(bits, sizeof bits, "%016" PRIx64, std::bit_cast<std::uint64_t>(v));
  detail = std::string(bits) + " %." + std::to_string(decimals) + "f: ours " + ours + ", libc " + libc;
  return false;
}

// The specialised writers must give the same texts as the general one.
bool same_channel(float f, std::string& detail) {
  if (!same(static_cast<double>(f), 6, detail)) return false;
  char ours[morvane::kFixedTextMax + 1];
  char general[morvane::kFixedTextMax + 1];
  const std::size_t n = morvane::format_channel(f, ours);
  const std::size_t m = morvane::format_fixed(static_cast<double>(f), 6, general);
  if (n == m && std::memcmp(ours, general, n) == 0) return true;
  detail = "channel " + std::string(general, m) + " written as " + std::string(ours, n);
  return false;
}

bool same_time(std::int64_t us, std::string& detail) {
  if (!same(static_cast<double>(us) / 1e6, 4, detail)) return false;
  char ours[morvane::kFixedTextMax + 1];
  char general[morvane::kFixedTextMax + 1];
  const std::size_t n = morvane::format_time(us, ours);
  const std::size_t m = morvane::format_fixed(static_cast<double>(us) / 1e6, 4, general);
  if (n == m && std::memcmp(ours, general, n) == 0) return true;
  detail = "time " + std::to_string(us) + ": " + std::string(general, m) + " written as " +
           std::string(ours, n);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const long draws = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  std::string detail;
  std::uint64_t checked = 0;
  char line[128];
  while (std::fgets(line, sizeof line, stdin)) {
    unsigned long long bits = 0;
    long long us = 0;
    int decimals = 0;
    bool ok;
    if (std::sscanf(line, "x %llx", &bits) == 1) {
      ok = same_channel(std::bit_cast<float>(static_cast<std::uint32_t>(bits)), detail);
    } else if (std::sscanf(line, "u %lld", &us) == 1) {
      ok = same_time(us, detail);
    } else if (std::sscanf(line, "%llx %d", &bits, &decimals) == 2) {
      ok = same(std::bit_cast<double>(static_cast<std::uint64_t>(bits)), decimals, detail);
    } else {
      continue;
    }
    if (!ok) {
      std::printf("mismatch %s\n", detail.c_str());
      return 1;
    }
    ++checked;
  }
  // Random float32 bit patterns of every exponent (channel values), and times in microseconds.
  std::mt19937_64 rng(20261208);
  for (long i = 0; i < draws; ++i) {
    const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (f != f || f - f != 0.0f) continue;  // NaN and infinities have fixed texts
    if (!same_channel(f, detail)) {
      std::printf("mismatch %s\n", detail.c_str());
      return 1;
    }
    // Times of every magnitude, and present-day device times with every sub-second remainder.
    const auto us = i % 2 ? static_cast<std::int64_t>(rng() >> 11) - (std::int64_t{1} << 52)
                          : static_cast<std::int64_t>(946684800000000 + rng() % 1893456000000000);
    if (!same_time(us, detail)) {
      std::printf("mismatch %s\n", detail.c_str());
      return 1;
    }
    checked += 2;
  }
  std::printf("ok %" PRIu64 "\n", checked);
  return 0;
}
