// The packed 32-bit date-time of both block kinds, and the calendar arithmetic around it.
#pragma once

#include <cstdint>
#include <optional>

namespace morvane {

// A naive date-time of the device clock: no time zone, proleptic Gregorian calendar.
struct NaiveDateTime {
  std::int64_t year = 1970;
  unsigned month = 1;  // 1..12
  unsigned day = 1;    // 1..31
  std::uint32_t second_of_day = 0;  // 0..86399
  std::uint32_t nanosecond = 0;     // 0..999999999
};

// Days from 1970-01-01 to the given civil date (negative before it).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept;
// The civil date of a day count from 1970-01-01.
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) noexcept;
unsigned days_in_month(std::int64_t year, unsigned month) noexcept;

// Absent for the unset markers 0 and 0xFFFFFFFF and for any field combination that is not a real
// date and time of day.
std::optional<NaiveDateTime> decode_packed_datetime(std::uint32_t packed) noexcept;

// Seconds since 1970-01-01T00:00:00 of a date-time, counted as if the clock were UTC.
std::int64_t epoch_seconds(const NaiveDateTime& dt) noexcept;

}  // namespace morvane
