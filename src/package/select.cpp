#include <cmath>
#include <cstring>
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
constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void unexpected_end() { throw ReaderError::message("Unexpected end of CWA data"); }
[[noreturn]] void beyond_file() { throw ReaderError::message("Start block is beyond file size"); }

// Opens the input and runs the checks every reader makes first. Returns the data block count of
// a plain file; compressed input (tolerant reads only) gets its inflating source, is left just
// after its metadata block and has no count.
std::optional<std::uint64_t> open_checked(BlockRange& range) {
  InputFile& file = *range.file;
  const ReadPolicy& policy = range.context.policy;
  ReadReport* report = range.context.report;
  unsigned char magic[2];
  file.read_exact(magic, 2);
  if (policy.tolerant_input && is_gzip_magic(magic, 2)) {
    range.source = make_gzip_source(file, policy.inflater);
    if (range.context.threads > 1) {
      range.source = make_read_ahead_source(std::move(range.source));
      range.read_ahead = true;
    }
    if (report) {
      report->compressed = true;
      report->inflater = range.source->inflater();
    }
    unsigned char head[kHead];
    std::size_t got = 0;
    while (got < kHead) {
      const std::size_t n = range.source->read_some(head + got, kHead - got);
      if (n == 0) break;
      got += n;
    }
    if (got < 2) throw ReaderError::short_read();
    if (head[0] != 'M' || head[1] != 'D') throw ReaderError::message("Not a valid CWA file");
    if (got < kHead) throw ReaderError::message("File too small to be a valid CWA file");
    range.head.emplace();
    std::memcpy(range.head->data(), head, kHead);
    if (const auto size = range.source->size_hint(); size && *size >= kHead) {
      range.blocks_hint = (*size - kHead) / kBlock;
      range.size_trusted =
          *size % kBlock == 0 && *size / BlockRange::kTrustedRatio <= file.size();
    } else {
      range.size_trusted = false;
    }
    return std::nullopt;
  }
  range.source = std::make_unique<FileSource>(file);
  if (magic[0] != 'M' || magic[1] != 'D') throw ReaderError::message("Not a valid CWA file");
  const std::uint64_t size = file.size();
  if (size < kHead) throw ReaderError::message("File too small to be a valid CWA file");
  if (size % kBlock != 0) {
    if (!policy.tolerant_input) throw ReaderError::message("Incomplete CWA data block");
    if (report) report->trailing_bytes = size % kBlock;
  }
  if (policy.tolerant_input) {
    range.head.emplace();
    std::memcpy(range.head->data(), magic, 2);
    file.read_exact(range.head->data() + 2, kHead - 2);
  }
  return (size - kHead) / kBlock;
}

// One block read on its own, for the short backward walk before the selection.
void read_single_block(InputFile& file, std::uint64_t k, BlockBytes& block) {
  file.seek(kHead + kBlock * k);
  block.fill(0);
  if (file.read_some(block.data(), 1) == 0) unexpected_end();
  file.read_exact(block.data() + 1, kBlock - 1);
}

// The previous end of block `first` of a plain file: walks back to the nearest valid block.
std::optional<double> walk_back(InputFile& file, std::uint64_t first, const ReadPolicy& policy) {
  BlockBytes block;
  for (std::uint64_t k = first; k-- > 0;) {
    read_single_block(file, k, block);
    const BlockClass c = classify_block(block.data(), policy.verify_checksums);
    if (c.kind == BlockKind::data) return packet_time_span(c.timing).end;
    if (c.kind == BlockKind::bad && !policy.skip_bad) {
      throw_bad_block(c.reason, block[layout::data::format], k);
    }
  }
  return std::nullopt;
}

// The same for compressed input, which cannot go back: the blocks before `first` are read in
// order, keeping what the walk back would have found first.
std::optional<double> walk_forward(BlockRange& range, std::uint64_t first) {
  const ReadPolicy& policy = range.context.policy;
  std::optional<double> previous_end;
  std::optional<SkippedBlock> bad;  // a bad block after the last valid one
  for (std::uint64_t k = 0; k < first; ++k) {
    const unsigned char* block = range.reader.next(*range.source);
    if (!block) beyond_file();
    const BlockClass c = classify_block(block, policy.verify_checksums);
    if (c.kind == BlockKind::data) {
      previous_end = packet_time_span(c.timing).end;
      bad.reset();
    } else if (c.kind == BlockKind::bad && !policy.skip_bad) {
      bad = SkippedBlock{k, c.reason, block[layout::data::format]};
    }
  }
  if (bad) throw_bad_block(bad->reason, bad->format, bad->block);
  return previous_end;
}

