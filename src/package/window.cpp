#include <cmath>
#include <vector>

#include "package/pipeline.hpp"
#include "packet/error.hpp"
#include "packet/timing.hpp"

namespace morvane {

void check_time_window(const TimeWindow& window) {
  for (const auto& bound : {window.range_start_time, window.range_end_time}) {
    if (bound && !std::isfinite(*bound)) throw ReaderError::message("time range values must be finite");
  }
  if (window.range_start_time && window.range_end_time &&
      *window.range_start_time >= *window.range_end_time) {
    throw ReaderError::message("range_end_time must be greater than range_start_time");
  }
}

namespace {

// Moves the kept rows of a column to its front, in order; `keep` lists them ascending.
template <class T>
void compact(Column<T>& column, const std::vector<std::uint32_t>& keep_words, std::size_t kept) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (keep_words[i / 32] >> (i % 32) & 1u) column[j++] = column[i];
  }
  column.truncate(kept);
  column.shrink_to_fit();
}

bool all_nan(const FloatColumn& column) {
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (!std::isnan(column[i])) return false;
  }
  return true;
}

}  // namespace

SampleColumns apply_time_range(SampleColumns columns, const TimeWindow& window) {
  if (!window.bounded()) return columns;
  check_time_window(window);
  // One bit per row: the filter keeps the rows in their order, in place, so a window over a
  // long recording never needs a second copy of it.
  const std::size_t rows = columns.time.size();
  std::vector<std::uint32_t> keep((rows + 31) / 32, 0);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (window.contains(micros_to_seconds(columns.time[i]))) {
      keep[i / 32] |= 1u << (i % 32);
      ++kept;
    }
  }
  if (kept == 0) throw ReaderError::message("No samples remain after applying time range");
  compact(columns.time, keep, kept);
  for (auto& c : columns.acc) compact(c, keep, kept);
  for (auto* group : {&columns.gyro, &columns.mag}) {
    for (auto& c : *group) {
      if (!c) continue;
      compact(*c, keep, kept);
      if (all_nan(*c)) c.reset();
    }
  }
  for (auto* c : {&columns.temperature, &columns.light, &columns.battery}) {
    if (*c) compact(**c, keep, kept);
  }
  return columns;
}

}  // namespace morvane
