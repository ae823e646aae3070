// Little-endian loads from a byte buffer. Each goes through memcpy into a local, so no load is
// ever misaligned and no pointer is type-punned.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace morvane {

template <class T>
inline T load_le(const unsigned char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &value, sizeof value);
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
      unsigned char tmp = b[i];
      b[i] = b[sizeof(T) - 1 - i];
      b[sizeof(T) - 1 - i] = tmp;
    }
    std::memcpy(&value, b, sizeof value);
  }
  return value;
}

inline std::uint16_t load_u16(const unsigned char* p) noexcept { return load_le<std::uint16_t>(p); }
inline std::int16_t load_i16(const unsigned char* p) noexcept { return load_le<std::int16_t>(p); }
inline std::uint32_t load_u32(const unsigned char* p) noexcept { return load_le<std::uint32_t>(p); }

}  // namespace morvane
