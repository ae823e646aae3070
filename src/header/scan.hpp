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

// Walks every block with the same validation and continuity rule as the sample readers, without
// decoding a sample. Throws ReaderError.
DataTimeRange scan_data_time_range(const std::string& path);

}  // namespace morvane
