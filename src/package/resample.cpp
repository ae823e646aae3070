#include "package/resample.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "packet/error.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

constexpr double kTiny = 1e-12;
constexpr std::size_t kChannels = 12;
// How often (in grid rows) the resampler looks ahead for a gap no memory could fill.
constexpr std::uint64_t kGapCheckEvery = 4096;


}  // namespace

void ResampleEntry::set(double t, const DecodedBlock& block, std::size_t i,
                        const AuxReadings& aux) noexcept {
  time = t;
  for (int a = 0; a < 3; ++a) value[a] = block.acc[a][i];
  for (int a = 0; a < 3; ++a) value[3 + a] = block.has_gyro ? block.gyro[a][i] : kMissing;
  for (int a = 0; a < 3; ++a) value[6 + a] = block.has_mag ? block.mag[a][i] : kMissing;
  value[9] = aux.temperature;
  value[10] = aux.light;
  value[11] = aux.battery;
  has_gyro = block.has_gyro;
  has_mag = block.has_mag;
}

CubicResampler::CubicResampler(const TimeWindow& window, double resample_hz,
                               const IncludeFlags& include)
    : range_start_time_(window.range_start_time),
      range_end_time_(window.range_end_time),
      step_ms_(1000.0 / resample_hz),
      ring_(16),
      mask_(15) {
  if (include.temperature) out_.temperature.emplace();
  if (include.light) out_.light.emplace();
  if (include.battery) out_.battery.emplace();
}

double CubicResampler::grid_time(std::uint64_t n) const noexcept {
  // Row 0 is the origin itself: for a rate so small that the step overflows, 0 times the step
  // would be NaN.
  if (n == 0) return origin_ms_ / 1000.0;
  return (static_cast<double>(n) * step_ms_ + origin_ms_) / 1000.0;
}

void CubicResampler::grow_ring() {
  std::vector<ResampleEntry> bigger(ring_.size() * 2);
  for (std::size_t i = 0; i < count_; ++i) bigger[i] = at(i);
  ring_.swap(bigger);
  head_ = 0;
  mask_ = ring_.size() - 1;
}

void CubicResampler::start() {
  const ResampleEntry& entry = at(count_ - 1);
  const double origin = range_start_time_ && *range_start_time_ > entry.time ? *range_start_time_
                                                                             : entry.time;
  origin_ms_ = 1000.0 * origin;
  // The round trip through milliseconds can land one unit in the last place before the first
  // sample, where no bracket would ever hold the first row. Nudge the origin up until it does.
  while (std::isfinite(origin_ms_) && grid_time(0) < entry.time) {
    origin_ms_ = std::nextafter(origin_ms_, std::numeric_limits<double>::infinity());
  }
  started_ = true;
  n_ = 0;
  t_ = grid_time(0);
}

void CubicResampler::run(bool finishing) {
  if (!started_) return;
  double t = t_;
  if (range_end_time_ && t >= *range_end_time_) {
    done_ = true;
    return;
  }
  for (;;) {
    std::size_t right = cursor_ + 1;
    while (right < count_ && at(right).time < t) ++right;
    const std::size_t left = right - 1;
    cursor_ = left;
    if (count_ < 2 || right == count_ || t < at(left).time || at(right).time < t) {
      trim();
      return;
    }
    const bool has_p3 = right + 1 < count_;
    if (left >= 1 && !has_p3 && !finishing) {
      trim();
      return;
    }
    if (n_ % kGapCheckEvery == 0) refuse_impossible_gap(t, at(right).time);
    emit(t, left, right, left >= 1 && has_p3);
    ++n_;
    trim();
    t = t_ = grid_time(n_);
    if (range_end_time_ && t >= *range_end_time_) {
      done_ = true;
      return;
    }
  }
}

