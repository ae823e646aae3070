#include "packet/timing.hpp"

#include "packet/datetime.hpp"
#include "packet/error.hpp"

namespace morvane {

TimeSpan packet_time_span(const PacketTiming& timing) noexcept {
  const auto dt = decode_packed_datetime(timing.timestamp);
  const double t = dt ? static_cast<double>(epoch_seconds(*dt)) : 0.0;
  const float rate = static_cast<float>(block_rate_hz(timing.rate_code));
  const float h = -static_cast<float>(timing.timestamp_offset) / rate;
  const float fl = ::floorf(h);
  const float fr = h - fl;
  TimeSpan span;
  span.start = (t + static_cast<double>(fl)) + static_cast<double>(fr);
  span.end = span.start + static_cast<double>(static_cast<float>(timing.sample_count) / rate);
  return span;
}

double packet_sample_times(const DataPacket& packet, std::size_t n,
                           std::optional<double> previous_end, std::int64_t* out) {
  if (n == 0) return previous_end.value_or(0.0);
  if (!decode_packed_datetime(packet.timestamp)) {
    throw ReaderError::message("Invalid block timestamp");
  }
  PacketTiming timing;
  timing.sample_count = n;
  timing.timestamp = packet.timestamp;
  timing.timestamp_offset = packet.timestamp_offset;
  timing.rate_code = packet.rate_code;
  const TimeSpan span = packet_time_span(timing);
  spread_sample_times(continuity_start(span.start, previous_end), span.end, n, out);
  return span.end;
}

}  // namespace morvane
