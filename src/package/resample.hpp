// Streaming four-point cubic resampling onto a regular time grid.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "package/columns.hpp"
#include "package/pipeline.hpp"
#include "packet/decode.hpp"

namespace morvane {

// One buffered input sample with its block's auxiliary readings, channel by channel in output
// order: acc x/y/z, gyro x/y/z, mag x/y/z, temperature, light, battery. A gyroscope or
// magnetometer value the sample does not carry is NaN, with its flag false.
struct ResampleEntry {
  double time = 0;  // device seconds
  float value[12] = {};
  bool has_gyro = false;
  bool has_mag = false;

  // Fills the entry from sample i of a decoded block.
  void set(double t, const DecodedBlock& block, std::size_t i, const AuxReadings& aux) noexcept;
};

// Owns its buffered entries and its output columns. Rows are emitted as soon as their four
// neighbours exist; entries that no later row can need are dropped, so memory stays bounded by
// the samples per grid step plus three.
class CubicResampler {
 public:
  CubicResampler(const TimeWindow& window, double resample_hz, const IncludeFlags& include);

  // The same in two halves: fill the slot that next_slot() returns, then commit it.
  ResampleEntry& next_slot() {
    if (count_ == ring_.size()) grow_ring();
    return ring_[(head_ + count_) & mask_];
  }
  void commit_slot() {
    ++count_;
    if (!started_) start();
  }
  void step() {
    // The common case, a new sample still before the pending grid time: the bracket search from
    // the cursor stops at the end, the row stays pending and the cursor moves to the new entry.
    // This is what run() does then, without the call.
    if (started_ && cursor_ + 2 == count_ && at(count_ - 1).time < t_ &&
        !(range_end_time_ && t_ >= *range_end_time_)) {
      cursor_ = count_ - 1;
      trim();
      return;
    }
    run(false);
  }
  // Like step, but a row whose fourth neighbour will never come uses the linear rule.
  void finish() { run(true); }
  bool done() const noexcept { return done_; }
  SampleColumns& output() noexcept { return out_; }
  std::size_t buffered() const noexcept { return count_; }

  // Time of grid row n in seconds.
  double grid_time(std::uint64_t n) const noexcept;

 private:
  void run(bool finishing);
  void emit(double t, std::size_t left, std::size_t right, bool cubic_possible);
  void trim() noexcept {
    if (cursor_ < 2) return;
    const std::size_t drop = cursor_ - 1;
    head_ = (head_ + drop) & mask_;
    count_ -= drop;
    cursor_ = 1;
  }
  void grow_ring();
  void start();
  void refuse_impossible_gap(double t, double right_time) const;
  const ResampleEntry& at(std::size_t i) const noexcept { return ring_[(head_ + i) & mask_]; }

  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  bool started_ = false;
  double origin_ms_ = 0;
  double step_ms_ = 0;
  std::vector<ResampleEntry> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  SampleColumns out_;
  std::size_t cursor_ = 0;
  std::uint64_t n_ = 0;
  double t_ = 0;  // grid time of row n_
  bool done_ = false;
};

}  // namespace morvane
