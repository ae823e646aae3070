// The one date-time text of the metadata functions: "%Y-%m-%dT%H:%M:%S%.f", naive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "packet/datetime.hpp"

namespace morvane {

// Year with four digits (signed, at least four, outside 0..9999); the fraction is omitted when
// zero, else 3, 6 or 9 digits, the fewest that hold it exactly.
std::string format_device_time(const NaiveDateTime& dt);

// Device microseconds as text; absent outside the years -262143 to 262142.
std::optional<std::string> format_device_micros(std::int64_t us);

// Microseconds since 1970 of a whole-second date-time.
std::int64_t device_micros(const NaiveDateTime& dt) noexcept;

}  // namespace morvane
