// Exact fixed-point number texts for the CSV writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvane {

// Longest text format_fixed can write.
inline constexpr std::size_t kFixedTextMax = 400;

// Writes `value` with `decimals` digits after the point (1 to 9): the same text as the C
// library's "%.*f", that is the nearest such decimal with ties to even, a minus sign for every
// negative value including -0.0. NaN of either sign is "NaN", infinities are "inf" and "-inf".
// Returns the number of characters written to `out`, which holds kFixedTextMax characters.
std::size_t format_fixed(double value, int decimals, char* out) noexcept;

// The CSV channel text: exactly format_fixed(value widened to double, 6, out), faster.
std::size_t format_channel(float value, char* out) noexcept;

// The CSV time text of a time in microseconds: exactly format_fixed(us / 1e6, 4, out), faster.
std::size_t format_time(std::int64_t us, char* out) noexcept;

}  // namespace morvane
