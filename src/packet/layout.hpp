// Where every field of the two block kinds lives. All multi-byte integers are little-endian.
#pragma once

#include <cstddef>

namespace morvane::layout {

inline constexpr std::size_t kMetadataSize = 1024;
inline constexpr std::size_t kBlockSize = 512;

// Metadata block, offsets from the start of the file.
namespace md {
inline constexpr std::size_t header = 0;             // "MD"
inline constexpr std::size_t packet_length = 2;      // u16
inline constexpr std::size_t hardware_type = 4;      // u8, 0x64 is an AX6
inline constexpr std::size_t device_id_lower = 5;    // u16
inline constexpr std::size_t session_id = 7;         // u32
inline constexpr std::size_t device_id_upper = 11;   // u16, 0xFFFF counts as 0
inline constexpr std::size_t logging_start = 13;     // packed date-time
inline constexpr std::size_t logging_end = 17;       // packed date-time
inline constexpr std::size_t flash_led = 26;         // u8
inline constexpr std::size_t sensor_config = 35;     // u8
inline constexpr std::size_t rate_code = 36;         // u8
inline constexpr std::size_t last_change = 37;       // packed date-time
inline constexpr std::size_t firmware_revision = 41; // u8
inline constexpr std::size_t annotation = 64;        // 448 bytes of padded text
inline constexpr std::size_t annotation_size = 448;
}  // namespace md

// Data block, offsets from the start of the block.
namespace data {
inline constexpr std::size_t header = 0;             // "AX"
inline constexpr std::size_t packet_length = 2;      // u16
inline constexpr std::size_t device_fractional = 4;  // u16
inline constexpr std::size_t session_id = 6;         // u32
inline constexpr std::size_t sequence_id = 10;       // u32
inline constexpr std::size_t timestamp = 14;         // packed date-time
inline constexpr std::size_t light = 18;             // u16: light, gyro range, accel scale
inline constexpr std::size_t temperature = 20;       // u16, low 10 bits used
inline constexpr std::size_t events = 22;            // u8
inline constexpr std::size_t battery = 23;           // u8
inline constexpr std::size_t rate_code = 24;         // u8, 0 marks the old format
inline constexpr std::size_t format = 25;            // u8: axes << 4 | packing
inline constexpr std::size_t timestamp_offset = 26;  // i16
inline constexpr std::size_t sample_count = 28;      // u16
inline constexpr std::size_t samples = 30;           // 480 bytes
inline constexpr std::size_t samples_size = 480;
inline constexpr std::size_t checksum = 510;         // u16
}  // namespace data

}  // namespace morvane::layout
