#include <cmath>
#include <limits>
#include <vector>

#include "package/pipeline.hpp"
#include "packet/error.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

constexpr std::uint64_t kBlock = layout::kBlockSize;
constexpr std::uint64_t kHead = layout::kMetadataSize;

// Opens the input and runs the checks every reader makes first; returns the data block count.
std::uint64_t open_checked(InputFile& file) {
  unsigned char magic[2];
  file.read_exact(magic, 2);
  if (magic[0] != 'M' || magic[1] != 'D') throw ReaderError::message("Not a valid CWA file");
  const std::uint64_t size = file.size();
  if (size < kHead) throw ReaderError::message("File too small to be a valid CWA file");
  if (size % kBlock != 0) throw ReaderError::message("Incomplete CWA data block");
  return (size - kHead) / kBlock;
}

[[noreturn]] void unexpected_end() { throw ReaderError::message("Unexpected end of CWA data"); }

// One block read on its own, for the short backward walk before the selection.
void read_single_block(InputFile& file, std::uint64_t k, BlockBytes& block) {
  file.seek(kHead + kBlock * k);
  block.fill(0);
  if (file.read_some(block.data(), 1) == 0) unexpected_end();
  file.read_exact(block.data() + 1, kBlock - 1);
}

struct Entry {
  std::uint64_t block;
  double start;  // after the continuity correction
  double end;
};

}  // namespace

void validate_cut(const CutSpec& cut) {
  if (cut.kind == CutSpec::Kind::blocks) {
    if (cut.start_block && cut.end_block && *cut.end_block <= *cut.start_block) {
      throw ReaderError::message("blocks end must be greater than start");
    }
    return;
  }
  for (const auto& v : {cut.start_seconds, cut.end_seconds}) {
    if (!v) continue;
    if (!std::isfinite(*v)) throw ReaderError::message("seconds cut values must be finite");
    if (*v < 0) throw ReaderError::message("seconds cut values must be >= 0");
  }
  if (cut.start_seconds && cut.end_seconds && *cut.start_seconds >= *cut.end_seconds) {
    throw ReaderError::message("seconds end must be greater than start");
  }
}

const unsigned char* BlockRange::next_block() {
  const unsigned char* block = reader.next(file);
  if (!block) unexpected_end();
  return block;
}

void BlockRange::rewind() { reader.reset(file, kHead + kBlock * first, (end - first) * kBlock); }

BlockRange open_block_range(const std::string& path, const BlockSelection& selection) {
  BlockRange range{InputFile(path)};
  const std::uint64_t n = open_checked(range.file);
  const std::uint64_t first = selection.has_first ? selection.first : 0;
  if (n <= first) throw ReaderError::message("Start block is beyond file size");
  const std::uint64_t count = selection.has_count ? selection.count : n - first;
  const std::uint64_t last = count > std::numeric_limits<std::uint64_t>::max() - first
                                 ? std::numeric_limits<std::uint64_t>::max()
                                 : first + count;
  range.first = first;
  range.end = last < n ? last : n;

  // The continuity correction of the first selected block needs the end of the valid block
  // before it; erased and empty blocks in between are walked over.
  BlockBytes block;
  for (std::uint64_t k = first; k-- > 0;) {
    read_single_block(range.file, k, block);
    if (const auto timing = validate_packet_header(block.data())) {
      range.previous_end = packet_time_span(*timing).end;
      break;
    }
  }
  range.rewind();
  return range;
}

BlockSelection resolve_cut(const std::string& path, const std::optional<CutSpec>& cut) {
  BlockSelection selection;
  if (!cut) return selection;
  validate_cut(*cut);
  if (cut->kind == CutSpec::Kind::blocks) {
    const std::uint64_t start = cut->start_block.value_or(0);
    selection.has_first = true;
    selection.first = start;
    if (cut->end_block) {
      selection.has_count = true;
      selection.count = *cut->end_block - start;
    }
    return selection;
  }

  InputFile file(path);
  const std::uint64_t n = open_checked(file);
  if (n == 0) throw ReaderError::message("Start block is beyond file size");
  std::vector<Entry> entries;
  std::optional<double> previous_end;
  BlockReader reader;
  reader.reset(file, kHead, n * kBlock);
  for (std::uint64_t k = 0; k < n; ++k) {
    const unsigned char* block = reader.next(file);
    if (!block) unexpected_end();
    const auto timing = validate_packet_header(block);
    if (!timing) continue;
    const TimeSpan span = packet_time_span(*timing);
    entries.push_back({k, continuity_start(span.start, previous_end), span.end});
    previous_end = span.end;
  }
  if (entries.empty()) throw ReaderError::message("No valid sample data found");

  const double data_start = entries.front().start;
  TimeWindow& w = selection.window;
  if (cut->start_seconds) w.range_start_time = data_start + *cut->start_seconds;
  if (cut->end_seconds) w.range_end_time = data_start + *cut->end_seconds;

  const std::size_t final_index = entries.size() - 1;
  std::size_t first = 0;
  std::size_t last = final_index;
  if (w.range_start_time) {
    const double ws = *w.range_start_time;
    std::optional<std::size_t> taken_first;
    std::optional<std::size_t> taken_last;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].end <= ws) continue;
      if (w.range_end_time && entries[i].start >= *w.range_end_time) break;
      if (!taken_first) taken_first = i;
      taken_last = i;
    }
    if (!taken_first) throw ReaderError::message("No samples remain after applying seconds cut");
    first = *taken_first;
    last = *taken_last;
  } else if (w.range_end_time) {
    const double we = *w.range_end_time;
    if (entries[0].start >= we) {
      throw ReaderError::message("No samples remain after applying seconds cut");
    }
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].start >= we) {
        last = i - 1;
        break;
      }
    }
  }
  // One valid block more on each side, so that samples near the edges keep their neighbours.
  first = first > 0 ? first - 1 : 0;
  last = last < final_index ? last + 1 : final_index;
  selection.has_first = true;
  selection.first = entries[first].block;
  selection.has_count = true;
  selection.count = entries[last].block - selection.first + 1;
  return selection;
}

}  // namespace morvane
