// The 1024-byte metadata block at the start of every recording.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "packet/datetime.hpp"

namespace morvane {

// Parsed values of the metadata block. It owns its texts and keeps no reference to the file.
struct MetadataBlock {
  std::string packet_header;
  std::uint16_t packet_length = 0;
  std::string hardware_type;
  std::uint32_t device_id = 0;
  std::uint32_t session_id = 0;
  std::uint16_t upper_device_id = 0;
  std::optional<NaiveDateTime> logging_start_time;
  std::optional<NaiveDateTime> logging_end_time;
  std::optional<NaiveDateTime> last_change_time;
  std::uint8_t flash_led = 0;
  std::uint8_t sensor_config = 0;
  double sample_rate_hz = 0;
  std::uint8_t accel_range = 0;
  std::uint8_t firmware_revision = 0;
  std::string annotation;  // UTF-8
  std::optional<std::uint16_t> gyro_range;
  bool magnetometer_enabled = false;
};

// Parses a metadata block from its first 1024 bytes. Throws ReaderError.
MetadataBlock parse_metadata_block(const unsigned char* bytes);
// Opens `path`, reads its first 1024 bytes and parses them. Throws ReaderError.
MetadataBlock read_metadata_block(const std::string& path);

// The annotation text: trailing 0x00/0x20/0xFF padding dropped, ill-formed UTF-8 replaced by
// U+FFFD per maximal subpart.
std::string decode_annotation(const unsigned char* bytes, std::size_t n);

}  // namespace morvane
