#include "package/survey.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "packet/bytes.hpp"
#include "packet/decode.hpp"
#include "packet/error.hpp"

namespace morvane {

namespace d = layout::data;

namespace {

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

void RecordingSurveyor::visit(const SurveyBlock& b) {
  RecordingQuality& q = q_;
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
  q.span_block.push_back(static_cast<std::int64_t>(b.index));
  q.span_start.push_back(b.span.start);
  q.span_end.push_back(b.span.end);
  q.span_raw_start.push_back(b.raw_start);
  const std::uint32_t sequence = load_u32(b.bytes + d::sequence_id);
  const std::uint32_t session = load_u32(b.bytes + d::session_id);
  const double rate = block_rate_hz(b.cls.timing.rate_code);
  const std::uint16_t temp = load_u16(b.bytes + d::temperature) & 0x3FF;
  const std::uint8_t battery = b.bytes[d::battery];
  axes_seen_[format >> 4] = true;
  if (std::find(q.session_ids.begin(), q.session_ids.end(), session) == q.session_ids.end()) {
    q.session_ids.push_back(session);
  }
  if (any_) {
    if (sequence != static_cast<std::uint32_t>(last_sequence_ + 1)) {
      ++q.sequence_breaks;
      // Blocks the sequence skips beyond those that stand between the two in the file.
      const auto skipped = static_cast<std::int64_t>(sequence) - last_sequence_ - 1;
      const auto between = static_cast<std::int64_t>(b.index - last_index_ - 1);
      if (skipped > between) q.missing_blocks += static_cast<std::uint64_t>(skipped - between);
    }
    if (rate != last_rate_) ++q.rate_changes;
    if (format != last_format_) ++q.format_changes;
    temp_lo_ = std::min(temp_lo_, temp);
    temp_hi_ = std::max(temp_hi_, temp);
  } else {
    temp_lo_ = temp_hi_ = temp;
    battery_first_ = battery;
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
  any_ = true;
  last_sequence_ = sequence;
  last_index_ = b.index;
  last_rate_ = rate;
  last_format_ = format;
  battery_last_ = battery;
}

RecordingQuality RecordingSurveyor::finish(const MetadataBlock& metadata, const ReadReport& read) {
  RecordingQuality q = std::move(q_);
  q_ = RecordingQuality{};
  q.metadata = metadata;
  q.verified = verify_;
  q.read.trailing_bytes = read.trailing_bytes;
  q.read.compressed = read.compressed;
  q.read.truncated = read.truncated;
  q.read.inflater = read.inflater;
  for (unsigned a = 0; a < 16; ++a) {
    if (axes_seen_[a]) q.axes.push_back(a);
  }
  if (any_) {
    q.temperature_min = temperature_of(temp_lo_);
    q.temperature_max = temperature_of(temp_hi_);
    q.battery_first = battery_of(battery_first_);
    q.battery_last = battery_of(battery_last_);
  }
  return q;
}

RecordingQuality assess_recording(const std::string& path, const ReadContext& how) {
  RecordingSurveyor surveyor(how.policy.verify_checksums);
  ReadReport report;
  const MetadataBlock metadata = survey_recording(
      path, how, report, [&](const SurveyBlock& b) { surveyor.visit(b); });
  return surveyor.finish(metadata, report);
}

DaySeconds split_by_days(std::span<const double> start, std::span<const double> end,
                         std::span<const double> bounds, bool whole_days) {
  DaySeconds out;
  if (bounds.size() < 2) return out;
  const std::size_t days = bounds.size() - 1;
  out.seconds.assign(days, 0.0);
  out.used.assign(days, 0);
  const double first_day = std::floor(bounds[0] / 86400.0);
  const std::size_t n = start.size() < end.size() ? start.size() : end.size();
  for (std::size_t i = 0; i < n; ++i) {
    double t = start[i];
    const double e = end[i];
    if (!(e > t) || !std::isfinite(t) || !std::isfinite(e)) continue;
    std::ptrdiff_t k;
    if (whole_days) {
      k = static_cast<std::ptrdiff_t>(std::floor(t / 86400.0) - first_day);
    } else {
      k = std::upper_bound(bounds.begin(), bounds.end(), t) - bounds.begin() - 1;
    }
    while (t < e) {
      if (k < 0 || static_cast<std::size_t>(k) >= days) {
        throw ReaderError::message("a span lies outside the days it is split into");
      }
      const double boundary = bounds[static_cast<std::size_t>(k) + 1];
      const double stop = e < boundary ? e : boundary;
      out.seconds[static_cast<std::size_t>(k)] += stop - t;
      out.used[static_cast<std::size_t>(k)] = 1;
      t = stop;
      ++k;
    }
  }
  return out;
}

std::optional<std::int64_t> first_sample_time(const std::string& path, const ReadContext& how) {
  ReadContext ctx = how;
  ctx.report = nullptr;
  ctx.threads = 1;  // one block is all it reads
  BlockRange range = open_block_range_any(path, ctx);
  while (const unsigned char* block = range.next_block()) {
    const BlockClass c = classify_block(block, ctx.policy.verify_checksums);
    if (c.kind == BlockKind::data) return seconds_to_micros(packet_time_span(c.timing).start);
  }
  return std::nullopt;
}

BlockTable tabulate_blocks(const std::string& path, const ReadContext& how) {
  BlockTable t;
  constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();
  const float nan = kMissing;
  survey_recording(path, how, t.read, [&](const SurveyBlock& b) {
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
