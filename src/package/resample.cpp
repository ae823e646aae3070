#include "package/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>

#include "packet/error.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

constexpr double kTiny = 1e-12;
// How often (in grid rows) the resampler looks ahead for a gap no memory could fill.
constexpr std::uint64_t kGapCheckEvery = 4096;

}  // namespace

CubicResampler::CubicResampler(const TimeWindow& window, double resample_hz,
                               const IncludeFlags& include)
    : has_end_(window.range_end_time.has_value()),
      end_time_(window.range_end_time.value_or(0.0)),
      range_start_time_(window.range_start_time),
      step_ms_(1000.0 / resample_hz) {
  if (include.temperature) out_.temperature.emplace();
  if (include.light) out_.light.emplace();
  if (include.battery) out_.battery.emplace();
}

void CubicResampler::expect_rows(double rows) {
  // Sizing the columns once saves moving them at every doubling. A guess that is far off (a
  // window, a clock jump, a wrong rate code) only costs address space: pages that are never
  // written are never backed. A guess the memory could not hold is not acted on.
  if (has_end_ && range_start_time_) {
    const double window_rows = (end_time_ - *range_start_time_) * 1000.0 / step_ms_ + 2.0;
    if (window_rows < rows) rows = window_rows;
  }
  if (!(rows >= 1.0 && rows <= 4e9)) return;
  const std::size_t n = static_cast<std::size_t>(rows) + 16;
  std::size_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
  for (const OptionalColumn* c : {&out_.temperature, &out_.light, &out_.battery}) {
    if (*c) row_bytes += sizeof(float);
  }
  const std::size_t avail = available_memory();
  if (avail != SIZE_MAX && n > avail / 4 / row_bytes) return;
  try {
    out_.time.reserve(n);
    for (auto& c : out_.acc) c.reserve(n);
    for (OptionalColumn* c : {&out_.temperature, &out_.light, &out_.battery}) {
      if (*c) (*c)->reserve(n);
    }
  } catch (const std::bad_alloc&) {
    // Only a guess: the columns still grow as the rows come, and fail then if they must.
  }
}

void CubicResampler::compact() noexcept {
  if (cursor_ < 2) return;
  const std::size_t drop = cursor_ - 1;
  const std::size_t keep = count_ - drop;
  std::memmove(time_.data(), time_.data() + drop, keep * sizeof(double));
  std::memmove(flags_.data(), flags_.data() + drop, keep);
  for (auto& v : value_) std::memmove(v.data(), v.data() + drop, keep * sizeof(float));
  count_ = keep;
  cursor_ = 1;
}

CubicResampler::Slots CubicResampler::slots() {
  compact();
  const std::size_t need = count_ + kMaxSamplesPerBlock;
  if (time_.size() < need) {
    const std::size_t size = need * 2;
    time_.resize(size);
    flags_.resize(size);
    for (auto& v : value_) v.resize(size);
  }
  Slots s{time_.data() + count_, {}};
  for (int a = 0; a < 3; ++a) {
    s.targets.acc[a] = value_[a].data() + count_;
    s.targets.gyro[a] = value_[3 + a].data() + count_;
    s.targets.mag[a] = value_[6 + a].data() + count_;
  }
  return s;
}

void CubicResampler::fill_missing(std::size_t c0, std::size_t from, std::size_t to) noexcept {
  for (std::size_t c = c0; c < c0 + 3; ++c) std::fill(value_[c].data() + from, value_[c].data() + to, kMissing);
}

std::size_t CubicResampler::take(std::size_t from, std::size_t to, BlockChannels channels,
                                 const AuxReadings& aux) {
  const std::size_t first = count_;
  const std::size_t last = count_ + (to - from);
  const std::uint8_t flags = static_cast<std::uint8_t>((channels.gyro ? kHasGyro : 0) |
                                                       (channels.mag ? kHasMag : 0));
  // A gyroscope or magnetometer value an entry lacks reads as NaN, which the interpolation
  // needs once any entry has that channel.
  for (const auto& [flag, c0] : {std::pair{kHasGyro, std::size_t{3}}, std::pair{kHasMag, std::size_t{6}}}) {
    if (flags & flag) {
      if (!(seen_ & flag)) fill_missing(c0, 0, first);
    } else if (seen_ & flag) {
      fill_missing(c0, first, last);
    }
  }
  seen_ |= flags;
  std::fill(flags_.data() + first, flags_.data() + last, flags);
  const float aux_values[3] = {aux.temperature, aux.light, aux.battery};
  const OptionalColumn* aux_columns[3] = {&out_.temperature, &out_.light, &out_.battery};
  for (std::size_t k = 0; k < 3; ++k) {
    if (*aux_columns[k]) std::fill(value_[9 + k].data() + first, value_[9 + k].data() + last, aux_values[k]);
  }
  count_ = last;
  enabled_by_ = first;
  if (!started_) start();
  run(false);
  return done_ ? from + (enabled_by_ - first) : to;
}

