#include "package/survey.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "packet/bytes.hpp"
#include "packet/decode.hpp"

namespace morvane {

namespace d = layout::data;

namespace {

constexpr double kDay = 86400.0;

// Adds the part of [start, end) that lies on each device-clock day.
void add_day_seconds(std::map<std::int64_t, double>& days, double start, double end) {
  if (!(end > start) || !std::isfinite(start) || !std::isfinite(end)) return;
  double t = start;
  auto day = static_cast<std::int64_t>(std::floor(t / kDay));
  while (t < end) {
    const double boundary = static_cast<double>(day + 1) * kDay;
    const double stop = end < boundary ? end : boundary;
    days[day] += stop - t;
    t = stop;
    ++day;
  }
}

float temperature_of(std::uint16_t raw) noexcept {
  DataPacket p;
  p.temperature = raw;
  return aux_readings(p).temperature;
}

float battery_of(std::uint8_t raw) noexcept {
  DataPacket p;
  p.battery = raw;
  return aux_readings(p).battery;
}

}  // namespace

RecordingQuality assess_recording(const std::string& path, bool verify_checksums) {
  RecordingQuality q;
  bool any = false;
  std::uint32_t last_sequence = 0;
  std::uint64_t last_index = 0;
  double last_rate = 0;
  std::uint8_t last_format = 0;
  std::uint16_t temp_lo = 0, temp_hi = 0;
  std::uint8_t battery_first = 0, battery_last = 0;
  bool axes_seen[16] = {};
  q.metadata = survey_recording(path, verify_checksums, q.read, [&](const SurveyBlock& b) {
    ++q.blocks;
    const BlockKind kind = b.cls.kind;
    if (kind == BlockKind::erased) {
      ++q.erased_blocks;
      return;
    }
    if (kind == BlockKind::empty) {
      ++q.empty_blocks;
      return;
    }
    if (!b.checksum_ok) ++q.checksum_failures;
    const std::uint8_t format = b.bytes[d::format];
    if (kind == BlockKind::bad) {
      ++q.bad_blocks;
      ++q.bad_block_reasons[bad_reason_text(b.cls.reason, format)];
      return;
    }
    ++q.data_blocks;
    const std::size_t n = b.cls.timing.sample_count;
    extend_time_range(q.range, b.span.start, b.span.end, n);
    add_day_seconds(q.day_seconds, b.span.start, b.span.end);
    const std::uint32_t sequence = load_u32(b.bytes + d::sequence_id);
    const std::uint32_t session = load_u32(b.bytes + d::session_id);
    const double rate = block_rate_hz(b.cls.timing.rate_code);
    const std::uint16_t temp = load_u16(b.bytes + d::temperature) & 0x3FF;
    const std::uint8_t battery = b.bytes[d::battery];
    axes_seen[format >> 4] = true;
    if (std::find(q.session_ids.begin(), q.session_ids.end(), session) == q.session_ids.end()) {
      q.session_ids.push_back(session);
    }
    if (any) {
      if (sequence != static_cast<std::uint32_t>(last_sequence + 1)) {
        ++q.sequence_breaks;
        // Blocks the sequence skips beyond those that stand between the two in the file.
        const auto skipped = static_cast<std::int64_t>(sequence) - last_sequence - 1;
        const auto between = static_cast<std::int64_t>(b.index - last_index - 1);
        if (skipped > between) q.missing_blocks += static_cast<std::uint64_t>(skipped - between);
      }
      if (rate != last_rate) ++q.rate_changes;
      if (format != last_format) ++q.format_changes;
      temp_lo = std::min(temp_lo, temp);
      temp_hi = std::max(temp_hi, temp);
    } else {
      temp_lo = temp_hi = temp;
      battery_first = battery;
    }
    if (b.previous_end) {
      const double delta = b.raw_start - *b.previous_end;
      if (delta >= 1.0) {
        ++q.gaps;
        q.gap_seconds += delta;
        q.longest_gap_seconds = std::max(q.longest_gap_seconds, delta);
      } else if (delta < -1.0) {
        ++q.backward_jumps;
      }
    }
    any = true;
    last_sequence = sequence;
    last_index = b.index;
    last_rate = rate;
    last_format = format;
    battery_last = battery;
  });
  for (unsigned a = 0; a < 16; ++a) {
    if (axes_seen[a]) q.axes.push_back(a);
  }
  if (any) {
    q.temperature_min = temperature_of(temp_lo);
    q.temperature_max = temperature_of(temp_hi);
    q.battery_first = battery_of(battery_first);
    q.battery_last = battery_of(battery_last);
  }
  return q;
}

BlockTable tabulate_blocks(const std::string& path, bool verify_checksums) {
  BlockTable t;
  constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();
  const float nan = kMissing;
  survey_recording(path, verify_checksums, t.read, [&](const SurveyBlock& b) {
    const unsigned char* p = b.bytes;
    const BlockKind kind = b.cls.kind;
    std::uint8_t reason = 0;
    if (kind == BlockKind::bad) {
      const std::string text = bad_reason_text(b.cls.reason, p[d::format]);
      auto it = std::find(t.reasons.begin(), t.reasons.end(), text);
      if (it == t.reasons.end() && t.reasons.size() < 255) it = t.reasons.insert(t.reasons.end(), text);
      reason = static_cast<std::uint8_t>(it - t.reasons.begin());
    }
    t.block.push_back(static_cast<std::int64_t>(b.index));
    t.status.push_back(static_cast<std::uint8_t>(kind));
    t.reason.push_back(reason);
    t.checksum_ok.push_back(b.checksum_ok ? 1 : 0);
    t.session_id.push_back(load_u32(p + d::session_id));
    t.sequence_id.push_back(load_u32(p + d::sequence_id));
    t.samples.push_back(load_u16(p + d::sample_count));
    t.rate_hz.push_back(kind == BlockKind::erased ? std::nan("") : block_rate_hz(p[d::rate_code]));
    t.format.push_back(p[d::format]);
    if (kind == BlockKind::data) {
      t.start.push_back(seconds_to_micros(b.span.start));
      t.end.push_back(seconds_to_micros(b.span.end));
      const AuxReadings aux = aux_readings(parse_data_packet(p));
      t.temperature.push_back(aux.temperature);
      t.light.push_back(aux.light);
      t.battery.push_back(aux.battery);
    } else {
      t.start.push_back(kNoTime);
      t.end.push_back(kNoTime);
      t.temperature.push_back(nan);
      t.light.push_back(nan);
      t.battery.push_back(nan);
    }
  });
  return t;
}

}  // namespace morvane
