#include "package/numtext.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

using numtext::kDigitPairs;

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

// Writes `whole` "." and `frac` as exactly `decimals` digits (an even count).
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

std::size_t numtext::channel_outside(float value, char* out) noexcept {
  // Reached only for magnitudes from 2^23 up, infinities and NaN, which are rare.
  return format_fixed(static_cast<double>(value), 6, out);
}

#if defined(__SSE2__)
namespace {

// round(|value| * 10^6) with ties to even for four values, or false when one of them does not
// round below 10^7 (NaN included). The magnitudes are widened to double and scaled by 10^6
// exactly (24 significant bits times 15625 * 2^6 fit in 53), then converted to integers by the
// MXCSR's rounding, which the caller has seen to be to nearest, ties to even. A subnormal input
// gives zero whether or not it is flushed to zero.
bool scaled_quad(const float* values, __m128i& scaled) noexcept {
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_loadu_ps(values));
  const __m128d mega = _mm_set1_pd(1e6);
  const __m128d low = _mm_mul_pd(_mm_cvtps_pd(magnitude), mega);
  const __m128d high = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(magnitude, magnitude)), mega);
  // Below 10^7 after rounding exactly when below 9999999.5, which goes up to the even 10^7.
  const __m128d limit = _mm_set1_pd(9999999.5);
  if (_mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(low, limit), _mm_cmplt_pd(high, limit))) != 3) {
    return false;
  }
  scaled = _mm_unpacklo_epi64(_mm_cvtpd_epi32(low), _mm_cvtpd_epi32(high));
  return true;
}

// The last step of digits8 for two values' four pairs each (16-bit lanes, in text order),
// after the first pair 0d is made d0: the point's byte is the zero.
__m128i unit_text(__m128i pairs) noexcept {
  pairs = _mm_mullo_epi16(pairs, _mm_set_epi16(1, 1, 1, 10, 1, 1, 1, 10));
  // For y = 10a + b below 100, y * 6554 = 65536a + (4a + 6554b) with the second term below
  // 2^16: its high half is a; ten times its low half is 65536b + (40a + 4b), whose high half
  // is b.
  const __m128i scale = _mm_set1_epi16(6554);
  const __m128i tens = _mm_mulhi_epu16(pairs, scale);
  const __m128i units = _mm_mulhi_epu16(_mm_mullo_epi16(pairs, scale), _mm_set1_epi16(10));
  const __m128i digits = _mm_or_si128(tens, _mm_slli_epi16(units, 8));
  return _mm_add_epi8(digits, _mm_set1_epi64x(static_cast<long long>(numtext::kZeros - 0x0200)));
}

// unit_word of four scaled magnitudes below 10^7 (32-bit lanes): digits8 across lanes.
void unit_quad(__m128i scaled, std::uint64_t* words) noexcept {
  // n / 10^4 = (n * 3518437209) >> 45 for every n below 3 * 10^10, since
  // 3518437209 * 10^4 - 2^45 = 1168 and n * 1168 stays below 2^45.
  const __m128i magic = _mm_set1_epi64x(3518437209);
  const __m128i even = _mm_srli_epi64(_mm_mul_epu32(scaled, magic), 45);
  const __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(scaled, 32), magic), 45);
  const __m128i high = _mm_or_si128(even, _mm_slli_epi64(odd, 32));
  // high stays below 1000, so one 16-bit product gives high * 10^4.
  const __m128i low = _mm_sub_epi32(scaled, _mm_madd_epi16(high, _mm_set1_epi32(10000)));
  // Four digits per 16-bit lane in text order: high and low of each value.
  const __m128i quads =
      _mm_packs_epi32(_mm_unpacklo_epi32(high, low), _mm_unpackhi_epi32(high, low));
  // x / 100 = (x * 5243) >> 19 for every x below 10^4.
  const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(quads, _mm_set1_epi16(5243)), 3);
  const __m128i rest = _mm_sub_epi16(quads, _mm_mullo_epi16(hundreds, _mm_set1_epi16(100)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words),
                   unit_text(_mm_unpacklo_epi16(hundreds, rest)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 2),
                   unit_text(_mm_unpackhi_epi16(hundreds, rest)));
}

}  // namespace
#endif

bool channel_words(const float* values, std::size_t n, std::uint64_t* words) noexcept {
  std::size_t i = 0;
  bool all = true;
#if defined(__SSE2__)
  // The conversion rounds as the MXCSR says; under any other rounding than the default one
  // every value goes the integer way.
  const bool nearest = (_mm_getcsr() & _MM_ROUND_MASK) == _MM_ROUND_NEAREST;
  if (numtext::kWordText && nearest) {
    for (; i + 4 <= n; i += 4) {
      __m128i scaled;
      if (scaled_quad(values + i, scaled)) {
        unit_quad(scaled, words + i);
      } else {
        for (std::size_t j = i; j < i + 4; ++j) {
          words[j] = numtext::channel_word(values[j]);
          all &= words[j] != 0;
        }
      }
    }
  }
#endif
  for (; i < n; ++i) {
    words[i] = numtext::channel_word(values[i]);
    all &= words[i] != 0;
  }
  return all;
}

ChannelWordMemo::ChannelWordMemo() noexcept {
  // Every entry starts keyed by +0.0 with its word.
  std::fill(std::begin(entries_), std::end(entries_), Entry{numtext::channel_word(0.0f), 0u});
}

bool ChannelWordMemo::words(const float* values, std::size_t n, std::uint64_t* words) noexcept {
  bool all = true;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(values[i]) & 0x7FFFFFFFu;
    // Fibonacci hashing: the product's top bits depend on every bit of the key.
    Entry& entry = entries_[(magnitude * 0x9E3779B1u) >> (32 - kBits)];
    if (entry.key != magnitude) {
      entry.word = numtext::channel_word(std::bit_cast<float>(magnitude));
      entry.key = magnitude;
    }
    words[i] = entry.word;
    all &= entry.word != 0;
  }
  return all;
}

std::int64_t numtext::tie_time_scaled(std::int64_t us) noexcept {
  std::uint64_t scaled = 0;
  // Within the word path the product fits 64 bits, so this always succeeds.
  scaled_integer(static_cast<double>(us) / 1e6, 4, scaled);
  return static_cast<std::int64_t>(scaled);
}

std::size_t numtext::time_outside(std::int64_t us, char* out) noexcept {
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
