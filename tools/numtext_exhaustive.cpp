// Runs float32 bit patterns through the CSV channel writers and compares them with the general
// exact formatter (format_fixed, which tests/test_numtext.py holds to the C library):
// channel_words on consecutive patterns four at a time and on each pattern among three
// ordinary values, and format_channel. Too slow for the test suite (minutes); run it after
// changing the channel paths, once as below and once with -U__SSE2__ for the scalar paths:
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc tools/numtext_exhaustive.cpp
//       src/package/numtext.cpp -o /tmp/numtext_exhaustive
//   /tmp/numtext_exhaustive 0 4b800000 && /tmp/numtext_exhaustive 80000000 cb800000
//
// FIRST and LAST (hexadecimal, default every pattern) bound the patterns. The two ranges above
// hold every magnitude below 2^23 and the first binade above it: from there up no value has a
// word and format_channel hands the value to format_fixed itself. Prints "ok N" or the first
// mismatch.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/numtext.hpp"

namespace {

// The word a value must have: the magnitude's general text when it is "d.dddddd", else 0.
std::uint64_t expected_word(float f) {
  char text[morvane::kFixedTextMax];
  const std::size_t n = morvane::format_fixed(static_cast<double>(f), 6, text);
  const std::size_t sign = n > 0 && text[0] == '-' ? 1 : 0;
  if (n - sign != 8 || text[sign + 1] != '.') return 0;
  std::uint64_t word;
  std::memcpy(&word, text + sign, 8);
  return word;
}

[[noreturn]] void fail(const char* what, std::uint32_t bits) {
  std::printf("mismatch %s %08" PRIx32 "\n", what, bits);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t first = argc > 2 ? std::strtoull(argv[1], nullptr, 16) : 0;
  const std::uint64_t last = argc > 2 ? std::strtoull(argv[2], nullptr, 16) : 0xFFFFFFFF;
  std::uint64_t checked = 0;
  for (std::uint64_t base = first & ~std::uint64_t{3}; base <= last; base += 4) {
    float quad[4];
    std::uint64_t want[4];
    for (int k = 0; k < 4; ++k) {
      quad[k] = std::bit_cast<float>(static_cast<std::uint32_t>(base + static_cast<unsigned>(k)));
      want[k] = expected_word(quad[k]);
    }
    std::uint64_t words[4];
    morvane::channel_words(quad, 4, words);
    for (int k = 0; k < 4; ++k) {
      const auto bits = static_cast<std::uint32_t>(base + static_cast<unsigned>(k));
      if (words[k] != want[k]) fail("word in its own step", bits);
      float alone[4] = {0.25f, 0.25f, 0.25f, 0.25f};
      alone[k] = quad[k];
      std::uint64_t alone_words[4];
      morvane::channel_words(alone, 4, alone_words);
      if (alone_words[k] != want[k]) fail("word among ordinary values", bits);
      char ours[morvane::kFixedTextMax];
      char general[morvane::kFixedTextMax];
      const std::size_t n = morvane::format_channel(quad[k], ours);
      const std::size_t m = morvane::format_fixed(static_cast<double>(quad[k]), 6, general);
      if (n != m || std::memcmp(ours, general, n) != 0) fail("format_channel", bits);
      checked += 3;
    }
  }
  std::printf("ok %" PRIu64 "\n", checked);
  return 0;
}
