// The sample pipeline: from a file path and a cut to decoded, timed sample columns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "package/columns.hpp"
#include "packet/file.hpp"

namespace morvane {

// A cut as the caller gave it: seconds from the first sample, or data block numbers.
struct CutSpec {
  enum class Kind { seconds, blocks };
  Kind kind = Kind::blocks;
  std::optional<double> start_seconds;
  std::optional<double> end_seconds;
  std::optional<std::uint64_t> start_block;
  std::optional<std::uint64_t> end_block;
};

// Throws ReaderError with the cut's first fault.
void validate_cut(const CutSpec& cut);

// Absolute device-clock seconds: start inclusive, end exclusive.
struct TimeWindow {
  std::optional<double> range_start_time;
  std::optional<double> range_end_time;
  bool bounded() const noexcept { return range_start_time || range_end_time; }
  bool contains(double t) const noexcept {
    return (!range_start_time || *range_start_time <= t) && (!range_end_time || t < *range_end_time);
  }
};

// Throws ReaderError for a bound that is not finite or an empty window.
void check_time_window(const TimeWindow& window);

struct IncludeFlags {
  bool magnetometer = true;
  bool temperature = true;
  bool light = true;
  bool battery = true;
};

struct BlockSelection {
  bool has_first = false;
  std::uint64_t first = 0;
  bool has_count = false;
  std::uint64_t count = 0;
  TimeWindow window;
};

// An opened, checked input positioned at its first selected block. Owns the file.
struct BlockRange {
  InputFile file;
  std::uint64_t first = 0;
  std::uint64_t end = 0;                // one past the last block to read
  std::optional<double> previous_end;   // end of the nearest valid block before `first`
  BlockReader reader;                   // serves blocks first .. end - 1 in order

  BlockRange(InputFile f) : file(std::move(f)) {}
  // The next selected block; "Unexpected end of CWA data" when the file ends at a block start.
  const unsigned char* next_block();
  // Back to the first selected block.
  void rewind();
};

BlockSelection resolve_cut(const std::string& path, const std::optional<CutSpec>& cut);
BlockRange open_block_range(const std::string& path, const BlockSelection& selection);
SampleColumns read_block_columns(const std::string& path, const BlockSelection& selection,
                                 const IncludeFlags& include);
SampleColumns apply_time_range(SampleColumns columns, const TimeWindow& window);
SampleColumns read_resampled_columns(const std::string& path, const BlockSelection& selection,
                                     const IncludeFlags& include, double resample_hz,
                                     const TimeWindow& window);

}  // namespace morvane
