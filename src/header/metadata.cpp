#include "header/metadata.hpp"

#include "packet/bytes.hpp"
#include "packet/error.hpp"
#include "packet/file.hpp"
#include "packet/layout.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"
#include "packet/utf8.hpp"

namespace morvane {

namespace md = layout::md;

std::string decode_annotation(const unsigned char* bytes, std::size_t n) {
  std::size_t kept = n;
  while (kept > 0 && (bytes[kept - 1] == 0x00 || bytes[kept - 1] == 0x20 || bytes[kept - 1] == 0xFF)) {
    --kept;
  }
  std::string text;
  text.reserve(kept);
  std::size_t i = 0;
  while (i < kept) {
    std::size_t subpart;
    const std::size_t len = utf8_scan(bytes + i, kept - i, subpart);
    if (len == 0) {
      text += "\xEF\xBF\xBD";
      i += subpart;
    } else {
      text.append(reinterpret_cast<const char*>(bytes + i), len);
      i += len;
    }
  }
  return text;
}

MetadataBlock parse_metadata_block(const unsigned char* b) {
  if (!is_valid_utf8(b, 2)) throw ReaderError::message("Invalid packet header format");
  if (b[0] != 'M' || b[1] != 'D') throw ReaderError::message("First block is not a metadata block");
  MetadataBlock m;
  m.packet_header = "MD";
  m.packet_length = load_u16(b + md::packet_length);
  const bool ax6 = b[md::hardware_type] == 0x64;
  m.hardware_type = ax6 ? "AX6" : "AX3";
  const std::uint32_t lower = load_u16(b + md::device_id_lower);
  m.upper_device_id = load_u16(b + md::device_id_upper);
  m.device_id = m.upper_device_id == 0xFFFF ? lower : lower + (std::uint32_t{m.upper_device_id} << 16);
  m.session_id = load_u32(b + md::session_id);
  m.logging_start_time = decode_packed_datetime(load_u32(b + md::logging_start));
  m.logging_end_time = decode_packed_datetime(load_u32(b + md::logging_end));
  m.last_change_time = decode_packed_datetime(load_u32(b + md::last_change));
  m.flash_led = b[md::flash_led];
  m.sensor_config = b[md::sensor_config];
  const std::uint8_t rate_code = b[md::rate_code];
  m.sample_rate_hz = block_rate_hz(rate_code);
  m.accel_range = static_cast<std::uint8_t>(16u >> (rate_code >> 6));
  m.firmware_revision = b[md::firmware_revision];
  m.annotation = decode_annotation(b + md::annotation, md::annotation_size);
  const std::uint8_t config = m.sensor_config;
  if (ax6 && config != 0x00 && config != 0xFF) {
    m.magnetometer_enabled = config >= 0x10;
    switch (config & 0x0F) {
      case 2: m.gyro_range = 2000; break;
      case 3: m.gyro_range = 1000; break;
      case 4: m.gyro_range = 500; break;
      case 5: m.gyro_range = 250; break;
      case 6: m.gyro_range = 125; break;
      default: break;
    }
  }
  return m;
}

MetadataBlock read_metadata_block(const std::string& path) {
  InputFile file(path);
  unsigned char bytes[layout::kMetadataSize];
  file.read_exact(bytes, sizeof bytes);
  return parse_metadata_block(bytes);
}

}  // namespace morvane
