// The sample pipeline: from a file path and a cut to decoded, timed sample columns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <array>
#include <memory>

#include "package/columns.hpp"
#include "package/policy.hpp"
#include "packet/file.hpp"
#include "packet/source.hpp"

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

// An opened, checked input positioned at its first selected block. Owns the file and the byte
// source that reads it (plain, or inflated on the fly).
struct BlockRange {
  std::unique_ptr<InputFile> file;
  std::unique_ptr<ByteSource> source;
  ReadContext context;
  std::uint64_t first = 0;
  std::uint64_t end = 0;      // one past the last block to read
  bool end_known = true;      // false for compressed input, whose length shows only at its end
  std::uint64_t next_index = 0;              // number of the block next_block() serves next
  std::optional<std::uint64_t> blocks_hint;  // a guess at the selection's length, for sizing
  // blocks_left() is exact (plain files), or a guess likely enough to be right that the read backs
  // it with memory up front: a gzip length that is a whole number of blocks and at most
  // kTrustedRatio times the compressed file (a damaged trailer seldom passes both).
  bool size_trusted = true;
  static constexpr std::uint64_t kTrustedRatio = 16;
  bool read_ahead = false;  // a second thread inflates the input ahead of the reader
  std::optional<double> previous_end;        // end of the nearest valid block before `first`
  BlockReader reader;                        // serves blocks first .. end - 1 in order
  // The metadata block, read by tolerant reads only (strict ones never look past its header).
  std::optional<std::array<unsigned char, layout::kMetadataSize>> head;

  explicit BlockRange(const std::string& path, const ReadContext& ctx);
  // The next selected block, or nullptr once the selection or the input is over. "Unexpected end
  // of CWA data" when a plain file ends before a block it has.
  const unsigned char* next_block();
  // Number of the block next_block() served last.
  std::uint64_t index() const noexcept { return next_index - 1; }
  // About how many blocks remain from block k on: exact for plain files.
  std::uint64_t blocks_left(std::uint64_t k) const noexcept;
  // Back to the first selected block.
  void rewind();
};

BlockSelection resolve_cut(const std::string& path, const std::optional<CutSpec>& cut,
                           const ReadContext& ctx = {});
BlockRange open_block_range(const std::string& path, const BlockSelection& selection,
                            const ReadContext& ctx = {});
// Every block of the input; a recording without any data block is an empty range, not an error.
BlockRange open_block_range_any(const std::string& path, const ReadContext& ctx);

class RecordingSurveyor;

// Reads the blocks of a range into columns, a chunk of blocks at a time, carrying the continuity
// correction from chunk to chunk. Owns the range. A gyroscope or magnetometer column, once some
// block brought it, is present in every later chunk.
class BlockColumnReader {
 public:
  BlockColumnReader(BlockRange range, const IncludeFlags& include);
  // Up to max_blocks more blocks (of any kind). Columns come out empty once the range is done.
  SampleColumns read(std::uint64_t max_blocks);
  bool done() const noexcept { return done_; }
  const BlockScreen& screen() const noexcept { return screen_; }
  const BlockRange& range() const noexcept { return range_; }
  // Shows every block the reader passes to `surveyor` (borrowed; it must outlive the reader and
  // verify checksums as the read's policy does), so that a whole read yields the header-only
  // survey's report too. Set before the first read.
  void observe(RecordingSurveyor* surveyor) noexcept { observer_ = surveyor; }

 private:
  BlockRange range_;
  IncludeFlags include_;
  BlockScreen screen_;
  std::optional<double> previous_end_;
  bool seen_gyro_ = false;
  bool seen_mag_ = false;
  bool done_ = false;
  RecordingSurveyor* observer_ = nullptr;
};

SampleColumns read_block_columns(const std::string& path, const BlockSelection& selection,
                                 const IncludeFlags& include, const ReadContext& ctx = {});
SampleColumns apply_time_range(SampleColumns columns, const TimeWindow& window);
SampleColumns read_resampled_columns(const std::string& path, const BlockSelection& selection,
                                     const IncludeFlags& include, double resample_hz,
                                     const TimeWindow& window, const ReadContext& ctx = {});

}  // namespace morvane
