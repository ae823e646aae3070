#include <limits>
#include <new>

#include "package/pipeline.hpp"
#include "package/survey.hpp"
#include "packet/decode.hpp"
#include "packet/error.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

// Makes room for a block's n values of one optional channel triple and returns where the
// decoder writes them; NaN where a column exists but the block has no such channel, and a
// column created NaN-filled for the earlier rows on the channel's first appearance.
void extend_optional(OptionalColumn (&columns)[3], bool present, std::size_t rows_before,
                     std::size_t n, std::size_t expected_rows, float* (&targets)[3]) {
  for (int a = 0; a < 3; ++a) {
    OptionalColumn& column = columns[a];
    targets[a] = nullptr;
    if (!column) {
      if (!present) continue;
      column.emplace();
      column->reserve(expected_rows > rows_before + n ? expected_rows : rows_before + n);
      column->append_fill(kMissing, rows_before);
    }
    if (present) {
      targets[a] = column->extend(n);
    } else {
      column->append_fill(kMissing, n);
    }
  }
}

void append_aux(OptionalColumn& column, float value, std::size_t n) {
  if (column) column->append_fill(value, n);
}

}  // namespace

BlockColumnReader::BlockColumnReader(BlockRange range, const IncludeFlags& include)
    : range_(std::move(range)),
      include_(include),
      screen_(range_.context.policy, range_.context.report ? &range_.context.report->skipped : nullptr),
      previous_end_(range_.previous_end) {}

SampleColumns BlockColumnReader::read(std::uint64_t max_blocks) {
  SampleColumns out;
  if (include_.temperature) out.temperature.emplace();
  if (include_.light) out.light.emplace();
  if (include_.battery) out.battery.emplace();
  // Columns an earlier chunk brought stay, NaN until this chunk's blocks fill them.
  for (int a = 0; a < 3; ++a) {
    if (seen_gyro_) out.gyro[a].emplace();
    if (seen_mag_) out.mag[a].emplace();
  }

  std::size_t expected_rows = 0;
  for (std::uint64_t taken = 0; taken < max_blocks; ++taken) {
    const unsigned char* block = range_.next_block();
    if (!block) {
      done_ = true;
      break;
    }
    const std::uint64_t k = range_.index();
    const auto timing = observer_ ? screen_.accept(observer_->see(block, k).cls, block, k)
                                  : screen_(block, k);
    if (!timing) continue;
    const DataPacket packet = parse_data_packet(block);
    const std::size_t n = packet.sample_count;
    const std::size_t rows = out.acc[0].size();
    if (expected_rows == 0) {
      // Size every column once for the whole selection, assuming the blocks ahead hold as many
      // samples as this one; the columns still grow if they hold more.
      std::uint64_t blocks = range_.blocks_left(k);
      if (max_blocks - taken < blocks) blocks = max_blocks - taken;
      if (blocks == 0) blocks = 1;
      expected_rows = rows + static_cast<std::size_t>(blocks) * n;
      try {
        out.time.reserve(expected_rows);
        for (auto& c : out.acc) c.reserve(expected_rows);
        for (auto* c : {&out.temperature, &out.light, &out.battery}) {
          if (*c) (*c)->reserve(expected_rows);
        }
      } catch (const std::bad_alloc&) {
        // Only a guess from compressed input may be dropped; an exact size memory cannot hold
        // is refused.
        if (range_.end_known) throw;
      }
    }
    // Decode straight into the columns: no per-block copy of the values.
    const BlockChannels channels = block_channels(packet.format, include_.magnetometer);
    seen_gyro_ = seen_gyro_ || channels.gyro;
    seen_mag_ = seen_mag_ || channels.mag;
    SampleTargets targets;
    for (int a = 0; a < 3; ++a) targets.acc[a] = out.acc[a].extend(n);
    extend_optional(out.gyro, channels.gyro, rows, n, expected_rows, targets.gyro);
    extend_optional(out.mag, channels.mag, rows, n, expected_rows, targets.mag);
    decode_samples(packet, include_.magnetometer, targets);
    previous_end_ = packet_sample_times(packet, n, previous_end_, out.time.extend(n));
    const AuxReadings aux = aux_readings(packet);
    append_aux(out.temperature, aux.temperature, n);
    append_aux(out.light, aux.light, n);
    append_aux(out.battery, aux.battery, n);
  }
  return out;
}

SampleColumns read_block_columns(const std::string& path, const BlockSelection& selection,
                                 const IncludeFlags& include, const ReadContext& ctx) {
  BlockColumnReader reader(open_block_range(path, selection, ctx), include);
  SampleColumns out = reader.read(std::numeric_limits<std::uint64_t>::max());
  if (out.acc[0].empty()) {
    throw ReaderError::message(
        reader.screen().explain("No valid sample data found in the specified range", ctx.report));
  }
  return out;
}

}  // namespace morvane
