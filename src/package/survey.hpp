// One header-only pass over every block of a recording, plain or compressed, for the quality
// report and the block table. No sample is decoded.
#pragma once

#include <optional>
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

// Visits every block after the metadata block in file order, with bad blocks passed over as a
// tolerant read passes over them; stops early at damage in compressed input (noted in the
// report). Returns the parsed metadata block.
template <class Visit>
MetadataBlock survey_recording(const std::string& path, bool verify_checksums, ReadReport& report,
                               Visit&& visit) {
  ReadContext ctx;
  ctx.policy.tolerant_input = true;
  ctx.policy.skip_bad = true;
  ctx.policy.verify_checksums = verify_checksums;
  ctx.report = &report;
  BlockRange range = open_block_range_any(path, ctx);
  MetadataBlock metadata = parse_metadata_block(range.head->data());
  SurveyBlock b;
  while (const unsigned char* block = range.next_block()) {
    b.index = range.index();
    b.bytes = block;
    b.cls = classify_block(block, verify_checksums);
    b.checksum_ok = checksum_ok(block);
    if (b.cls.kind == BlockKind::data) {
      const TimeSpan own = packet_time_span(b.cls.timing);
      b.raw_start = own.start;
      b.span = {continuity_start(own.start, b.previous_end), own.end};
    }
    visit(static_cast<const SurveyBlock&>(b));
    if (b.cls.kind == BlockKind::data) b.previous_end = b.span.end;
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
  std::map<std::int64_t, double> day_seconds;  // day since 1970 -> seconds of data on it
  std::optional<float> temperature_min;
  std::optional<float> temperature_max;
  std::optional<float> battery_first;
  std::optional<float> battery_last;
};

RecordingQuality assess_recording(const std::string& path, bool verify_checksums);

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

BlockTable tabulate_blocks(const std::string& path, bool verify_checksums);

}  // namespace morvane
