// CSV output: the header, row formatting, and the two writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/pipeline.hpp"

namespace morvane {

// A created output file with a large buffer in front of it. Owns the descriptor. On destruction
// without finish() (an error path) whatever is buffered is written, errors ignored, and the
// partly written file stays on disk.
//
// A regular file gets its disk space reserved ahead of the writes (kReserveStep at a time,
// beyond the end of file, so its size stays that of what was written): on ext4 a write into
// reserved space skips the delayed-allocation bookkeeping, which was most of the kernel's time
// in writing the text (about 0.55 s instead of 1.0 to 1.3 s for 2.66 GB). Where the file system
// cannot reserve, the writes go on as they are. What is reserved and left unwritten is given
// back when the file is closed, on the error path too.
class CsvOutput {
 public:
  static constexpr std::int64_t kReserveStep = std::int64_t{64} << 20;

  // Small enough to stay in a core's second-level cache, from where the kernel copies it into
  // the page cache: on the week-long benchmark recording (2.66 GB of text) that copy took about
  // 1.3 s of system time against 2.7 to 3.7 s with a 16 MB buffer.
  static constexpr std::size_t kBufferSize = std::size_t{512} << 10;

  explicit CsvOutput(const std::string& path);
  ~CsvOutput();
  CsvOutput(const CsvOutput&) = delete;
  CsvOutput& operator=(const CsvOutput&) = delete;

  // Room for at least n more characters (n at most kBufferSize); returns where they go.
  char* reserve(std::size_t n) {
    if (kBufferSize - len_ < n) flush();
    return buffer_.get() + len_;
  }
  void commit(char* end) noexcept { len_ = static_cast<std::size_t>(end - buffer_.get()); }
  void write(const char* text, std::size_t n);
  void finish();

 private:
  void flush();
  void reserve_space(std::int64_t end);
  void release_reserve() noexcept;
  int fd_ = -1;
  bool can_reserve_ = false;
  std::int64_t written_ = 0;   // bytes written to the file so far
  std::int64_t reserved_ = 0;  // end of the space reserved so far
  std::unique_ptr<char[]> buffer_;
  std::size_t len_ = 0;
};

std::vector<std::string> csv_header(bool gyro, bool mag, const IncludeFlags& include);

struct CsvRow {
  std::int64_t time = 0;  // microseconds, already shifted by the UTC offset
  float acc[3] = {0, 0, 0};
  std::optional<float> gyro[3];
  std::optional<float> mag[3];
  std::optional<float> temperature;
  std::optional<float> light;
  std::optional<float> battery;
};

// Writes one record; throws "... requested but unavailable" (writing nothing of the row) when an
// included auxiliary value is missing.
void write_csv_row(CsvOutput& out, bool gyro, bool mag, const IncludeFlags& include, const CsvRow& row);

void write_columns_csv(const std::string& output_path, const SampleColumns& columns,
                       const IncludeFlags& include, std::int64_t offset_us);
void stream_blocks_csv(BlockRange& range, const std::string& output_path,
                       const IncludeFlags& include, std::int64_t offset_us);

// Everything of a CSV export after the cut has been resolved and the offset is known.
void write_csv(const std::string& input_path, const std::string& output_path,
               const BlockSelection& selection, const IncludeFlags& include,
               std::optional<double> resample_hz, std::int64_t offset_us);

}  // namespace morvane
