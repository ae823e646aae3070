#include "packet/timing.hpp"

#include "packet/datetime.hpp"
#include "packet/error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvane {

namespace {

// Sample i of a block: i * span / count after `first`, in microseconds. Every time of the block
// lies between its two ends; when both are far inside the i64 range the saturating conversion
// cannot trigger and a plain one gives the same result.
inline double sample_micros(double i, double span, double count, double first) noexcept {
  return (i * span / count + first) * 1000000.0;
}

constexpr double kSafe = 9.0e18;

bool far_inside(double a, double b) noexcept {
  return a > -kSafe && a < kSafe && b > -kSafe && b < kSafe;
}

#if defined(__SSE2__)
constexpr double kTwo52 = 4503599627370496.0;

// Blocks whose times lie between 1 us and 2^52 us (the year 2112) after 1970 go two samples per
// step: the same double operations in the same order, and a truncation that SSE2 has no
// instruction for. Adding and taking away 2^52 rounds a value in [0, 2^52) to an integer
// exactly; one less where that went up is the truncation. The sum with 2^52 then holds the
// integer in its low mantissa bits.
bool packed_range(double a, double b) noexcept {
  constexpr double kTop = kTwo52 - 4294967296.0;
  return a >= 1.0 && b >= 1.0 && a < kTop && b < kTop;
}

// Hands each pair of truncated microseconds to `store`; returns how many samples it covered.
template <class Store>
std::size_t spread_pairs(double first, double span, double count, std::size_t n, Store store) noexcept {
  const __m128d vspan = _mm_set1_pd(span);
  const __m128d vcount = _mm_set1_pd(count);
  const __m128d vfirst = _mm_set1_pd(first);
  const __m128d mega = _mm_set1_pd(1000000.0);
  const __m128d two52 = _mm_set1_pd(kTwo52);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d two = _mm_set1_pd(2.0);
  __m128d index = _mm_set_pd(1.0, 0.0);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d x = _mm_mul_pd(_mm_add_pd(_mm_div_pd(_mm_mul_pd(index, vspan), vcount), vfirst), mega);
    const __m128d rounded = _mm_sub_pd(_mm_add_pd(x, two52), two52);
    const __m128d whole = _mm_sub_pd(rounded, _mm_and_pd(_mm_cmpgt_pd(rounded, x), one));
    store(i, whole, two52);
    index = _mm_add_pd(index, two);
  }
  return i;
}
#endif

}  // namespace

void spread_sample_times(double first, double end, std::size_t n, std::int64_t* out) noexcept {
  const double span = end - first;
  const double count = static_cast<double>(n);
  const double a = first * 1000000.0;
  const double b = end * 1000000.0;
  std::size_t i = 0;
#if defined(__SSE2__)
  if (packed_range(a, b)) {
    i = spread_pairs(first, span, count, n, [out](std::size_t j, __m128d whole, __m128d two52) {
      const __m128i bits = _mm_sub_epi64(_mm_castpd_si128(_mm_add_pd(whole, two52)),
                                         _mm_castpd_si128(two52));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), bits);
    });
  }
#endif
  if (far_inside(a, b)) {
    for (; i < n; ++i) {
      out[i] = static_cast<std::int64_t>(sample_micros(static_cast<double>(i), span, count, first));
    }
    return;
  }
  for (; i < n; ++i) {
    out[i] = saturating_i64(sample_micros(static_cast<double>(i), span, count, first));
  }
}

void spread_sample_seconds(double first, double end, std::size_t n, double* out) noexcept {
  const double span = end - first;
  const double count = static_cast<double>(n);
  std::size_t i = 0;
#if defined(__SSE2__)
  if (packed_range(first * 1000000.0, end * 1000000.0)) {
    // The truncated value is the integer number of microseconds itself, exactly.
    i = spread_pairs(first, span, count, n, [out](std::size_t j, __m128d whole, __m128d) {
      _mm_storeu_pd(out + j, _mm_div_pd(whole, _mm_set1_pd(1e6)));
    });
  }
#endif
  for (; i < n; ++i) {
    out[i] = micros_to_seconds(saturating_i64(sample_micros(static_cast<double>(i), span, count, first)));
  }
}

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

namespace {

// The span of a block's samples with the continuity correction applied to its start.
TimeSpan joined_span(const DataPacket& packet, std::size_t n, std::optional<double> previous_end) {
  if (!decode_packed_datetime(packet.timestamp)) {
    throw ReaderError::message("Invalid block timestamp");
  }
  PacketTiming timing;
  timing.sample_count = n;
  timing.timestamp = packet.timestamp;
  timing.timestamp_offset = packet.timestamp_offset;
  timing.rate_code = packet.rate_code;
  const TimeSpan span = packet_time_span(timing);
  return {continuity_start(span.start, previous_end), span.end};
}

}  // namespace

double packet_sample_times(const DataPacket& packet, std::size_t n,
                           std::optional<double> previous_end, std::int64_t* out) {
  if (n == 0) return previous_end.value_or(0.0);
  const TimeSpan span = joined_span(packet, n, previous_end);
  spread_sample_times(span.start, span.end, n, out);
  return span.end;
}

double packet_sample_seconds(const DataPacket& packet, std::size_t n,
                             std::optional<double> previous_end, double* out) {
  if (n == 0) return previous_end.value_or(0.0);
  const TimeSpan span = joined_span(packet, n, previous_end);
  spread_sample_seconds(span.start, span.end, n, out);
  return span.end;
}

}  // namespace morvane