void CubicResampler::refuse_impossible_gap(double t, double right_time) const {
  // A clock jump of decades between two samples asks for billions of grid rows. Growing the
  // columns would fail only after filling the machine's memory; when the rows up to the next
  // sample (or the window's end) cannot fit in the memory available now, fail at once.
  double until = right_time;
  if (range_end_time_ && *range_end_time_ < until) until = *range_end_time_;
  const double rows = (until - t) * 1000.0 / step_ms_;
  if (!(rows > 1e7)) return;
  std::size_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
  for (const OptionalColumn* c : {&out_.gyro[0], &out_.gyro[1], &out_.gyro[2], &out_.mag[0],
                                  &out_.mag[1], &out_.mag[2], &out_.temperature, &out_.light,
                                  &out_.battery}) {
    if (*c) row_bytes += sizeof(float);
  }
  const std::size_t avail = available_memory();
  if (avail != SIZE_MAX && rows * static_cast<double>(row_bytes) > static_cast<double>(avail)) {
    throw std::bad_alloc();
  }
}

void CubicResampler::emit(double t, std::size_t left, std::size_t right, bool cubic_possible) {
  const ResampleEntry& p1 = at(left);
  const ResampleEntry& p2 = at(right);
  const double t1 = p1.time, t2 = p2.time;

  // Only channels that can have a value are computed. A gyroscope or magnetometer value that
  // P1 lacks is NaN under either rule; one that only P2 lacks is NaN unless the two times
  // coincide, where the linear rule takes P1's value. An auxiliary channel needs its column.
  const double gap = t2 - t1;
  const bool linear_divides = std::fabs(gap) >= kTiny;
  std::size_t active[kChannels];
  std::size_t count = 0;
  for (std::size_t c = 0; c < 3; ++c) active[count++] = c;
  if (p1.has_gyro && (p2.has_gyro || !linear_divides)) {
    for (std::size_t c = 3; c < 6; ++c) active[count++] = c;
  }
  if (p1.has_mag && (p2.has_mag || !linear_divides)) {
    for (std::size_t c = 6; c < 9; ++c) active[count++] = c;
  }
  if (out_.temperature) active[count++] = 9;
  if (out_.light) active[count++] = 10;
  if (out_.battery) active[count++] = 11;

  float value[kChannels];
  bool present[kChannels];
  for (std::size_t c = 0; c < kChannels; ++c) {
    value[c] = kMissing;
    present[c] = false;
  }

  // The cubic weights, when all four points exist and no denominator is too small.
  const ResampleEntry* p0 = nullptr;
  const ResampleEntry* p3 = nullptr;
  double w0 = 0, w1 = 0, w2 = 0, w3 = 0;
  if (cubic_possible) {
    const double t0 = at(left - 1).time, t3 = at(right + 1).time;
    const double a0 = t - t0, a1 = t - t1, a2 = t - t2, a3 = t - t3;
    const double d0 = (t0 - t3) * ((t0 - t2) * (t0 - t1));
    const double d1 = (t1 - t3) * ((t1 - t2) * (t1 - t0));
    const double d2 = (t2 - t3) * ((t2 - t1) * (t2 - t0));
    const double d3 = (t3 - t2) * ((t3 - t1) * (t3 - t0));
    if (std::fabs(d0) >= kTiny && std::fabs(d1) >= kTiny && std::fabs(d2) >= kTiny &&
        std::fabs(d3) >= kTiny) {
      p0 = &at(left - 1);
      p3 = &at(right + 1);
      w0 = (a3 * (a2 * a1)) / d0;
      w1 = (a3 * (a2 * a0)) / d1;
      w2 = ((a1 * a0) * a3) / d2;
      w3 = ((a1 * a0) * a2) / d3;
    }
  }
  const double fraction = linear_divides ? (t - t1) / gap : 0.0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t c = active[k];
    const double y1 = static_cast<double>(p1.value[c]);
    const double y2 = static_cast<double>(p2.value[c]);
    double result = linear_divides ? fraction * (y2 - y1) + y1 : y1;
    if (p0) {
      const double y0 = static_cast<double>(p0->value[c]);
      const double y3 = static_cast<double>(p3->value[c]);
      // NaN is the only value unequal to itself: a NaN neighbour keeps the linear value.
      if (y0 == y0 && y1 == y1 && y2 == y2 && y3 == y3) {
        result = ((w0 * y0 + w1 * y1) + w2 * y2) + w3 * y3;
      }
    }
    value[c] = static_cast<float>(result);
    present[c] = !std::isnan(value[c]);
  }

  // On a grid time that is a sample time, the gyroscope and magnetometer are that sample's own.
  const ResampleEntry* hit = t == t1 ? &p1 : (t == t2 ? &p2 : nullptr);
  if (hit) {
    for (int a = 0; a < 3; ++a) {
      value[3 + a] = hit->value[3 + a];
      present[3 + a] = hit->has_gyro;
      value[6 + a] = hit->value[6 + a];
      present[6 + a] = hit->has_mag;
    }
  }

  const std::size_t row = out_.time.size();
  out_.time.push_back(seconds_to_micros(t));
  for (int a = 0; a < 3; ++a) out_.acc[a].push_back(value[a]);
  for (int a = 0; a < 3; ++a) push_optional_value(out_.gyro[a], row, present[3 + a], value[3 + a]);
  for (int a = 0; a < 3; ++a) push_optional_value(out_.mag[a], row, present[6 + a], value[6 + a]);
  if (out_.temperature) out_.temperature->push_back(value[9]);
  if (out_.light) out_.light->push_back(value[10]);
  if (out_.battery) out_.battery->push_back(value[11]);
}

