// Sample decoding to physical units, and the block's auxiliary readings.
#pragma once

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
