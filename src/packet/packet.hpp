// One 512-byte data block: the cheap header check that every reader runs first, and the full
// parse that the sample decoders work on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "packet/layout.hpp"

namespace morvane {

using BlockBytes = std::array<unsigned char, layout::kBlockSize>;

// The timing values of a block that passed validation; a small value copied freely.
struct PacketTiming {
  std::size_t sample_count = 0;     // always >= 1
  std::uint32_t timestamp = 0;      // packed date-time, known to be valid
  std::int16_t timestamp_offset = 0;
  std::uint8_t rate_code = 0;       // never 0
};

// The full parse of one block. It borrows the block's sample area, which must outlive it: a
// packet is decoded while its block is still in the reader's buffer.
struct DataPacket {
  char header[2] = {'A', 'X'};
  std::uint16_t packet_length = 0;
  std::uint16_t device_fractional = 0;
  std::uint32_t session_id = 0;
  std::uint32_t sequence_id = 0;
  std::uint32_t timestamp = 0;
  std::uint16_t light = 0;
  std::uint16_t temperature = 0;
  std::uint8_t events = 0;
  std::uint8_t battery = 0;
  std::uint8_t rate_code = 0;
  std::uint8_t format = 0;  // axes << 4 | packing
  std::int16_t timestamp_offset = 0;
  std::uint16_t sample_count = 0;
  const unsigned char* sample_data = nullptr;  // layout::data::samples_size bytes
  std::uint16_t checksum = 0;
};

// Bytes per sample of a supported axes/packing pair, or 0 for an unsupported one.
constexpr std::size_t bytes_per_sample(unsigned axes, unsigned packing) noexcept {
  if (axes == 3 && packing == 0) return 4;
  if (packing != 2) return 0;
  if (axes == 3) return 6;
  if (axes == 6) return 12;
  if (axes == 9) return 18;
  return 0;
}

// Why a data block cannot be used. The texts are the messages a strict read fails with.
enum class BadReason : std::uint8_t {
  none,
  old_format,          // "Old CWA format packets are not supported"
  unsupported_format,  // "Unsupported sample format: {axes} axes, packing {packing}"
  capacity,            // "Sample count exceeds packet capacity"
  timestamp,           // "Invalid block timestamp"
  checksum,            // "Checksum mismatch" (only when checksums are verified)
};

// data: usable samples; erased: not "AX" (erased flash, zeros, anything else); empty: "AX"
// without samples; bad: "AX" with samples that a read must not use.
enum class BlockKind : std::uint8_t { data, erased, empty, bad };

struct BlockClass {
  BlockKind kind = BlockKind::erased;
  BadReason reason = BadReason::none;
  PacketTiming timing;  // set for data blocks only
};

// The header checks in the order a strict read makes them, then, when asked, the checksum.
BlockClass classify_block(const unsigned char* block, bool verify_checksum) noexcept;

// True when the block's 256 little-endian 16-bit words sum to 0 modulo 65536, as recorders write
// them.
bool checksum_ok(const unsigned char* block) noexcept;

std::string bad_reason_text(BadReason reason, std::uint8_t format);
// Throws the ReaderError of a bad block, carrying its number when one is given.
[[noreturn]] void throw_bad_block(BadReason reason, std::uint8_t format,
                                  std::optional<std::uint64_t> block);

// Absent: the block is skipped silently (not "AX", or no samples). Throws ReaderError for a
// block that must end the read.
std::optional<PacketTiming> validate_packet_header(const unsigned char* block);

// Throws ReaderError when the first two bytes are not the text "AX".
DataPacket parse_data_packet(const unsigned char* block);

// The "Unsupported sample format: ..." error of a format byte.
[[noreturn]] void throw_unsupported_format(std::uint8_t format);

// True when bytes[0..n) is well-formed UTF-8.
bool is_valid_utf8(const unsigned char* bytes, std::size_t n) noexcept;

}  // namespace morvane
