#include "packet/packet.hpp"

#include <string>

#include "packet/bytes.hpp"
#include "packet/datetime.hpp"
#include "packet/error.hpp"
#include "packet/utf8.hpp"

namespace morvane {

namespace d = layout::data;

void throw_unsupported_format(std::uint8_t format) {
  throw ReaderError::message("Unsupported sample format: " + std::to_string(format >> 4) +
                             " axes, packing " + std::to_string(format & 0x0F));
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

std::optional<PacketTiming> validate_packet_header(const unsigned char* block) {
  if (block[d::header] != 'A' || block[d::header + 1] != 'X') return std::nullopt;
  const std::uint16_t count = load_u16(block + d::sample_count);
  if (count == 0) return std::nullopt;
  const std::uint8_t rate_code = block[d::rate_code];
  if (rate_code == 0) throw ReaderError::message("Old CWA format packets are not supported");
  const std::uint8_t format = block[d::format];
  const std::size_t bps = bytes_per_sample(format >> 4, format & 0x0F);
  if (bps == 0) throw_unsupported_format(format);
  if (std::size_t{count} * bps > d::samples_size) {
    throw ReaderError::message("Sample count exceeds packet capacity");
  }
  const std::uint32_t timestamp = load_u32(block + d::timestamp);
  if (!decode_packed_datetime(timestamp)) throw ReaderError::message("Invalid block timestamp");
  PacketTiming timing;
  timing.sample_count = count;
  timing.timestamp = timestamp;
  timing.timestamp_offset = load_i16(block + d::timestamp_offset);
  timing.rate_code = rate_code;
  return timing;
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
