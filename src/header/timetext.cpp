#include "header/timetext.hpp"

#include <cstdio>

namespace morvane {

std::string format_device_time(const NaiveDateTime& dt) {
  char buf[64];
  const unsigned sod = dt.second_of_day;
  int len;
  if (dt.year >= 0 && dt.year <= 9999) {
    len = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u",
                        static_cast<long long>(dt.year), dt.month, dt.day, sod / 3600,
                        sod / 60 % 60, sod % 60);
  } else {
    len = std::snprintf(buf, sizeof buf, "%+05lld-%02u-%02uT%02u:%02u:%02u",
                        static_cast<long long>(dt.year), dt.month, dt.day, sod / 3600,
                        sod / 60 % 60, sod % 60);
  }
  std::string text(buf, static_cast<std::size_t>(len));
  const std::uint32_t ns = dt.nanosecond;
  if (ns != 0) {
    if (ns % 1000000 == 0) {
      len = std::snprintf(buf, sizeof buf, ".%03u", ns / 1000000);
    } else if (ns % 1000 == 0) {
      len = std::snprintf(buf, sizeof buf, ".%06u", ns / 1000);
    } else {
      len = std::snprintf(buf, sizeof buf, ".%09u", ns);
    }
    text.append(buf, static_cast<std::size_t>(len));
  }
  return text;
}

std::optional<std::string> format_device_micros(std::int64_t us) {
  // Floor division keeps the sub-second part in 0..999999 for negative counts too.
  std::int64_t seconds = us / 1000000;
  std::int64_t micros = us % 1000000;
  if (micros < 0) {
    micros += 1000000;
    seconds -= 1;
  }
  std::int64_t days = seconds / 86400;
  std::int64_t sod = seconds % 86400;
  if (sod < 0) {
    sod += 86400;
    days -= 1;
  }
  NaiveDateTime dt;
  civil_from_days(days, dt.year, dt.month, dt.day);
  if (dt.year < -262143 || dt.year > 262142) return std::nullopt;
  dt.second_of_day = static_cast<std::uint32_t>(sod);
  dt.nanosecond = static_cast<std::uint32_t>(micros) * 1000;
  return format_device_time(dt);
}

std::int64_t device_micros(const NaiveDateTime& dt) noexcept {
  return epoch_seconds(dt) * 1000000 + dt.nanosecond / 1000;
}

}  // namespace morvane
