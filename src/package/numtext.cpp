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

constexpr std::uint64_t kPow10Wide[20] = {
    1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u,
    10000000000u, 100000000000u, 1000000000000u, 10000000000000u, 100000000000000u,
    1000000000000000u, 10000000000000000u, 100000000000000000u, 1000000000000000000u,
    10000000000000000000u};

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

// Writes n without leading zeros; returns the end.
char* write_unsigned(std::uint64_t n, char* out) noexcept {
  int len = 1;
  while (len < 20 && n >= kPow10Wide[len]) ++len;
  char* end = out + len;
  write_digits(n, len, end);
  return end;
}

// Writes `whole` "." and `frac` as exactly `decimals` (4 or 6) digits.
char* write_point(std::uint64_t whole, std::uint64_t frac, int decimals, char* out) noexcept {
  // Sensor values mostly have one or two digits before the point.
  if (whole < 10) {
    *out++ = static_cast<char>('0' + whole);
  } else if (whole < 100) {
    std::memcpy(out, kDigitPairs + 2 * whole, 2);
    out += 2;
  } else {
    out = write_unsigned(whole, out);
  }
  *out++ = '.';
  for (int i = decimals - 2; i >= 0; i -= 2) {
    std::memcpy(out + i, kDigitPairs + 2 * (frac % 100), 2);
    frac /= 100;
  }
  return out + decimals;
}

}  // namespace

std::size_t format_channel(float value, char* out) noexcept {
  // A float is m * 2^e with m below 2^24, so m * 10^6 fits 64 bits and the rounding of the
  // scaled value can be done in integers whenever the shift stays below 64.
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const unsigned biased = (bits >> 23) & 0xFF;
  if (biased == 0xFF) return format_fixed(static_cast<double>(value), 6, out);
  std::uint64_t mantissa = bits & 0x7FFFFF;
  int exponent;
  if (biased == 0) {
    exponent = -149;
  } else {
    mantissa |= 0x800000;
    exponent = static_cast<int>(biased) - 150;
  }
  if (exponent >= 0 || exponent <= -64) return format_fixed(static_cast<double>(value), 6, out);
  const int shift = -exponent;
  const std::uint64_t product = mantissa * 1000000u;
  std::uint64_t scaled = product >> shift;
  const std::uint64_t rest = product & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && (scaled & 1) != 0)) ++scaled;
  char* p = out;
  if (bits >> 31) *p++ = '-';
  p = write_point(scaled / 1000000, scaled % 1000000, 6, p);
  return static_cast<std::size_t>(p - out);
}

std::size_t format_time(std::int64_t us, char* out) noexcept {
  // us / 1e6 in double is within half a unit in the last place of the exact quotient; below
  // 2^32 s that is under half a microsecond, so rounding to 100 microseconds can only differ
  // from the integer rounding of us at an exact tie (a remainder of 50), which takes the exact
  // path.
  constexpr std::int64_t kLimit = (std::int64_t{1} << 32) * 1000000;
  if (us > -kLimit && us < kLimit) {
    const bool negative = us < 0;
    const std::uint64_t magnitude = negative ? static_cast<std::uint64_t>(-us) : static_cast<std::uint64_t>(us);
    const std::uint64_t remainder = magnitude % 100;
    if (remainder != 50) {
      const std::uint64_t scaled = magnitude / 100 + (remainder > 50 ? 1 : 0);
      char* p = out;
      if (negative) *p++ = '-';
      p = write_point(scaled / 10000, scaled % 10000, 4, p);
      return static_cast<std::size_t>(p - out);
    }
  }
  return format_fixed(static_cast<double>(us) / 1e6, 4, out);
}

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
