// The exact centred rolling median of sampled signals, clipped at stretch boundaries.
//
// For a window of w samples, output i is the median of the values at positions
// [i - w/2, i - w/2 + w - 1] (integer halving: an odd window is symmetric, an even one reaches one
// more sample back than ahead, as pandas centres it), clipped to the stretch holding i and to the
// given input; NaN values are left out. The median of an odd count is the middle value; of an even
// count (clipped windows, NaN values) the mean of the two middle values in double precision; of no
// value NaN. This is pandas' `Series.rolling(w, center=True, min_periods=1).median()` run on each
// stretch separately, to the bit.
//
// How: each piece of at most kMedianPiece outputs maps its input values to their ranks among the
// piece's distinct values (a hash table, then one sort of the distinct values: accelerometer
// samples are quantised counts under an affine calibration, so a piece holds a few hundred to a
// few thousand levels). The window is then a histogram over the ranks with a pointer to the
// median's level and the count of values below it (Huang's running histogram). A step of a full
// window adds one count and removes one per layer of the histogram (levels, groups of 64 levels,
// groups of those, ...), and moves the pointer only when the median leaves its level: then to the
// neighbouring occupied level, found by scanning at most 64 counts per layer. So a step costs
// O(log D) for D levels at worst and a few operations when, as in accelerometer data, the median
// stays on its level for many steps. Any input is exact; only the speed depends on how few
// distinct values it holds (a piece of all-distinct values costs a sort of the piece).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvane {

// Outputs per piece: large enough that the window's context is a small overhead, small enough
// that a piece's ranks, histogram and hash table stay in the caches.
inline constexpr std::size_t kMedianPiece = std::size_t{1} << 18;
// The longest window: 2^23 samples (a day at 97 Hz), so that a piece's levels, at most its
// inputs, fit four layers of 64-way counts.
inline constexpr std::size_t kMaxMedianWindow = std::size_t{1} << 23;

// One signal of a rolling median. Borrowed: `values` belongs to the caller and must outlive the
// call; `out` is written, `end - begin` values.
template <class T>
struct MedianSignal {
  std::span<const T> values;
  double* out;
};

// The request shared by all signals of one call. `stretches` (borrowed from the caller) holds
// the positions where a stretch starts, with 0 first and the input length last
// (non-decreasing); empty means one stretch over the whole input. Outputs are made for positions
// [begin, end); the input's ends count as stretch ends, so a caller going piece by piece gives
// each piece half a window of context on both sides and asks for the piece's own outputs.
struct MedianRequest {
  std::size_t window = 1;
  std::span<const std::int64_t> stretches;
  std::size_t begin = 0;
  std::size_t end = 0;
  unsigned threads = 1;  // 1: the calling thread only
};

// Checks the request against an input of `length` values; throws ReaderError (a message) when the
// window is zero, the stretches do not run from 0 to `length` in order, or [begin, end) does not
// lie inside the input.
void check_median_request(const MedianRequest& request, std::size_t length);

// Computes every signal's rolling median, each signal cut into pieces that up to
// `request.threads` threads take in turn (1: no thread is started). All signals have the same
// length. Throws ReaderError for a bad request; std::bad_alloc when memory runs out.
void rolling_median(std::span<const MedianSignal<float>> signals, const MedianRequest& request);
void rolling_median(std::span<const MedianSignal<double>> signals, const MedianRequest& request);

}  // namespace morvane
