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
    extend_time_range(range, continuity_start(span.start, previous_end), span.end,
                      timing->sample_count);
    previous_end = span.end;
  }
  return range;
}

}  // namespace morvane