void CubicResampler::finish() { run(true); }

void CubicResampler::start() {
  const double first_time = time_[0];
  const double origin = range_start_time_ && *range_start_time_ > first_time ? *range_start_time_
                                                                             : first_time;
  origin_ms_ = 1000.0 * origin;
  // The round trip through milliseconds can land one unit in the last place before the first
  // sample, where no bracket would ever hold the first row. Nudge the origin up until it does.
  while (std::isfinite(origin_ms_) && grid_time(0) < first_time) {
    origin_ms_ = std::nextafter(origin_ms_, std::numeric_limits<double>::infinity());
  }
  started_ = true;
  n_ = 0;
  t_ = grid_time(0);
}

inline void CubicResampler::plan_row(double t, std::size_t left, bool cubic_possible) noexcept {
  const std::size_t r = plan_.rows;
  const double* time = time_.data();
  const double t1 = time[left], t2 = time[left + 1];
  const double a1 = t - t1, a2 = t - t2;
  const double e21 = t2 - t1;
  std::uint8_t rule = 0;
  plan_.fraction[r] = 0.0;  // unused without kLinear, but always a value
  if (std::fabs(e21) >= kTiny) {
    rule |= Plan::kLinear;
    plan_.fraction[r] = a1 / e21;
  }
  if (cubic_possible) {
    // The four denominators are products of the six pairwise differences, each formed once:
    // rounding is symmetric, so t0 - t1 is exactly -(t1 - t0), and a negated factor only negates
    // a product or a quotient. A denominator is used only when no factor is zero.
    const double t0 = time[left - 1], t3 = time[left + 2];
    const double a0 = t - t0, a3 = t - t3;
    const double e10 = t1 - t0, e20 = t2 - t0, e30 = t3 - t0, e31 = t3 - t1, e32 = t3 - t2;
    const double m0 = e30 * (e20 * e10);  // -(t0 - t3) * ((t0 - t2) * (t0 - t1))
    const double m1 = e31 * (e21 * e10);  //  (t1 - t3) * ((t1 - t2) * (t1 - t0))
    const double m2 = e32 * (e21 * e20);  // -(t2 - t3) * ((t2 - t1) * (t2 - t0))
    const double m3 = e32 * (e31 * e30);  //  (t3 - t2) * ((t3 - t1) * (t3 - t0))
    if (std::fabs(m0) >= kTiny && std::fabs(m1) >= kTiny && std::fabs(m2) >= kTiny &&
        std::fabs(m3) >= kTiny) {
      rule |= Plan::kCubic;
      const double a10 = a1 * a0;
      plan_.w[0][r] = -((a3 * (a2 * a1)) / m0);
      plan_.w[1][r] = (a3 * (a2 * a0)) / m1;
      plan_.w[2][r] = -((a10 * a3) / m2);
      plan_.w[3][r] = (a10 * a2) / m3;
    }
  }
  if (t == t1) {
    rule |= Plan::kHitP1;
  } else if (t == t2) {
    rule |= Plan::kHitP2;
  }
  plan_.rule[r] = rule;
  if ((rule & (Plan::kLinear | Plan::kCubic)) != (Plan::kLinear | Plan::kCubic)) plan_.all_cubic = false;
  plan_.left[r] = static_cast<std::uint32_t>(left);
  plan_.micros[r] = seconds_to_micros(t);
  plan_.rows = r + 1;
}

