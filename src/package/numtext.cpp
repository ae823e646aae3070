#include "package/numtext.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace morvane {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kPow10[10] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes n in decimal, at least `min_digits` digits, right-aligned to end at `end`; returns
// the start.
char* write_digits(std::uint64_t n, int min_digits, char* end) noexcept {
  char* p = end;
  while (n >= 100) {
    const std::uint64_t pair = n % 100;
    n /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * pair, 2);
  }
  if (n >= 10) {
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * n, 2);
  } else {
    *--p = static_cast<char>('0' + n);
  }
  while (end - p < min_digits) *--p = '0';
  return p;
}

// round(|value| * 10^decimals) with ties to even, exactly; false when it does not fit 64 bits.
bool scaled_integer(double magnitude, int decimals, std::uint64_t& result) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(magnitude);
  const unsigned biased = static_cast<unsigned>(bits >> 52);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent;
  if (biased == 0) {
    exponent = -1074;
  } else {
    mantissa |= std::uint64_t{1} << 52;
    exponent = static_cast<int>(biased) - 1075;
  }
  const u128 product = static_cast<u128>(mantissa) * kPow10[decimals];  // below 2^83
  u128 scaled;
  if (exponent >= 0) {
    if (exponent > 40) return false;
    scaled = product << exponent;
  } else {
    const int shift = -exponent;
    if (shift >= 100) {
      scaled = 0;  // below 2^-17 of a unit: far from a half
    } else {
      scaled = product >> shift;
      const u128 rest = product & ((static_cast<u128>(1) << shift) - 1);
      const u128 half = static_cast<u128>(1) << (shift - 1);
      if (rest > half || (rest == half && (scaled & 1) != 0)) ++scaled;
    }
  }
  if (scaled > UINT64_MAX) return false;
  result = static_cast<std::uint64_t>(scaled);
  return true;
}

}  // namespace

std::size_t format_fixed(double value, int decimals, char* out) noexcept {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  const bool negative = std::signbit(value);
  if (std::isinf(value)) {
    if (negative) {
      std::memcpy(out, "-inf", 4);
      return 4;
    }
    std::memcpy(out, "inf", 3);
    return 3;
  }
  std::uint64_t scaled;
  if (!scaled_integer(std::fabs(value), decimals, scaled)) {
    const int n = std::snprintf(out, kFixedTextMax, "%.*f", decimals, value);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  char digits[32];
  char* end = digits + sizeof digits;
  char* start = write_digits(scaled, decimals + 1, end);
  const std::size_t total = static_cast<std::size_t>(end - start);
  const std::size_t whole = total - static_cast<std::size_t>(decimals);
  char* p = out;
  if (negative) *p++ = '-';
  std::memcpy(p, start, whole);
  p += whole;
  *p++ = '.';
  std::memcpy(p, start + whole, static_cast<std::size_t>(decimals));
  p += decimals;
  return static_cast<std::size_t>(p - out);
}

}  // namespace morvane
