// Exact fixed-point number texts for the CSV writer.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvane {

// Longest text format_fixed can write.
inline constexpr std::size_t kFixedTextMax = 400;

// Writes `value` with `decimals` digits after the point (1 to 9): the same text as the C
// library's "%.*f", that is the nearest such decimal with ties to even, a minus sign for every
// negative value including -0.0. NaN of either sign is "NaN", infinities are "inf" and "-inf".
// Returns the number of characters written to `out`, which holds kFixedTextMax characters.
std::size_t format_fixed(double value, int decimals, char* out) noexcept;

// The CSV channel text: exactly format_fixed(value widened to double, 6, out), faster.
// May write past the returned length, never past kFixedTextMax characters.
inline std::size_t format_channel(float value, char* out) noexcept;

// The CSV time text of a time in microseconds: exactly format_fixed(us / 1e6, 4, out), faster.
// May write past the returned length, never past kFixedTextMax characters.
inline std::size_t format_time(std::int64_t us, char* out) noexcept;

// The eight characters of format_channel(values[i]) without its sign for every value whose
// magnitude rounds below 10 at the sixth decimal (the text is "d.dddddd"); 0 for every other
// value, whose text format_channel writes. Returns whether no word is 0. Four values per step
// with SSE2.
bool channel_words(const float* values, std::size_t n, std::uint64_t* words) noexcept;

// channel_words with a memory of the words it made. A recording's channels take few distinct
// values (counts times one scale; 429 magnitudes in a week-long 3-axis recording), so almost
// every word is found rather than made, in about two thirds of the time the four-value steps
// take. An entry
// holds the word of the magnitude whose bits key it, so a lookup gives the same word
// channel_words would; a new magnitude replaces the one in its place.
class ChannelWordMemo {
 public:
  ChannelWordMemo() noexcept;
  // channel_words(values, n, words), the same words and answer.
  bool words(const float* values, std::size_t n, std::uint64_t* words) noexcept;

 private:
  static constexpr unsigned kBits = 12;
  // Key and word side by side: a lookup touches one cache line.
  struct Entry {
    std::uint64_t word;
    std::uint32_t key;  // magnitude bits (sign cleared)
  };
  Entry entries_[std::size_t{1} << kBits];
};

namespace numtext {

// The paths for what the inline writers leave out; the same texts, slower.
std::size_t channel_outside(float value, char* out) noexcept;
std::size_t time_outside(std::int64_t us, char* out) noexcept;
// For a time of the word path whose microseconds end in 50 (a tie at the fourth decimal in
// integers): us / 1e6 in double rounded at the fourth decimal as format_fixed rounds it, times
// 10^4. The double lies above or below the tie, or on it where ties go to even.
std::int64_t tie_time_scaled(std::int64_t us) noexcept;

// The writers below put whole words of text in memory in the order of their bytes.
inline constexpr bool kWordText = std::endian::native == std::endian::little;

// The eight decimal digits of n (below 10^8) as byte values 0 to 9, the first digit in the
// lowest byte: n splits into two halves of four digits, each half into two pairs, each pair
// into two digits, every step done in all lanes of one 64-bit word at once. Every lane's
// product stays below its lane's width, so no carry crosses into the next lane.
constexpr std::uint64_t digits8(std::uint32_t n) noexcept {
  const std::uint64_t high = n / 10000;
  std::uint64_t v = high | (std::uint64_t{n - static_cast<std::uint32_t>(high) * 10000} << 32);
  // x / 100 = (x * 5243) >> 19 for every x below 10^4 (x * 5243 stays below 2^26).
  const std::uint64_t hundreds = ((v * 5243) >> 19) & 0x0000007F0000007Full;
  v = hundreds | ((v - hundreds * 100) << 16);
  // y / 10 = (y * 103) >> 10 for every y below 100 (y * 103 stays below 2^14).
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000Full;
  return tens | ((v - tens * 10) << 8);
}

inline constexpr std::uint64_t kZeros = 0x3030303030303030ull;

// The four digits of every n below 10^4 as text, the first in the lowest byte.
struct FourDigitTexts {
  std::uint32_t text[10000];
  constexpr FourDigitTexts() : text() {
    for (std::uint32_t n = 0; n < 10000; ++n) {
      text[n] = (n / 1000 + 0x30) | ((n / 100 % 10 + 0x30) << 8) | ((n / 10 % 10 + 0x30) << 16) |
                ((n % 10 + 0x30) << 24);
    }
  }
  constexpr std::uint32_t operator[](std::uint32_t n) const { return text[n]; }
};
inline constexpr FourDigitTexts kFourDigits{};

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Below 2^23 in magnitude, the 24-bit significand times 10^6 fits 44 bits and rounding the
// scaled value is integer work.
inline constexpr std::uint32_t kChannelBiasedEnd = 150;

// round(|value| * 10^6) with ties to even, exactly, for a float of biased exponent below
// kChannelBiasedEnd: |value| = m * 2^-shift with m below 2^24. Subnormals get the implicit bit
// too and shifts beyond 63 are clamped; both happen only below 2^-39, where the scaled value
// rounds to zero and so does the sum here (m * 10^6 stays below 2^44 < 2^62).
inline std::uint64_t scaled_channel(std::uint32_t bits) noexcept {
  const std::uint32_t biased = (bits >> 23) & 0xFF;
  const std::uint64_t product = ((bits & 0x7FFFFFu) | 0x800000u) * std::uint64_t{1000000};
  const unsigned shift = std::min(kChannelBiasedEnd - biased, 63u);
  // Nearest with ties to even in one addition: below half never carries, above half always
  // does, exactly half carries only when the truncated result is odd.
  const std::uint64_t half_less_one = (std::uint64_t{1} << (shift - 1)) - 1;
  return (product + half_less_one + ((product >> shift) & 1)) >> shift;
}

// The text "d.dddddd" of a scaled magnitude below 10^7. Its eight digits start with a zero;
// the first digit moves into that byte and the point takes its place.
constexpr std::uint64_t unit_word(std::uint32_t scaled) noexcept {
  const std::uint64_t digits = digits8(scaled);
  return ((digits & ~std::uint64_t{0xFFFF}) | (digits >> 8 & 0xFF)) + (kZeros - 0x0200);
}

// The channel word of one value (see channel_words).
inline std::uint64_t channel_word(float value) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if (!kWordText || ((bits >> 23) & 0xFF) >= kChannelBiasedEnd) return 0;
  const std::uint64_t scaled = scaled_channel(bits);
  return scaled < 10000000 ? unit_word(static_cast<std::uint32_t>(scaled)) : 0;
}

