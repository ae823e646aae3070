// Sample times on the device clock. Block times are f64 seconds since 1970 (the clock counted as
// if it were UTC); sample times are i64 microseconds. The mixture of single and double precision
// below is deliberate: every reader must produce the same numbers to the last bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "packet/packet.hpp"

namespace morvane {

// Nominal rate of a rate code: 3200 / 2^(15 - (code & 15)), exact in double.
inline double block_rate_hz(std::uint8_t rate_code) noexcept {
  return 3200.0 / static_cast<double>(std::uint32_t{1} << (15 - (rate_code & 0x0F)));
}

// Truncates toward zero into i64, saturating at both ends; NaN becomes 0.
inline std::int64_t saturating_i64(double x) noexcept {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

// Device seconds to device microseconds, truncated and saturated.
inline std::int64_t seconds_to_micros(double seconds) noexcept {
  return saturating_i64(seconds * 1000000.0);
}

// Device microseconds to seconds, the one conversion used for every comparison with seconds.
inline double micros_to_seconds(std::int64_t us) noexcept {
  return static_cast<double>(us) / 1e6;
}

// A time minus a fixed UTC offset, saturating instead of overflowing.
inline std::int64_t shift_time(std::int64_t time, std::int64_t offset_us) noexcept {
  std::int64_t shifted;
  if (!__builtin_sub_overflow(time, offset_us, &shifted)) return shifted;
  return offset_us < 0 ? std::numeric_limits<std::int64_t>::max()
                       : std::numeric_limits<std::int64_t>::min();
}

struct TimeSpan {
  double start = 0;  // time of the block's first sample
  double end = 0;    // one sample period after its last sample
};

// Precondition: the timestamp passed validation.
TimeSpan packet_time_span(const PacketTiming& timing) noexcept;

// Where a block's samples start once it is joined to its predecessor: a block that starts less
// than one second after the previous end (or anywhere before it) starts exactly at that end.
inline double continuity_start(double start, std::optional<double> previous_end) noexcept {
  if (previous_end && start - *previous_end < 1.0) return *previous_end;
  return start;
}

// Writes the n sample times of a block spread evenly from `first` to its end, in device
// microseconds (seconds_to_micros of each).
void spread_sample_times(double first, double end, std::size_t n, std::int64_t* out) noexcept;
// The same times as seconds: micros_to_seconds of each of those microseconds.
void spread_sample_seconds(double first, double end, std::size_t n, double* out) noexcept;

// The times of a decoded packet's n samples with the continuity correction; returns the block's
// own end, the next block's previous end. With n == 0 nothing is written and the previous end
// (or 0.0) comes back. Throws ReaderError for an invalid timestamp.
double packet_sample_times(const DataPacket& packet, std::size_t n,
                           std::optional<double> previous_end, std::int64_t* out);
// The same with the times as seconds (micros_to_seconds of the microseconds above).
double packet_sample_seconds(const DataPacket& packet, std::size_t n,
                             std::optional<double> previous_end, double* out);

}  // namespace morvane
