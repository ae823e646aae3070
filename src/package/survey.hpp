// One header-only pass over every block of a recording, plain or compressed, for the quality
// report and the block table. No sample is decoded.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "header/metadata.hpp"
#include "package/pipeline.hpp"
#include "packet/timing.hpp"

namespace morvane {

// What the pass knows about one block; `bytes` is valid only during the visit.
struct SurveyBlock {
  std::uint64_t index = 0;
  const unsigned char* bytes = nullptr;
  BlockClass cls;
  bool checksum_ok = false;
  double raw_start = 0;  // data blocks: the block's own start
  TimeSpan span;         // data blocks: start after the continuity correction, own end
  std::optional<double> previous_end;  // the previous valid block's end, before this block
};

// Classifies blocks one after another and times the data blocks as a tolerant read times them.
// Owns the view of the block it served last.
class BlockSurvey {
 public:
  explicit BlockSurvey(bool verify_checksums) : verify_(verify_checksums) {}
  const SurveyBlock& step(const unsigned char* block, std::uint64_t index) noexcept {
    b_.previous_end = next_previous_end_;
    b_.index = index;
    b_.bytes = block;
    b_.cls = classify_block(block, verify_);
    // A verified data block has passed its checksum already.
    b_.checksum_ok = (verify_ && b_.cls.kind == BlockKind::data) || checksum_ok(block);
    if (b_.cls.kind == BlockKind::data) {
      const TimeSpan own = packet_time_span(b_.cls.timing);
      b_.raw_start = own.start;
      b_.span = {continuity_start(own.start, b_.previous_end), own.end};
      next_previous_end_ = b_.span.end;
    }
    return b_;
  }

 private:
  bool verify_;
  SurveyBlock b_;
  std::optional<double> next_previous_end_;
};

// How a header pass reads: the tolerant policy that passes over bad blocks, with the given
// checksum rule, inflater and threads.
inline ReadContext survey_context(bool verify_checksums, Inflater inflater = Inflater::automatic,
                                  unsigned threads = 1) noexcept {
  ReadContext ctx;
  ctx.policy.tolerant_input = true;
  ctx.policy.skip_bad = true;
  ctx.policy.verify_checksums = verify_checksums;
  ctx.policy.inflater = inflater;
  ctx.threads = threads;
  return ctx;
}

// Visits every block after the metadata block in file order, with bad blocks passed over as a
// tolerant read passes over them; stops early at damage in compressed input (noted in the
// report). `how` comes from survey_context. Returns the parsed metadata block.
template <class Visit>
MetadataBlock survey_recording(const std::string& path, const ReadContext& how,
                               ReadReport& report, Visit&& visit) {
  ReadContext ctx = how;
  ctx.report = &report;
  BlockRange range = open_block_range_any(path, ctx);
  MetadataBlock metadata = parse_metadata_block(range.head->data());
  BlockSurvey survey(ctx.policy.verify_checksums);
  while (const unsigned char* block = range.next_block()) {
    visit(survey.step(block, range.index()));
  }
  return metadata;
}

}  // namespace morvane

#include <map>
#include <vector>

#include "header/scan.hpp"
#include "package/columns.hpp"

