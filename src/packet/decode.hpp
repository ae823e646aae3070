// Sample decoding to physical units, and the block's auxiliary readings.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "packet/packet.hpp"

namespace morvane {

inline constexpr std::size_t kMaxSamplesPerBlock = 120;

// All decoded samples of one block, channel by channel: the scratch of the readers that go
// sample by sample (the resampler and the streaming CSV writer), reused from block to block.
// Gyroscope and magnetometer values are present or absent for the whole block; an absent value
// is not the same as a recorded zero.
struct DecodedBlock {
  std::size_t count = 0;
  bool has_gyro = false;
  bool has_mag = false;
  float acc[3][kMaxSamplesPerBlock];
  float gyro[3][kMaxSamplesPerBlock];
  float mag[3][kMaxSamplesPerBlock];
};

// Where decoded values go: one pointer per channel, each with room for sample_count values.
// Gyroscope and magnetometer pointers are used only for blocks that carry those channels.
struct SampleTargets {
  float* acc[3] = {nullptr, nullptr, nullptr};
  float* gyro[3] = {nullptr, nullptr, nullptr};
  float* mag[3] = {nullptr, nullptr, nullptr};
};

// Which optional channels a block of this format yields.
struct BlockChannels {
  bool gyro = false;
  bool mag = false;
};
inline BlockChannels block_channels(std::uint8_t format, bool include_magnetometer) noexcept {
  const unsigned axes = format >> 4;
  return {axes == 6 || axes == 9, axes == 9 && include_magnetometer};
}

// The packed 3-axis layout (format 0x30): one little-endian 32-bit word per sample, three
// 10-bit two's-complement counts (x in the lowest bits) under a shared 2-bit exponent in the
// top two bits. The value of `axis` (0 to 2) in one such word, the float decode_samples gives.
// value << e, divided by 2^accel_shift, is the 10-bit value times 2^(e - accel_shift): every
// step is an exact scaling of a small integer, so one multiplication by that power of two gives
// the same float. It is built from its exponent bits, which keeps a loop free of per-lane
// shifts.
inline float packed_value(std::uint32_t sample, unsigned axis, unsigned accel_shift) noexcept {
  const std::uint32_t exponent = 127 - accel_shift + (sample >> 30);
  const float scale = std::bit_cast<float>(exponent << 23);
  // Moving the 10-bit field to the top and shifting back sign-extends it (arithmetic right
  // shift is defined in C++20).
  const std::int32_t count = static_cast<std::int32_t>(sample << (22 - 10 * axis)) >> 22;
  return static_cast<float>(count) * scale;
}

// The format byte of that layout.
inline constexpr std::uint8_t kPacked3Format = 0x30;

// A packed 3-axis block's samples as stored. `words` points into the caller's block.
struct PackedSamples {
  const unsigned char* words = nullptr;  // count little-endian 32-bit words
  std::size_t count = 0;
  unsigned accel_shift = 8;  // the block's accelerometer scale: values are counts / 2^shift
};

// The samples of a format-0x30 packet after the same capacity check decode_samples makes,
// which throws the same ReaderError; for a writer that works from the stored words.
PackedSamples packed_samples(const DataPacket& packet);

// Decodes the packet's sample_count samples, channel by channel, into `targets`. The
// magnetometer of a 9-axis block is decoded only when `include_magnetometer` is set. Throws
// ReaderError for an unsupported format. Returns the number of samples.
std::size_t decode_samples(const DataPacket& packet, bool include_magnetometer,
                           const SampleTargets& targets);
// The same into a block-sized scratch record.
void decode_samples(const DataPacket& packet, bool include_magnetometer, DecodedBlock& out);

// One temperature, light and battery value per block, in single precision.
struct AuxReadings {
  float temperature = 0;
  float light = 0;
  float battery = 0;
};
AuxReadings aux_readings(const DataPacket& packet) noexcept;

}  // namespace morvane