void CubicResampler::run(bool finishing) {
  if (!started_ || done_) return;
  if (has_end_ && t_ >= end_time_) {
    done_ = true;
    return;
  }
  // The loop keeps its state in locals: the plan's stores could otherwise alias every member.
  const double* time = time_.data();
  const std::size_t count = count_;
  std::size_t cursor = cursor_;
  std::uint64_t n = n_;
  double t = t_;
  std::size_t enabled_by = enabled_by_;
  bool done = false;
  for (;;) {
    std::size_t right = cursor + 1;
    while (right < count && time[right] < t) ++right;
    const std::size_t left = right - 1;
    cursor = left;
    // Wait for the right neighbour (right == count also covers fewer than two entries).
    if (right >= count || t < time[left] || time[right] < t) break;
    const bool has_p3 = right + 1 < count;
    if (!has_p3 && left >= 1 && !finishing) break;
    if (n % kGapCheckEvery == 0) refuse_impossible_gap(t, time[right]);
    if (plan_.rows == Plan::kRows) flush();
    plan_row(t, left, left >= 1 && has_p3);
    // A row with a left neighbour before P1 waits for P3; one at the start only for P2.
    enabled_by = left >= 1 ? right + 1 : right;
    ++n;
    t = grid_time(n);
    if (has_end_ && t >= end_time_) {
      done = true;
      break;
    }
  }
  cursor_ = cursor;
  n_ = n;
  t_ = t;
  enabled_by_ = enabled_by;
  done_ = done;
  flush();
}

double CubicResampler::Plan::interpolate(const float* v, std::size_t r) const noexcept {
  // The cubic rule where it applies and no neighbour is NaN (the only value unequal to itself),
  // else the linear rule, else P1's value.
  const std::size_t l = left[r];
  const double y1 = static_cast<double>(v[l]);
  const double y2 = static_cast<double>(v[l + 1]);
  double result = (rule[r] & kLinear) ? fraction[r] * (y2 - y1) + y1 : y1;
  if (rule[r] & kCubic) {
    const double y0 = static_cast<double>(v[l - 1]);
    const double y3 = static_cast<double>(v[l + 2]);
    if (y0 == y0 && y1 == y1 && y2 == y2 && y3 == y3) {
      result = ((w[0][r] * y0 + w[1][r] * y1) + w[2][r] * y2) + w[3][r] * y3;
    }
  }
  return result;
}

void CubicResampler::refuse_impossible_gap(double t, double right_time) {
  // A clock jump of decades between two samples asks for billions of grid rows. Growing the
  // columns would fail only after filling the machine's memory; when the rows up to the next
  // sample (or the window's end) cannot fit in the memory available now, fail at once.
  double until = right_time;
  if (has_end_ && end_time_ < until) until = end_time_;
  const double rows = (until - t) * 1000.0 / step_ms_;
  if (!(rows > 1e7)) return;
  flush();  // the planned rows may bring a column into being
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

namespace {

// One channel of one row that has four neighbours and divides: the cubic value stands unless it
// is NaN; only then are the neighbours looked at for the NaN that brings the linear rule.
inline float cubic_row(const float* x, std::size_t l, double w0, double w1, double w2, double w3,
                       double fraction) noexcept {
  const double y0 = static_cast<double>(x[l - 1]);
  const double y1 = static_cast<double>(x[l]);
  const double y2 = static_cast<double>(x[l + 1]);
  const double y3 = static_cast<double>(x[l + 2]);
  double result = ((w0 * y0 + w1 * y1) + w2 * y2) + w3 * y3;
  if (result != result && !(y0 == y0 && y1 == y1 && y2 == y2 && y3 == y3)) {
    result = fraction * (y2 - y1) + y1;
  }
  return static_cast<float>(result);
}

// The rows of a plan whose rows all have four neighbours and divide, for K channels at once so
// that a row's neighbours and weights are loaded once.
template <std::size_t K>
void write_cubic_rows(std::size_t rows, const std::uint32_t* left, const double* const (&w)[4],
                      const double* fraction, const float* const* v, float* const* out) noexcept {
  std::size_t r = 0;
#if defined(__SSE2__)
  // Two rows per step, one in each lane: the same double operations in the same order as the
  // scalar rule, so the same bits. A NaN anywhere sends the whole plan through the scalar rule.
  int nan_seen = 0;
  for (; r + 2 <= rows; r += 2) {
    const std::size_t la = left[r], lb = left[r + 1];
    const __m128d w0 = _mm_loadu_pd(w[0] + r);
    const __m128d w1 = _mm_loadu_pd(w[1] + r);
    const __m128d w2 = _mm_loadu_pd(w[2] + r);
    const __m128d w3 = _mm_loadu_pd(w[3] + r);
    for (std::size_t k = 0; k < K; ++k) {
      const float* x = v[k];
      const __m128d y0 = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(x + la - 1), _mm_load_ss(x + lb - 1)));
      const __m128d y1 = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(x + la), _mm_load_ss(x + lb)));
      const __m128d y2 = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(x + la + 1), _mm_load_ss(x + lb + 1)));
      const __m128d y3 = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(x + la + 2), _mm_load_ss(x + lb + 2)));
      const __m128d result = _mm_add_pd(
          _mm_add_pd(_mm_add_pd(_mm_mul_pd(w0, y0), _mm_mul_pd(w1, y1)), _mm_mul_pd(w2, y2)),
          _mm_mul_pd(w3, y3));
      nan_seen |= _mm_movemask_pd(_mm_cmpunord_pd(result, result));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out[k] + r), _mm_castps_si128(_mm_cvtpd_ps(result)));
    }
  }
  if (nan_seen != 0) r = 0;
