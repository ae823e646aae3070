#include "package/pipeline.hpp"
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

SampleColumns read_block_columns(const std::string& path, const BlockSelection& selection,
                                 const IncludeFlags& include) {
  BlockRange range = open_block_range(path, selection);
  SampleColumns out;
  if (include.temperature) out.temperature.emplace();
  if (include.light) out.light.emplace();
  if (include.battery) out.battery.emplace();

  std::optional<double> previous_end = range.previous_end;
  std::size_t expected_rows = 0;
  for (std::uint64_t k = range.first; k < range.end; ++k) {
    const unsigned char* block = range.next_block();
    const auto timing = validate_packet_header(block);
    if (!timing) continue;
    const DataPacket packet = parse_data_packet(block);
    const std::size_t n = packet.sample_count;
    const std::size_t rows = out.acc[0].size();
    if (expected_rows == 0) {
      // Size every column once for the whole selection, assuming the blocks ahead hold as many
      // samples as this one; the columns still grow if they hold more.
      expected_rows = rows + static_cast<std::size_t>(range.end - k) * n;
      out.time.reserve(expected_rows);
      for (auto& c : out.acc) c.reserve(expected_rows);
      for (auto* c : {&out.temperature, &out.light, &out.battery}) {
        if (*c) (*c)->reserve(expected_rows);
      }
    }
    // Decode straight into the columns: no per-block copy of the values.
    const BlockChannels channels = block_channels(packet.format, include.magnetometer);
    SampleTargets targets;
    for (int a = 0; a < 3; ++a) targets.acc[a] = out.acc[a].extend(n);
    extend_optional(out.gyro, channels.gyro, rows, n, expected_rows, targets.gyro);
    extend_optional(out.mag, channels.mag, rows, n, expected_rows, targets.mag);
    decode_samples(packet, include.magnetometer, targets);
    previous_end = packet_sample_times(packet, n, previous_end, out.time.extend(n));
    const AuxReadings aux = aux_readings(packet);
    append_aux(out.temperature, aux.temperature, n);
    append_aux(out.light, aux.light, n);
    append_aux(out.battery, aux.battery, n);
  }
  if (out.acc[0].empty()) {
    throw ReaderError::message("No valid sample data found in the specified range");
  }
  return out;
}

}  // namespace morvane
