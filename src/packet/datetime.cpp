#include "packet/datetime.hpp"

namespace morvane {

namespace {
bool is_leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
}  // namespace

unsigned days_in_month(std::int64_t year, unsigned month) noexcept {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Howard Hinnant's era-based algorithms; valid far beyond any year a count of microseconds can
// reach, and free of overflow there.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = m > 2 ? m - 3 : m + 9;
  const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& year, unsigned& month, unsigned& day) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2);
}

std::optional<NaiveDateTime> decode_packed_datetime(std::uint32_t v) noexcept {
  if (v == 0 || v == 0xFFFFFFFFu) return std::nullopt;
  const std::int64_t year = 2000 + static_cast<std::int64_t>(v >> 26);
  const unsigned month = (v >> 22) & 0x0F;
  const unsigned day = (v >> 17) & 0x1F;
  const unsigned hours = (v >> 12) & 0x1F;
  const unsigned minutes = (v >> 6) & 0x3F;
  const unsigned seconds = v & 0x3F;
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
  if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  NaiveDateTime dt;
  dt.year = year;
  dt.month = month;
  dt.day = day;
  dt.second_of_day = hours * 3600 + minutes * 60 + seconds;
  return dt;
}

std::int64_t epoch_seconds(const NaiveDateTime& dt) noexcept {
  return days_from_civil(dt.year, dt.month, dt.day) * 86400 + dt.second_of_day;
}

}  // namespace morvane