#endif
  for (; r < rows; ++r) {
    const std::size_t l = left[r];
    for (std::size_t k = 0; k < K; ++k) {
      out[k][r] = cubic_row(v[k], l, w[0][r], w[1][r], w[2][r], w[3][r], fraction[r]);
    }
  }
}

}  // namespace

void CubicResampler::write_channels(const std::size_t* channels, float* const* out,
                                    std::size_t k) const noexcept {
  const Plan& p = plan_;
  if (p.all_cubic) {
    const float* v[kChannels];
    for (std::size_t i = 0; i < k; ++i) v[i] = value_[channels[i]].data();
    const double* const w[4] = {p.w[0], p.w[1], p.w[2], p.w[3]};
    for (std::size_t done = 0; done < k;) {
      const std::size_t now = k - done >= 3 ? 3 : k - done;
      if (now == 3) {
        write_cubic_rows<3>(p.rows, p.left, w, p.fraction, v + done, out + done);
      } else if (now == 2) {
        write_cubic_rows<2>(p.rows, p.left, w, p.fraction, v + done, out + done);
      } else {
        write_cubic_rows<1>(p.rows, p.left, w, p.fraction, v + done, out + done);
      }
      done += now;
    }
    return;
  }
  for (std::size_t i = 0; i < k; ++i) {
    const float* v = value_[channels[i]].data();
    for (std::size_t r = 0; r < p.rows; ++r) {
      out[i][r] = static_cast<float>(p.interpolate(v, r));
    }
  }
}

void CubicResampler::write_optional(std::size_t c, std::uint8_t flag, OptionalColumn& column,
                                    std::size_t row0) {
  if (!column && !(seen_ & flag)) return;  // no value anywhere, and no column to fill
  const float* v = value_[c].data();
  const std::uint8_t* has = flags_.data();
  const Plan& p = plan_;
  for (std::size_t r = 0; r < p.rows; ++r) {
    const std::size_t l = p.left[r];
    const std::uint8_t rule = p.rule[r];
    float value = kMissing;
    bool present = false;
    // A value P1 lacks is NaN under either rule; one that only P2 lacks is NaN unless the two
    // times coincide, where P1's value stands.
    if ((has[l] & flag) && ((has[l + 1] & flag) || !(rule & Plan::kLinear))) {
      value = static_cast<float>(p.interpolate(v, r));
      present = !std::isnan(value);
    }
    // On a grid time that is a sample time, the gyroscope and magnetometer are that sample's own.
    const std::size_t hit = (rule & Plan::kHitP1) ? l : (rule & Plan::kHitP2) ? l + 1 : SIZE_MAX;
    if (hit != SIZE_MAX) {
      value = v[hit];
      present = (has[hit] & flag) != 0;
    }
    push_optional_value(column, row0 + r, present, value);
  }
}

void CubicResampler::flush() {
  const std::size_t rows = plan_.rows;
  if (rows == 0) return;
  const std::size_t row0 = out_.time.size();
  out_.time.append(plan_.micros, rows);
  // Channels that always have a value when their column exists: acceleration and the
  // auxiliary readings.
  std::size_t channels[6];
  float* out[6];
  std::size_t k = 0;
  for (std::size_t a = 0; a < 3; ++a) {
    channels[k] = a;
    out[k++] = out_.acc[a].extend(rows);
  }
  OptionalColumn* aux_columns[3] = {&out_.temperature, &out_.light, &out_.battery};
  for (std::size_t i = 0; i < 3; ++i) {
    if (*aux_columns[i]) {
      channels[k] = 9 + i;
      out[k++] = (*aux_columns[i])->extend(rows);
    }
  }
  write_channels(channels, out, k);
  for (std::size_t a = 0; a < 3; ++a) write_optional(3 + a, kHasGyro, out_.gyro[a], row0);
  for (std::size_t a = 0; a < 3; ++a) write_optional(6 + a, kHasMag, out_.mag[a], row0);
  plan_.rows = 0;
  plan_.all_cubic = true;
}