namespace morvane {

// What the quality report says about a recording. A value type; owns everything.
struct RecordingQuality {
  MetadataBlock metadata;
  bool verified = false;  // checksums were verified
  ReadReport read;  // trailing bytes, compression, truncation (no skipped list)
  std::uint64_t blocks = 0;
  std::uint64_t data_blocks = 0;  // valid data blocks
  std::uint64_t erased_blocks = 0;
  std::uint64_t empty_blocks = 0;
  std::uint64_t bad_blocks = 0;
  std::map<std::string, std::uint64_t> bad_block_reasons;
  std::uint64_t checksum_failures = 0;  // "AX" blocks with samples, whatever the policy
  DataTimeRange range;                  // of the valid blocks, as the metadata scan times them
  std::uint64_t sequence_breaks = 0;
  std::uint64_t missing_blocks = 0;
  std::uint64_t gaps = 0;
  double gap_seconds = 0;
  double longest_gap_seconds = 0;
  std::uint64_t backward_jumps = 0;
  std::uint64_t rate_changes = 0;
  std::uint64_t format_changes = 0;
  std::vector<std::uint32_t> session_ids;  // in order of first appearance
  std::vector<unsigned> axes;              // sample axes of the valid blocks, ascending
  std::optional<float> temperature_min;
  std::optional<float> temperature_max;
  std::optional<float> battery_first;
  std::optional<float> battery_last;
  // One entry per valid data block, in file order: its number, its start after the continuity
  // correction, its own end and its own start (device seconds). Gaps, days and the day plan
  // are all derived from these.
  Column<std::int64_t> span_block;
  Column<double> span_start;
  Column<double> span_end;
  Column<double> span_raw_start;
};

// Adds blocks to a quality report one at a time, in file order: the header-only pass and a
// whole read that watches its blocks go by build the same report. Owns the report until
// finish() hands it over.
class RecordingSurveyor {
 public:
  explicit RecordingSurveyor(bool verify_checksums = false)
      : step_(verify_checksums), verify_(verify_checksums) {}
  void visit(const SurveyBlock& b);
  // Classifies and times a block as the header-only pass does, adds it, and returns the view.
  const SurveyBlock& see(const unsigned char* block, std::uint64_t index) {
    const SurveyBlock& b = step_.step(block, index);
    visit(b);
    return b;
  }
  // The report; the metadata block and the read report come from whoever read the file.
  RecordingQuality finish(const MetadataBlock& metadata, const ReadReport& read);

 private:
  BlockSurvey step_;
  bool verify_;
  RecordingQuality q_;
  bool any_ = false;
  std::uint32_t last_sequence_ = 0;
  std::uint64_t last_index_ = 0;
  double last_rate_ = 0;
  std::uint8_t last_format_ = 0;
  std::uint16_t temp_lo_ = 0, temp_hi_ = 0;
  std::uint8_t battery_first_ = 0, battery_last_ = 0;
  bool axes_seen_[16] = {};
};

RecordingQuality assess_recording(const std::string& path, const ReadContext& how);

// Seconds of data per day: each span [start[i], end[i]) (an empty or non-finite one is passed
// over) split at the days' first instants `bounds` (day k is [bounds[k], bounds[k + 1]), in the
// spans' clock), in span order, so that a day's total is summed as the spans come. With
// `whole_days` the bounds are k * 86400 s and a span's first day is floor(start / 86400), the
// rule of the device clock's own days. `used[k]` says whether day k got a piece. Throws
// ReaderError when a span falls outside the bounds.
struct DaySeconds {
  std::vector<double> seconds;
  std::vector<std::uint8_t> used;
};
DaySeconds split_by_days(std::span<const double> start, std::span<const double> end,
                         std::span<const double> bounds, bool whole_days);

// The time of the recording's first sample (device microseconds): the start of its first valid
// data block, bad blocks passed over. Absent for a recording without a valid block. Stops at
// that block, so it costs one block of a plain file.
std::optional<std::int64_t> first_sample_time(const std::string& path, const ReadContext& how);

// One row per block after the metadata block, from headers only. Times are device microseconds,
// INT64_MIN where the block has none; readings NaN unless the block is valid.
struct BlockTable {
  ReadReport read;
  Column<std::int64_t> block;
  Column<std::uint8_t> status;  // BlockKind
  Column<std::uint8_t> reason;  // index into reasons, 0 for none
  std::vector<std::string> reasons{""};
  Column<std::uint8_t> checksum_ok;
  Column<std::int64_t> session_id;
  Column<std::int64_t> sequence_id;
  Column<std::int64_t> samples;
  Column<double> rate_hz;
  Column<std::int64_t> format;
  Column<std::int64_t> start;
  Column<std::int64_t> end;
  Column<float> temperature;
  Column<float> light;
  Column<float> battery;
};

BlockTable tabulate_blocks(const std::string& path, const ReadContext& how);

}  // namespace morvane
