#include "packet/decode.hpp"

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

void decode_packed3(const unsigned char* src, std::size_t n, float divisor, DecodedBlock& out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t v = load_u32(src + 4 * i);
    const std::int32_t scale = std::int32_t{1} << (v >> 30);
    // Moving the 10-bit field to the top and shifting back sign-extends it (arithmetic right
    // shift is defined in C++20); the exponent then scales it by multiplication.
    const std::int32_t x = static_cast<std::int32_t>(v << 22) >> 22;
    const std::int32_t y = static_cast<std::int32_t>(v << 12) >> 22;
    const std::int32_t z = static_cast<std::int32_t>(v << 2) >> 22;
    out.acc[0][i] = static_cast<float>(x * scale) / divisor;
    out.acc[1][i] = static_cast<float>(y * scale) / divisor;
    out.acc[2][i] = static_cast<float>(z * scale) / divisor;
  }
}

}  // namespace

void decode_samples(const DataPacket& packet, bool include_magnetometer, DecodedBlock& out) {
  const unsigned axes = packet.format >> 4;
  const unsigned packing = packet.format & 0x0F;
  const std::size_t bps = bytes_per_sample(axes, packing);
  if (bps == 0) throw_unsupported_format(packet.format);
  const std::size_t n = packet.sample_count;
  const unsigned accel_shift = 8 + ((packet.light >> 13) & 0x07);
  const float divisor = static_cast<float>(std::uint32_t{1} << accel_shift);
  const unsigned char* src = packet.sample_data.data();
  out.count = 0;
  out.has_gyro = false;
  out.has_mag = false;

  if (axes == 3 && packing == 0) {
    check_capacity(n, bps, "Insufficient data for packed 3-axis samples");
    decode_packed3(src, n, divisor, out);
  } else if (axes == 3) {
    check_capacity(n, bps, "Insufficient data for unpacked 3-axis samples");
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char* s = src + 6 * i;
      for (int a = 0; a < 3; ++a) out.acc[a][i] = static_cast<float>(load_i16(s + 2 * a)) / divisor;
    }
  } else if (axes == 6) {
    check_capacity(n, bps, "Insufficient data for unpacked 6-axis samples");
    const unsigned r = (packet.light >> 10) & 0x07;
    const float g = r == 0 ? 16.384f : 32768.0f / static_cast<float>(gyro_range_dps(packet.light));
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char* s = src + 12 * i;
      for (int a = 0; a < 3; ++a) out.gyro[a][i] = static_cast<float>(load_i16(s + 2 * a)) / g;
      for (int a = 0; a < 3; ++a) {
        out.acc[a][i] = static_cast<float>(load_i16(s + 6 + 2 * a)) / divisor;
      }
    }
    out.has_gyro = true;
  } else {
    check_capacity(n, bps, "Insufficient data for unpacked 9-axis samples");
    const unsigned r = (packet.light >> 10) & 0x07;
    const float f = r == 0 ? 0.06103515625f
                           : static_cast<float>(gyro_range_dps(packet.light)) * inverse_power_of_two(15);
    const float acc_factor = inverse_power_of_two(accel_shift);
    const float mag_factor = inverse_power_of_two(15);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char* s = src + 18 * i;
      for (int a = 0; a < 3; ++a) out.gyro[a][i] = static_cast<float>(load_i16(s + 2 * a)) * f;
      for (int a = 0; a < 3; ++a) {
        out.acc[a][i] = static_cast<float>(load_i16(s + 6 + 2 * a)) * acc_factor;
      }
      if (include_magnetometer) {
        for (int a = 0; a < 3; ++a) {
          out.mag[a][i] = static_cast<float>(load_i16(s + 12 + 2 * a)) * mag_factor;
        }
      }
    }
    out.has_gyro = true;
    out.has_mag = include_magnetometer;
  }
  out.count = n;
}

AuxReadings aux_readings(const DataPacket& packet) noexcept {
  AuxReadings aux;
  aux.temperature = static_cast<float>(packet.temperature & 0x3FF) * 75.0f * 0.00390625f + -50.0f;
  aux.light = ::powf(10.0f, static_cast<float>(packet.light & 0x3FF) / 341.0f);
  aux.battery = (static_cast<float>(packet.battery) + 512.0f) * 6.0f * 0.0009765625f;
  return aux;
}

}  // namespace morvane