namespace {

bool lacks_columns(const SampleColumns& out, BlockChannels channels) noexcept {
  for (int a = 0; a < 3; ++a) {
    if ((channels.gyro && !out.gyro[a]) || (channels.mag && !out.mag[a])) return true;
  }
  return false;
}

// A new column is sized like the time column, which may hold a guess at the final row count; a
// guess that memory refuses is dropped and the column grows as the rows come.
void add_column(OptionalColumn& column, const SampleColumns& out) {
  column.emplace();
  try {
    column->reserve(out.time.capacity());
  } catch (const std::bad_alloc&) {
  }
  column->append_fill(kMissing, out.time.size());
}

// A gyroscope or magnetometer column exists in the output once an in-window sample carries it,
// NaN for the rows before.
void add_columns(SampleColumns& out, BlockChannels channels) {
  for (int a = 0; a < 3; ++a) {
    if (channels.gyro && !out.gyro[a]) add_column(out.gyro[a], out);
  }
  for (int a = 0; a < 3; ++a) {
    if (channels.mag && !out.mag[a]) add_column(out.mag[a], out);
  }
}

}  // namespace

SampleColumns read_resampled_columns(const std::string& path, const BlockSelection& selection,
                                     const IncludeFlags& include, double resample_hz,
                                     const TimeWindow& window, const ReadContext& ctx) {
  BlockRange range = open_block_range(path, selection, ctx);
  BlockScreen screen(ctx.policy, ctx.report ? &ctx.report->skipped : nullptr);
  CubicResampler resampler(window, resample_hz, include);
  std::optional<double> previous_end = range.previous_end;
  bool any = false;
  bool stopped = false;
  while (!stopped) {
    const unsigned char* block = range.next_block();
    if (!block) break;
    const std::uint64_t k = range.index();
    const auto timing = screen(block, k);
    if (!timing) continue;
    const DataPacket packet = parse_data_packet(block);
    const CubicResampler::Slots slots = resampler.slots();
    const std::size_t n = decode_samples(packet, include.magnetometer, slots.targets);
    previous_end = packet_sample_seconds(packet, n, previous_end, slots.time);
    const AuxReadings aux = aux_readings(packet);
    if (!any) {
      check_time_window(window);
      any = true;
      // As many rows as the blocks ahead would give if they all hold this block's samples at
      // its nominal rate.
      resampler.expect_rows(static_cast<double>(range.blocks_left(k)) * static_cast<double>(n) *
                            resample_hz / block_rate_hz(packet.rate_code));
    }
    const double* t = slots.time;
    const BlockChannels channels = block_channels(packet.format, include.magnetometer);
    SampleColumns& out = resampler.output();

    // Samples go to the resampler in runs; a run ends before a sample that brings a new column,
    // which must see exactly the rows the samples before it completed.
    std::size_t i = 0;
    while (i < n && !stopped) {
      std::size_t next = n;
      if ((channels.gyro || channels.mag) && lacks_columns(out, channels)) {
        next = i;
        while (next < n && !window.contains(t[next])) ++next;
        if (next == i) {
          add_columns(out, channels);
          next = n;
        }
      }
      if (!resampler.done()) {
        const std::size_t ended = resampler.take(i, next, channels, aux);
        if (ended == next) {
          i = next;
          continue;
        }
        // The grid passed the window's end with this sample: later ones are only looked at for
        // the columns they bring and for the end of the reading.
        stopped = window.range_end_time && t[ended] >= *window.range_end_time;
        i = ended + 1;
        continue;
      }
      for (; i < next; ++i) {
        if (window.range_end_time && t[i] >= *window.range_end_time) {
          stopped = true;
          break;
        }
      }
    }
  }
  if (!any) {
    throw ReaderError::message(
        screen.explain("No valid sample data found in the specified range", ctx.report));
  }
  resampler.finish();
  if (resampler.output().time.empty()) {
    throw ReaderError::message("No samples remain after applying time range/resampling");
  }
  return std::move(resampler.output());
}

}  // namespace morvane
