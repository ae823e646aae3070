#include <algorithm>
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

// Rows a read backs with memory ahead of its writes at least, where its size is only a guess.
constexpr std::size_t kPopulateRows = std::size_t{1} << 20;

void populate_rows(SampleColumns& out, std::size_t from, std::size_t to) noexcept {
  out.time.populate(from, to);
  for (auto& c : out.acc) c.populate(from, to);
  for (auto* group : {&out.gyro, &out.mag}) {
    for (auto& c : *group) {
      if (c) c->populate(from, to);
    }
  }
  for (auto* c : {&out.temperature, &out.light, &out.battery}) {
    if (*c) (*c)->populate(from, to);
  }
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
  std::size_t populated = 0;  // rows backed with memory in every column present then
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
    if (!range_.read_ahead && rows + n > populated) {
      // The columns take their memory in a few large steps, not page by page as the decoder
      // writes: all of it at once where the size is known or trusted (BlockRange), else twice
      // what the rows so far have proven, so that a wrong guess costs at most that much (the
      // unused end goes back when the columns are handed over). With a thread inflating ahead
      // this thread mostly waits for it, and the page faults hide in those waits; taking the
      // memory first would make the inflater wait instead.
      std::size_t target = rows + n + kPopulateRows;
      if (target < 2 * (rows + n)) target = 2 * (rows + n);
      if (range_.size_trusted && target < expected_rows) target = expected_rows;
      populate_rows(out, populated, target);
      // Room the columns grow into later is taken when a block first reaches it.
      populated = std::min(target, out.time.capacity());
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
