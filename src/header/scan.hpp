// The header-only scan of all data blocks behind the two metadata functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace morvane {

struct DataTimeRange {
  std::optional<std::int64_t> first_sample_us;  // present together with last_sample_us
  std::optional<std::int64_t> last_sample_us;
  std::uint64_t sample_count = 0;
};

// Counts one valid block whose samples run from `start` (after the continuity correction) to
// `end`: the first sample time of the data, the last one, and the sample count.
inline void extend_time_range(DataTimeRange& range, double start, double end, std::size_t count);

// Walks every block with the same validation and continuity rule as the sample readers, without
// decoding a sample. Throws ReaderError.
DataTimeRange scan_data_time_range(const std::string& path);

}  // namespace morvane

#include "packet/timing.hpp"

namespace morvane {

inline void extend_time_range(DataTimeRange& range, double start, double end, std::size_t count) {
  if (!range.first_sample_us) range.first_sample_us = seconds_to_micros(start);
  // The division by n comes before the multiplication by n - 1 here, unlike the sample readers;
  // the two can differ in the last bit.
  const double n = static_cast<double>(count);
  range.last_sample_us = seconds_to_micros((end - start) / n * (n - 1.0) + start);
  range.sample_count += count;
}

}  // namespace morvane
