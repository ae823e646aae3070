#include "packet/packet.hpp"

#include <string>

#include "packet/bytes.hpp"
#include "packet/datetime.hpp"
#include "packet/error.hpp"
#include "packet/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvane {

namespace d = layout::data;

void throw_unsupported_format(std::uint8_t format) {
  throw ReaderError::message(bad_reason_text(BadReason::unsupported_format, format));
}

bool is_valid_utf8(const unsigned char* bytes, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    const std::size_t len = utf8_sequence_length(bytes + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

BlockClass classify_block(const unsigned char* block, bool verify_checksum) noexcept {
  BlockClass c;
  if (block[d::header] != 'A' || block[d::header + 1] != 'X') return c;
  const std::uint16_t count = load_u16(block + d::sample_count);
  if (count == 0) {
    c.kind = BlockKind::empty;
    return c;
  }
  c.kind = BlockKind::bad;
  const std::uint8_t rate_code = block[d::rate_code];
  const std::uint8_t format = block[d::format];
  const std::size_t bps = bytes_per_sample(format >> 4, format & 0x0F);
  const std::uint32_t timestamp = load_u32(block + d::timestamp);
  if (rate_code == 0) {
    c.reason = BadReason::old_format;
  } else if (bps == 0) {
    c.reason = BadReason::unsupported_format;
  } else if (std::size_t{count} * bps > d::samples_size) {
    c.reason = BadReason::capacity;
  } else if (!decode_packed_datetime(timestamp)) {
    c.reason = BadReason::timestamp;
  } else if (verify_checksum && !checksum_ok(block)) {
    c.reason = BadReason::checksum;
  } else {
    c.kind = BlockKind::data;
    c.timing.sample_count = count;
    c.timing.timestamp = timestamp;
    c.timing.timestamp_offset = load_i16(block + d::timestamp_offset);
    c.timing.rate_code = rate_code;
  }
  return c;
}

bool checksum_ok(const unsigned char* block) noexcept {
#if defined(__SSE2__)
  // Eight 16-bit lanes wrap modulo 65536 on their own, and so does their final sum.
  __m128i sum = _mm_setzero_si128();
  for (std::size_t i = 0; i < layout::kBlockSize; i += 16) {
    sum = _mm_add_epi16(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i)));
  }
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 8));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 4));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 2));
  return (_mm_cvtsi128_si32(sum) & 0xFFFF) == 0;
#else
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < layout::kBlockSize; i += 2) sum += load_u16(block + i);
  return (sum & 0xFFFF) == 0;
#endif
}

std::string bad_reason_text(BadReason reason, std::uint8_t format) {
  switch (reason) {
    case BadReason::old_format: return "Old CWA format packets are not supported";
    case BadReason::unsupported_format:
      return "Unsupported sample format: " + std::to_string(format >> 4) + " axes, packing " +
             std::to_string(format & 0x0F);
    case BadReason::capacity: return "Sample count exceeds packet capacity";
    case BadReason::timestamp: return "Invalid block timestamp";
    case BadReason::checksum: return "Checksum mismatch";
    case BadReason::none: break;
  }
  return "";
}

void throw_bad_block(BadReason reason, std::uint8_t format, std::optional<std::uint64_t> block) {
  if (block) throw ReaderError::bad_block(bad_reason_text(reason, format), *block);
  throw ReaderError::message(bad_reason_text(reason, format));
}

std::optional<PacketTiming> validate_packet_header(const unsigned char* block) {
  const BlockClass c = classify_block(block, false);
  if (c.kind == BlockKind::data) return c.timing;
  if (c.kind == BlockKind::bad) throw_bad_block(c.reason, block[d::format], std::nullopt);
  return std::nullopt;
}

DataPacket parse_data_packet(const unsigned char* block) {
  if (!is_valid_utf8(block, 2)) throw ReaderError::message("Invalid packet header format");
  if (block[0] != 'A' || block[1] != 'X') throw ReaderError::message("Invalid data block header");
  DataPacket p;
  p.packet_length = load_u16(block + d::packet_length);
  p.device_fractional = load_u16(block + d::device_fractional);
  p.session_id = load_u32(block + d::session_id);
  p.sequence_id = load_u32(block + d::sequence_id);
  p.timestamp = load_u32(block + d::timestamp);
  p.light = load_u16(block + d::light);
  p.temperature = load_u16(block + d::temperature);
  p.events = block[d::events];
  p.battery = block[d::battery];
  p.rate_code = block[d::rate_code];
  p.format = block[d::format];
  p.timestamp_offset = load_i16(block + d::timestamp_offset);
  p.sample_count = load_u16(block + d::sample_count);
  p.sample_data = block + d::samples;
  p.checksum = load_u16(block + d::checksum);
  return p;
}

}  // namespace morvane
