// UTF-8 well-formedness, by the table of well-formed byte sequences of the Unicode standard
// (no overlongs, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>

namespace morvane {

// Length of the well-formed sequence at p (1 to 4), or 0 when none starts there. When 0, the
// maximal subpart that must become one U+FFFD is `maximal_subpart_length(p, n)` bytes long.
inline std::size_t utf8_scan(const unsigned char* p, std::size_t n, std::size_t& subpart) noexcept {
  const unsigned char b0 = p[0];
  subpart = 1;
  if (b0 < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  // The second byte has a narrowed range; the rest are plain continuation bytes.
  for (std::size_t i = 1; i < len; ++i) {
    if (i >= n) return 0;
    const unsigned char b = p[i];
    const unsigned char l = i == 1 ? lo : 0x80;
    const unsigned char h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    subpart = i + 1;
  }
  return len;
}

inline std::size_t utf8_sequence_length(const unsigned char* p, std::size_t n) noexcept {
  std::size_t subpart;
  return utf8_scan(p, n, subpart);
}

}  // namespace morvane