// Times with ten whole digits below 2^32 s (2001-09-09 to 2106-02-07) that are not a tie at
// the fourth decimal: their text is the integer rounding of us / 100, the same as in
// time_outside, whose comment says why that is format_fixed's text within 2^32 s; ties and
// every other time go there.
inline constexpr std::int64_t kTimeFrom = 1000000000000000;                 // 10^9 s
inline constexpr std::int64_t kTimeTo = (std::int64_t{1} << 32) * 1000000;  // 2^32 s

// us rounded to 100 microseconds, or -1 where the time leaves the word path.
inline std::int64_t scaled_time(std::int64_t us) noexcept {
  if (!kWordText || us < kTimeFrom || us >= kTimeTo) return -1;
  const std::int64_t remainder = us % 100;
  if (remainder == 50) return -1;
  return us / 100 + (remainder > 50 ? 1 : 0);
}

}  // namespace numtext

inline std::size_t format_channel(float value, char* out) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  // Magnitudes from 2^23 up, infinities and NaN go the long way.
  if (!numtext::kWordText || ((bits >> 23) & 0xFF) >= numtext::kChannelBiasedEnd) {
    return numtext::channel_outside(value, out);
  }
  const std::uint64_t scaled = numtext::scaled_channel(bits);
  const std::uint32_t negative = bits >> 31;
  // The sign is written always and kept only when negative, so no branch depends on it.
  out[0] = '-';
  char* p = out + negative;
  if (scaled < 10000000) {
    const std::uint64_t text = numtext::unit_word(static_cast<std::uint32_t>(scaled));
    std::memcpy(p, &text, 8);
    return negative + 8;
  }
  // Up to seven whole digits without their leading zeros, then the point and the decimals.
  const std::uint64_t whole = scaled / 1000000;  // below 2^23
  const auto frac = static_cast<std::uint32_t>(scaled - whole * 1000000);
  const std::uint64_t digits = numtext::digits8(static_cast<std::uint32_t>(whole));
  const int leading = std::countr_zero(digits) / 8;  // whole >= 10: some digit is not zero
  const std::uint64_t head = (digits >> (8 * leading)) + numtext::kZeros;
  std::memcpy(p, &head, 8);
  p += 8 - leading;
  // The decimals' word moved up one byte, with the point in the byte freed.
  const std::uint64_t tail = (numtext::digits8(frac) >> 8) + (numtext::kZeros >> 8) - 2;
  std::memcpy(p, &tail, 8);
  return static_cast<std::size_t>(p + 7 - out);
}

