// How a read treats damaged input, and what it reports about it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packet/layout.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"

namespace morvane {

// The reader's own rule is the default: plain files only, every bad block ends the read, no
// checksum is looked at.
struct ReadPolicy {
  // gzip input is inflated as it is read, and a partial block at the end is reported and left
  // out instead of failing the read.
  bool tolerant_input = false;
  // A bad block counts exactly as an erased one, and damage in compressed input ends the read
  // quietly with the blocks before it.
  bool skip_bad = false;
  bool verify_checksums = false;
  // Which inflater reads gzip input; the results are the same with either (source.hpp).
  Inflater inflater = Inflater::automatic;
};

struct SkippedBlock {
  std::uint64_t block = 0;
  BadReason reason = BadReason::none;
  std::uint8_t format = 0;  // for the text of an unsupported format
};

// What a read met on its way. Owned by the caller; a read only adds to it.
struct ReadReport {
  std::vector<SkippedBlock> skipped;  // bad blocks of the selection, in file order
  std::uint64_t trailing_bytes = 0;   // of a partial block at the end, left out
  bool compressed = false;
  std::optional<std::string> truncated;  // why compressed input ended early
  std::string inflater;  // "isa-l" or "zlib" for compressed input, empty for plain input
};

// What one read borrows for its duration.
struct ReadContext {
  ReadPolicy policy;
  ReadReport* report = nullptr;
  // Threads the read may use. With 2 or more, compressed input is inflated on one more thread
  // while the caller decodes (the results do not change); 1 starts no thread.
  unsigned threads = 1;
};

// Applies the policy to the blocks of one pass and counts what it saw. Borrows the list it
// records skipped blocks in, when given one.
class BlockScreen {
 public:
  explicit BlockScreen(const ReadPolicy& policy, std::vector<SkippedBlock>* record = nullptr)
      : policy_(policy), record_(record) {}

  // The timing of block k when it is to be read; absent for a block to pass over. A bad block
  // ends the read under the strict policy.
  std::optional<PacketTiming> operator()(const unsigned char* block, std::uint64_t k) {
    return accept(classify_block(block, policy_.verify_checksums), block, k);
  }

  // The same for a block already classified under this policy's checksum rule.
  std::optional<PacketTiming> accept(const BlockClass& c, const unsigned char* block,
                                     std::uint64_t k) {
    if (c.kind == BlockKind::data) {
      ++data_blocks_;
      return c.timing;
    }
    if (c.kind != BlockKind::bad) return std::nullopt;
    ++data_blocks_;
    const std::uint8_t format = block[layout::data::format];
    if (!policy_.skip_bad) throw_bad_block(c.reason, format, k);
    if (c.reason == BadReason::checksum) ++checksum_skips_;
    if (record_) record_->push_back({k, c.reason, format});
    return std::nullopt;
  }

  // `message` of a read that found no sample, with the reason when the policy or the input
  // explains it.
  std::string explain(std::string message, const ReadReport* report) const;

 private:
  ReadPolicy policy_;
  std::vector<SkippedBlock>* record_;
  std::uint64_t data_blocks_ = 0;    // "AX" blocks with samples, used or not
  std::uint64_t checksum_skips_ = 0;
};

}  // namespace morvane