SampleColumns read_resampled_columns(const std::string& path, const BlockSelection& selection,
                                     const IncludeFlags& include, double resample_hz,
                                     const TimeWindow& window) {
  BlockRange range = open_block_range(path, selection);
  std::optional<CubicResampler> resampler;
  auto decoded = std::make_unique<DecodedBlock>();
  std::int64_t times[kMaxSamplesPerBlock];
  std::optional<double> previous_end = range.previous_end;
  bool stopped = false;
  for (std::uint64_t k = range.first; k < range.end && !stopped; ++k) {
    const unsigned char* block = range.next_block();
    const auto timing = validate_packet_header(block);
    if (!timing) continue;
    const DataPacket packet = parse_data_packet(block);
    decode_samples(packet, include.magnetometer, *decoded);
    const std::size_t n = decoded->count;
    previous_end = packet_sample_times(packet, n, previous_end, times);
    const AuxReadings aux = aux_readings(packet);
    if (!resampler) {
      check_time_window(window);
      resampler.emplace(window, resample_hz, include);
    }
    SampleColumns& out = resampler->output();
    for (std::size_t i = 0; i < n; ++i) {
      const double t = micros_to_seconds(times[i]);
      if ((decoded->has_gyro || decoded->has_mag) && window.contains(t)) {
        // A channel exists in the output once an in-window sample carries it.
        const std::size_t rows = out.time.size();
        for (int a = 0; a < 3; ++a) {
          if (decoded->has_gyro && !out.gyro[a]) out.gyro[a].emplace().append_fill(kMissing, rows);
        }
        for (int a = 0; a < 3; ++a) {
          if (decoded->has_mag && !out.mag[a]) out.mag[a].emplace().append_fill(kMissing, rows);
        }
      }
      if (!resampler->done()) {
        // Built in its ring slot: copying a freshly written entry stalls on store forwarding.
        resampler->next_slot().set(t, *decoded, i, aux);
        resampler->commit_slot();
        resampler->step();
      }
      if (resampler->done() && window.range_end_time && t >= *window.range_end_time) {
        stopped = true;
        break;
      }
    }
  }
  if (!resampler) throw ReaderError::message("No valid sample data found in the specified range");
  resampler->finish();
  if (resampler->output().time.empty()) {
    throw ReaderError::message("No samples remain after applying time range/resampling");
  }
  return std::move(resampler->output());
}

}  // namespace morvane