inline std::size_t format_time(std::int64_t us, char* out) noexcept {
  const std::int64_t scaled = numtext::scaled_time(us);
  if (scaled < 0) return numtext::time_outside(us, out);
  // Fourteen digits: six, then eight that hold the last four whole ones and the decimals.
  const auto s = static_cast<std::uint64_t>(scaled);
  const std::uint64_t top = numtext::digits8(static_cast<std::uint32_t>(s / 100000000));
  const std::uint64_t low = numtext::digits8(static_cast<std::uint32_t>(s % 100000000));
  const std::uint64_t first = (top >> 16) + (low << 48) + numtext::kZeros;
  // Whole digits nine and ten, a free byte for the point, the four decimals.
  const std::uint64_t second = ((low >> 16) & 0xFFFF) + ((low >> 32) << 24) +
                               (numtext::kZeros >> 8) - (0x30ull << 16) + (0x2Eull << 16);
  std::memcpy(out, &first, 8);
  std::memcpy(out + 8, &second, 8);
  return 15;
}

// format_time for rows in time order: the text of the whole seconds and the point is kept and
// made again only when the second changes; within it the decimals are 32-bit work.
class TimeTexts {
 public:
  TimeTexts() noexcept { renew(numtext::kTimeFrom / 1000000); }

  std::size_t write(std::int64_t us, char* out) noexcept {
    std::uint32_t decimals;
    if (!decimals_of(us, decimals)) return format_time(us, out);
    put(decimals, out);
    return 15;
  }

  // The texts of n times in row order, ahead of the rows: texts[2i] and texts[2i + 1] hold
  // time i's fifteen characters and a byte past them, the same as write gives; made apart from
  // the output, each time's arithmetic does not wait on the output position. Returns false at
  // the first time whose text is not fifteen characters (outside 2001 to 2106), for the caller
  // to write the rows one by one.
  bool words(const std::int64_t* us, std::size_t n, std::uint64_t* texts) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t decimals;
      if (!decimals_of(us[i], decimals)) return false;
      texts[2 * i] = first_;
      texts[2 * i + 1] = last_with(decimals);
    }
    return true;
  }

 private:
  // Times from the second's start up to where they would round into the next second.
  static constexpr std::uint64_t kSpan = 1000000 - 50;

  // Makes the second us rounds into the current one and gives the four decimals of its text;
  // false when the text is not fifteen characters.
  bool decimals_of(std::int64_t us, std::uint32_t& decimals) noexcept {
    // Negative differences wrap to far above the second's span.
    const std::uint64_t offset = static_cast<std::uint64_t>(us) - base_;
    if (offset >= kSpan) return enter_second(us, decimals);
    const auto within = static_cast<std::uint32_t>(offset);
    const std::uint32_t hundreds = within / 100;
    const std::uint32_t remainder = within - hundreds * 100;
    if (remainder == 50) [[unlikely]] {
      // About one time in a hundred. Within the span a tie never rounds into the next second.
      decimals = static_cast<std::uint32_t>(numtext::tie_time_scaled(us) - second_ * 10000);
      return true;
    }
    decimals = hundreds + (remainder > 50 ? 1 : 0);
    return true;
  }

  // Makes the second that us rounds into the current one and gives its decimals; false when
  // its text is not fifteen characters: a tie, outside the word path, or a time that rounds up
  // to 2^32 s, past which the times leave the word path.
  bool enter_second(std::int64_t us, std::uint32_t& decimals) noexcept {
    const std::int64_t scaled = numtext::scaled_time(us);
    if (scaled < 0) return false;
    const std::int64_t second = scaled / 10000;
    if (second >= numtext::kTimeTo / 1000000) return false;
    renew(second);
    decimals = static_cast<std::uint32_t>(scaled - second * 10000);
    return true;
  }

  // The second's text's last eight bytes with the four decimals in place. One load of their
  // text replaced a chain of a dozen dependent operations per row.
  std::uint64_t last_with(std::uint32_t decimals) const noexcept {
    return last_ | (std::uint64_t{numtext::kFourDigits[decimals]} << 24);
  }

  void put(std::uint32_t decimals, char* out) const noexcept {
    const std::uint64_t last = last_with(decimals);
    std::memcpy(out, &first_, 8);
    std::memcpy(out + 8, &last, 8);
  }

  // A second of the word path: ten digits.
  void renew(std::int64_t second) noexcept {
    const auto s = static_cast<std::uint64_t>(second);
    second_ = second;
    base_ = s * 1000000;
    const std::uint64_t top = numtext::digits8(static_cast<std::uint32_t>(s / 100000000));
    const std::uint64_t low = numtext::digits8(static_cast<std::uint32_t>(s % 100000000));
    first_ = (top >> 48) + (low << 16) + numtext::kZeros;
    last_ = (low >> 48) + 0x2E3030u;
  }

  std::int64_t second_ = 0;  // the second whose text is kept
  std::uint64_t base_ = 0;   // its start in microseconds
  std::uint64_t first_ = 0;  // the text's first eight digits
  std::uint64_t last_ = 0;   // its last two digits and the point; the decimals go above
};

}  // namespace morvane
