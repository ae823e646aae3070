#include "packet/decode.hpp"

#include <bit>
#include <cmath>

#include "packet/bytes.hpp"
#include "packet/error.hpp"

namespace morvane {

namespace {

// 2^-k in single precision, for k in 0..30, built without pow().
float inverse_power_of_two(unsigned k) noexcept {
  return 1.0f / static_cast<float>(std::uint32_t{1} << k);
}

unsigned gyro_range_dps(std::uint16_t light) noexcept {
  const unsigned r = (light >> 10) & 0x07;
  return r == 0 ? 2000u : 8000u >> r;
}

// The accelerometer's scale code in the light word: values are counts / 2^shift. Dividing by
// 2^(8+s) and multiplying by 2^-(8+s) give the same float: both are exact scalings of values far
// from overflow and underflow.
unsigned accel_shift_of(const DataPacket& packet) noexcept {
  return 8 + ((packet.light >> 13) & 0x07);
}

void check_capacity(std::size_t count, std::size_t bps, const char* message) {
  if (count * bps > layout::data::samples_size) throw ReaderError::message(message);
}

void decode_packed3(const unsigned char* __restrict src, std::size_t n, unsigned accel_shift,
                    const SampleTargets& t) {
  float* __restrict ax = t.acc[0];
  float* __restrict ay = t.acc[1];
  float* __restrict az = t.acc[2];
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t v = load_u32(src + 4 * i);
    ax[i] = packed_value(v, 0, accel_shift);
    ay[i] = packed_value(v, 1, accel_shift);
    az[i] = packed_value(v, 2, accel_shift);
  }
}

// Columns of int16 values at a fixed stride, scaled by a power-of-two factor.
void decode_i16(const unsigned char* src, std::size_t n, std::size_t stride, std::size_t offset,
                float factor, float* const (&dst)[3]) {
  for (int a = 0; a < 3; ++a) {
    float* out = dst[a];
    const unsigned char* p = src + offset + 2 * static_cast<std::size_t>(a);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(load_i16(p + stride * i)) * factor;
  }
}

}  // namespace

PackedSamples packed_samples(const DataPacket& packet) {
  if (packet.format != kPacked3Format) throw_unsupported_format(packet.format);
  check_capacity(packet.sample_count, bytes_per_sample(3, 0),
                 "Insufficient data for packed 3-axis samples");
  return {packet.sample_data, packet.sample_count, accel_shift_of(packet)};
}

std::size_t decode_samples(const DataPacket& packet, bool include_magnetometer,
                           const SampleTargets& targets) {
  const unsigned axes = packet.format >> 4;
  const unsigned packing = packet.format & 0x0F;
  const std::size_t bps = bytes_per_sample(axes, packing);
  if (bps == 0) throw_unsupported_format(packet.format);
  const std::size_t n = packet.sample_count;
  const unsigned accel_shift = accel_shift_of(packet);
  const float acc_factor = inverse_power_of_two(accel_shift);
  const unsigned char* src = packet.sample_data;

  if (axes == 3 && packing == 0) {
    const PackedSamples packed = packed_samples(packet);
    decode_packed3(packed.words, packed.count, packed.accel_shift, targets);
  } else if (axes == 3) {
    check_capacity(n, bps, "Insufficient data for unpacked 3-axis samples");
    decode_i16(src, n, 6, 0, acc_factor, targets.acc);
  } else if (axes == 6) {
    check_capacity(n, bps, "Insufficient data for unpacked 6-axis samples");
    const unsigned r = (packet.light >> 10) & 0x07;
    // The 6-axis gyroscope divides by 32768 / R; that is not a power of two, so it stays a
    // division to give the same last bit.
    const float g = r == 0 ? 16.384f : 32768.0f / static_cast<float>(gyro_range_dps(packet.light));
    for (int a = 0; a < 3; ++a) {
      float* out = targets.gyro[a];
      const unsigned char* p = src + 2 * static_cast<std::size_t>(a);
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(load_i16(p + 12 * i)) / g;
    }
    decode_i16(src, n, 12, 6, acc_factor, targets.acc);
  } else {
    check_capacity(n, bps, "Insufficient data for unpacked 9-axis samples");
    const unsigned r = (packet.light >> 10) & 0x07;
    const float f = r == 0 ? 0.06103515625f
                           : static_cast<float>(gyro_range_dps(packet.light)) * inverse_power_of_two(15);
    decode_i16(src, n, 18, 0, f, targets.gyro);
    decode_i16(src, n, 18, 6, acc_factor, targets.acc);
    if (include_magnetometer) decode_i16(src, n, 18, 12, inverse_power_of_two(15), targets.mag);
  }
  return n;
}

void decode_samples(const DataPacket& packet, bool include_magnetometer, DecodedBlock& out) {
  SampleTargets targets;
  for (int a = 0; a < 3; ++a) {
    targets.acc[a] = out.acc[a];
    targets.gyro[a] = out.gyro[a];
    targets.mag[a] = out.mag[a];
  }
  out.count = 0;
  out.count = decode_samples(packet, include_magnetometer, targets);
  const BlockChannels channels = block_channels(packet.format, include_magnetometer);
  out.has_gyro = channels.gyro;
  out.has_mag = channels.mag;
}

AuxReadings aux_readings(const DataPacket& packet) noexcept {
  AuxReadings aux;
  aux.temperature = static_cast<float>(packet.temperature & 0x3FF) * 75.0f * 0.00390625f + -50.0f;
  aux.light = ::powf(10.0f, static_cast<float>(packet.light & 0x3FF) / 341.0f);
  aux.battery = (static_cast<float>(packet.battery) + 512.0f) * 6.0f * 0.0009765625f;
  return aux;
}

}  // namespace morvane
