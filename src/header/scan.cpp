#include "header/scan.hpp"

#include <limits>

#include "packet/bytes.hpp"
#include "packet/error.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"
#include "packet/timing.hpp"

namespace morvane {

DataTimeRange scan_data_time_range(const std::string& path) {
  InputFile file(path);
  unsigned char head[layout::kMetadataSize];
  file.read_exact(head, sizeof head);
  if (load_u16(head) != 0x444D) throw ReaderError::message("First block is not a metadata block");

  DataTimeRange range;
  std::optional<double> previous_end;
  FileSource source(file);
  BlockReader reader;
  reader.reset(source, layout::kMetadataSize, std::numeric_limits<std::uint64_t>::max());
  while (const unsigned char* block = reader.next(source)) {
    const auto timing = validate_packet_header(block);
    if (!timing) continue;
    const TimeSpan span = packet_time_span(*timing);
    const double start = continuity_start(span.start, previous_end);
    if (!range.first_sample_us) range.first_sample_us = seconds_to_micros(start);
    // The division by n comes before the multiplication by n - 1 here, unlike the sample readers;
    // the two can differ in the last bit.
    const double n = static_cast<double>(timing->sample_count);
    range.last_sample_us = seconds_to_micros((span.end - start) / n * (n - 1.0) + start);
    range.sample_count += timing->sample_count;
    previous_end = span.end;
  }
  return range;
}

}  // namespace morvane