struct Entry {
  std::uint64_t block;
  double start;  // after the continuity correction
  double end;
};

}  // namespace

std::string BlockScreen::explain(std::string message, const ReadReport* report) const {
  if (checksum_skips_ > 0 && checksum_skips_ == data_blocks_) {
    message += ": every data block (" + std::to_string(data_blocks_) +
               ") failed its checksum; a recording from a tool that writes no checksum reads "
               "with verify_checksums=False";
  } else if (report && report->truncated) {
    message += " before the compressed data ended (" + *report->truncated + ")";
  }
  return message;
}

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

BlockRange::BlockRange(const std::string& path, const ReadContext& ctx)
    : file(std::make_unique<InputFile>(path)), context(ctx) {}

const unsigned char* BlockRange::next_block() {
  if (next_index >= end) return nullptr;
  const unsigned char* block;
  try {
    block = reader.next(*source);
  } catch (const ReaderError& e) {
    if (e.kind() != ReaderError::Kind::damaged || !context.policy.skip_bad) throw;
    if (context.report) context.report->truncated = e.text();
    end = next_index;
    return nullptr;
  }
  if (!block) {
    if (end_known) unexpected_end();
    if (context.report) context.report->trailing_bytes = reader.partial_bytes();
    end = next_index;
    return nullptr;
  }
  ++next_index;
  return block;
}

std::uint64_t BlockRange::blocks_left(std::uint64_t k) const noexcept {
  if (end_known) return end - k;
  if (!blocks_hint || *blocks_hint <= k) return 0;
  const std::uint64_t left = *blocks_hint - k;
  return end - k < left ? end - k : left;
}

void BlockRange::rewind() {
  reader.reset(*source, kHead + kBlock * first, end_known ? (end - first) * kBlock : kUnbounded);
  next_index = first;
}

namespace {

BlockRange open_range(const std::string& path, const BlockSelection& selection,
                      const ReadContext& ctx, bool allow_empty) {
  BlockRange range(path, ctx);
  const std::optional<std::uint64_t> n = open_checked(range);
  const std::uint64_t first = selection.has_first ? selection.first : 0;
  const std::uint64_t limit = n ? *n : kUnbounded;
  if (n && *n <= first && !(allow_empty && first == 0)) beyond_file();
  const std::uint64_t count = selection.has_count ? selection.count : limit - first;
  const std::uint64_t last = count > kUnbounded - first ? kUnbounded : first + count;
  range.first = first;
  range.end = last < limit ? last : limit;
  range.next_index = first;
  if (n) {
    // The continuity correction of the first selected block needs the end of the valid block
    // before it; erased and empty blocks in between are walked over.
    range.previous_end = walk_back(*range.file, first, ctx.policy);
    range.rewind();
    return range;
  }
  range.end_known = false;
  range.reader.allow_partial_end(true);
  range.reader.reset(*range.source, kHead, kUnbounded);
  try {
    range.previous_end = walk_forward(range, first);
    if (!range.reader.has_next(*range.source)) {
      if (ctx.report) ctx.report->trailing_bytes = range.reader.partial_bytes();
      if (!(allow_empty && first == 0)) beyond_file();
      range.end = first;
    }
  } catch (const ReaderError& e) {
    if (e.kind() != ReaderError::Kind::damaged || !ctx.policy.skip_bad) throw;
    if (ctx.report) ctx.report->truncated = e.text();
    range.end = first;  // nothing left to read
  }
  return range;
}

}  // namespace

BlockRange open_block_range(const std::string& path, const BlockSelection& selection,
                            const ReadContext& ctx) {
  return open_range(path, selection, ctx, false);
}

BlockRange open_block_range_any(const std::string& path, const ReadContext& ctx) {
  return open_range(path, BlockSelection{}, ctx, true);
}

BlockSelection resolve_cut(const std::string& path, const std::optional<CutSpec>& cut,
                           const ReadContext& ctx) {
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

  // A scan of every block header; it reports into the read's report but records no skipped
  // block, which the read itself does.
  BlockRange range = open_block_range(path, BlockSelection{}, ctx);
  BlockScreen screen(ctx.policy);
  std::vector<Entry> entries;
  std::optional<double> previous_end;
  while (const unsigned char* block = range.next_block()) {
    const auto timing = screen(block, range.index());
    if (!timing) continue;
    const TimeSpan span = packet_time_span(*timing);
    entries.push_back({range.index(), continuity_start(span.start, previous_end), span.end});
    previous_end = span.end;
  }
  if (entries.empty()) {
    throw ReaderError::message(screen.explain("No valid sample data found", ctx.report));
  }

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
