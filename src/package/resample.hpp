// Streaming four-point cubic resampling onto a regular time grid.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "package/columns.hpp"
#include "package/pipeline.hpp"
#include "packet/decode.hpp"

namespace morvane {

// Owns its buffered input samples and its output columns.
//
// Samples are buffered channel by channel, one array per channel in output order (acc x/y/z,
// gyro x/y/z, mag x/y/z, temperature, light, battery), so a block is decoded straight into the
// buffer. A row is planned as soon as its four neighbours exist; planned rows are written to the
// output a batch at a time, one column after another. Entries that no later row can need are
// dropped when the next block comes, so the buffer stays at one block plus three samples.
class CubicResampler {
 public:
  static constexpr std::size_t kChannels = 12;

  CubicResampler(const TimeWindow& window, double resample_hz, const IncludeFlags& include);

  // Where the next block goes: room for kMaxSamplesPerBlock samples, their times in seconds and
  // their channels. Nothing written there counts until take() commits it.
  struct Slots {
    double* time;
    SampleTargets targets;
  };
  Slots slots();
  // Commits samples [from, to) of the block last written to slots() (from is 0 or where the
  // previous take of the same block stopped), with the channels the block carries and its
  // auxiliary readings, and emits every row they complete. Returns the index of the sample whose
  // arrival took the grid past the window's end, or `to` while the resampling goes on.
  std::size_t take(std::size_t from, std::size_t to, BlockChannels channels, const AuxReadings& aux);
  // Sizes the output columns for about this many rows.
  void expect_rows(double rows);
  // Emits the rows still pending; a row whose fourth neighbour never came uses the linear rule.
  void finish();
  bool done() const noexcept { return done_; }
  SampleColumns& output() noexcept { return out_; }

  // Time of grid row n in seconds. Row 0 is the origin itself: for a rate so small that the
  // step overflows, 0 times the step would be NaN.
  double grid_time(std::uint64_t n) const noexcept {
    if (n == 0) return origin_ms_ / 1000.0;
    return (static_cast<double>(n) * step_ms_ + origin_ms_) / 1000.0;
  }

 private:
  // Rows waiting to be written, with everything a channel needs: the buffer index of the left
  // neighbour P1 (P0 is the one before, P2 and P3 the ones after), the weights and the rules.
  struct Plan {
    static constexpr std::size_t kRows = 256;
    static constexpr std::uint8_t kLinear = 1;  // P1 and P2 far enough apart to divide by
    static constexpr std::uint8_t kCubic = 2;   // all four neighbours, usable denominators
    static constexpr std::uint8_t kHitP1 = 4;   // the grid time is P1's own time
    static constexpr std::uint8_t kHitP2 = 8;   // ... or else P2's
    std::size_t rows = 0;
    bool all_cubic = true;  // every row has kLinear and kCubic
    std::int64_t micros[kRows];
    std::uint32_t left[kRows];
    std::uint8_t rule[kRows];
    double fraction[kRows];
    double w[4][kRows];

    // One channel's value of row r, from the channel's buffered values v.
    double interpolate(const float* v, std::size_t r) const noexcept;
  };
  static constexpr std::uint8_t kHasGyro = 1;
  static constexpr std::uint8_t kHasMag = 2;

  void run(bool finishing);
  void plan_row(double t, std::size_t left, bool cubic_possible) noexcept;
  void flush();
  void write_channels(const std::size_t* channels, float* const* out, std::size_t k) const noexcept;
  void write_optional(std::size_t c, std::uint8_t flag, OptionalColumn& column, std::size_t row0);
  void compact() noexcept;
  void fill_missing(std::size_t c0, std::size_t from, std::size_t to) noexcept;
  void start();
  void refuse_impossible_gap(double t, double right_time);

  bool has_end_ = false;
  double end_time_ = 0;
  std::optional<double> range_start_time_;
  bool started_ = false;
  double origin_ms_ = 0;
  double step_ms_ = 0;

  std::vector<double> time_;
  std::vector<float> value_[kChannels];
  std::vector<std::uint8_t> flags_;  // kHasGyro, kHasMag per entry
  std::uint8_t seen_ = 0;            // flags any entry ever had: their channels hold NaN, not junk
  std::size_t count_ = 0;
  std::size_t cursor_ = 0;     // P1 of the last bracket; nothing before its predecessor is needed
  std::size_t enabled_by_ = 0;  // the entry whose arrival allowed the last row

  Plan plan_;
  SampleColumns out_;
  std::uint64_t n_ = 0;
  double t_ = 0;  // grid time of row n_
  bool done_ = false;
};

}  // namespace morvane
