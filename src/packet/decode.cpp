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
    // value << e, divided by 2^(8+s), is the 10-bit value times 2^(e-8-s): every step is an exact
    // scaling of a small integer, so one multiplication by that power of two gives the same
    // float. It is built from its exponent bits, which keeps the loop free of per-lane shifts.
    const std::uint32_t exponent = 127 - accel_shift + (v >> 30);
    const float scale = std::bit_cast<float>(exponent << 23);
    // Moving a 10-bit field to the top and shifting back sign-extends it (arithmetic right
    // shift is defined in C++20).
    const std::int32_t x = static_cast<std::int32_t>(v << 22) >> 22;
    const std::int32_t y = static_cast<std::int32_t>(v << 12) >> 22;
    const std::int32_t z = static_cast<std::int32_t>(v << 2) >> 22;
    ax[i] = static_cast<float>(x) * scale;
    ay[i] = static_cast<float>(y) * scale;
    az[i] = static_cast<float>(z) * scale;
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

std::size_t decode_samples(const DataPacket& packet, bool include_magnetometer,
                           const SampleTargets& targets) {
  const unsigned axes = packet.format >> 4;
  const unsigned packing = packet.format & 0x0F;
  const std::size_t bps = bytes_per_sample(axes, packing);
  if (bps == 0) throw_unsupported_format(packet.format);
  const std::size_t n = packet.sample_count;
  // Dividing by 2^(8+s) and multiplying by 2^-(8+s) give the same float: both are exact
  // scalings of values far from overflow and underflow.
  const unsigned accel_shift = 8 + ((packet.light >> 13) & 0x07);
  const float acc_factor = inverse_power_of_two(accel_shift);
  const unsigned char* src = packet.sample_data;

  if (axes == 3 && packing == 0) {
    check_capacity(n, bps, "Insufficient data for packed 3-axis samples");
    decode_packed3(src, n, accel_shift, targets);
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
