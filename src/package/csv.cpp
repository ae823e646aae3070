#include "package/csv.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "package/numtext.hpp"
#include "packet/decode.hpp"
#include "packet/error.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

constexpr std::size_t kBufferSize = std::size_t{16} << 20;
// Room one row can take: 13 fields of the longest fixed text, separators and the line end.
constexpr std::size_t kRowMax = 13 * (kFixedTextMax + 1) + 1;
constexpr std::size_t kShortTail = 64;
static_assert(kRowMax >= 4 * (kFixedTextMax + 1) + kShortTail);

char* put_float(char* p, float v) { return p + format_channel(v, p); }

char* put_optional(char* p, const std::optional<float>& v) {
  *p++ = ',';
  if (v) return put_float(p, *v);
  std::memcpy(p, "NaN", 3);
  return p + 3;
}

}  // namespace

CsvOutput::CsvOutput(const std::string& path) : buffer_(new char[kBufferSize]) {
  if (path.find('\0') != std::string::npos) throw ReaderError::os(EINVAL);
  do {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw ReaderError::os(errno);
}

CsvOutput::~CsvOutput() {
  if (fd_ < 0) return;
  try {
    flush();
  } catch (const ReaderError&) {
    // The call is failing already; its first error is the one reported.
  }
  ::close(fd_);
}

void CsvOutput::flush() {
  std::size_t done = 0;
  while (done < len_) {
    const ssize_t n = ::write(fd_, buffer_.get() + done, len_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      // Drop what could not be written so that the error path does not try again.
      len_ = 0;
      throw ReaderError::os(err);
    }
    done += static_cast<std::size_t>(n);
  }
  len_ = 0;
}

char* CsvOutput::reserve(std::size_t n) {
  if (kBufferSize - len_ < n) flush();
  return buffer_.get() + len_;
}

void CsvOutput::write(const char* text, std::size_t n) {
  while (n > 0) {
    const std::size_t room = kBufferSize - len_;
    if (room == 0) {
      flush();
      continue;
    }
    const std::size_t take = n < room ? n : room;
    std::memcpy(buffer_.get() + len_, text, take);
    len_ += take;
    text += take;
    n -= take;
  }
}

void CsvOutput::finish() {
  flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) throw ReaderError::os(errno);
}

std::vector<std::string> csv_header(bool gyro, bool mag, const IncludeFlags& include) {
  std::vector<std::string> fields = {"time", "acc_x", "acc_y", "acc_z"};
  if (gyro) fields.insert(fields.end(), {"gyro_x", "gyro_y", "gyro_z"});
  if (mag) fields.insert(fields.end(), {"mag_x", "mag_y", "mag_z"});
  if (include.temperature) fields.push_back("temperature");
  if (include.light) fields.push_back("light");
  if (include.battery) fields.push_back("battery");
  return fields;
}

namespace {

void write_header(CsvOutput& out, bool gyro, bool mag, const IncludeFlags& include) {
  std::string line;
  for (const auto& field : csv_header(gyro, mag, include)) {
    if (!line.empty()) line += ',';
    line += field;
  }
  line += '\n';
  out.write(line.data(), line.size());
}

}  // namespace

void write_csv_row(CsvOutput& out, bool gyro, bool mag, const IncludeFlags& include, const CsvRow& row) {
  if (include.temperature && !row.temperature) {
    throw ReaderError::message("Temperature requested but unavailable");
  }
  if (include.light && !row.light) throw ReaderError::message("Light requested but unavailable");
  if (include.battery && !row.battery) throw ReaderError::message("Battery requested but unavailable");
  char* p = out.reserve(kRowMax);
  p += format_time(row.time, p);
  for (float v : row.acc) {
    *p++ = ',';
    p = put_float(p, v);
  }
  if (gyro) {
    for (const auto& v : row.gyro) p = put_optional(p, v);
  }
  if (mag) {
    for (const auto& v : row.mag) p = put_optional(p, v);
  }
  if (include.temperature) p = put_optional(p, row.temperature);
  if (include.light) p = put_optional(p, row.light);
  if (include.battery) p = put_optional(p, row.battery);
  *p++ = '\n';
  out.commit(p);
}

void write_columns_csv(const std::string& output_path, const SampleColumns& c,
                       const IncludeFlags& include, std::int64_t offset_us) {
  CsvOutput out(output_path);
  const bool gyro = c.gyro[0].has_value();
  const bool mag = c.mag[0].has_value();
  write_header(out, gyro, mag, include);
  CsvRow row;
  auto optional_at = [](const OptionalColumn& column, std::size_t i) -> std::optional<float> {
    if (column) return (*column)[i];
    return std::nullopt;
  };
  for (std::size_t i = 0; i < c.rows(); ++i) {
    row.time = shift_time(c.time[i], offset_us);
    for (int a = 0; a < 3; ++a) {
      row.acc[a] = c.acc[a][i];
      row.gyro[a] = optional_at(c.gyro[a], i);
      row.mag[a] = optional_at(c.mag[a], i);
    }
    row.temperature = optional_at(c.temperature, i);
    row.light = optional_at(c.light, i);
    row.battery = optional_at(c.battery, i);
    write_csv_row(out, gyro, mag, include, row);
  }
  out.finish();
}

void stream_blocks_csv(BlockRange& range, const std::string& output_path,
                       const IncludeFlags& include, std::int64_t offset_us) {
  // Which channel columns the header needs is known only after looking at every block.
  bool gyro = false;
  bool mag = false;
  while (const unsigned char* block = range.next_block()) {
    if (!validate_packet_header(block)) continue;
    const std::uint8_t format = block[layout::data::format];
    if (format >= 0x60) gyro = true;
    if ((format >> 4) == 9 && include.magnetometer) mag = true;
  }
  range.rewind();

  CsvOutput out(output_path);
  write_header(out, gyro, mag, include);
  auto decoded = std::make_unique<DecodedBlock>();
  std::int64_t times[kMaxSamplesPerBlock];
  std::optional<double> previous_end = range.previous_end;
  while (const unsigned char* block = range.next_block()) {
    if (!validate_packet_header(block)) continue;
    const DataPacket packet = parse_data_packet(block);
    decode_samples(packet, include.magnetometer, *decoded);
    const std::size_t n = decoded->count;
    previous_end = packet_sample_times(packet, n, previous_end, times);
    const AuxReadings aux = aux_readings(packet);
    // The auxiliary readings are the block's, the same on every row: their text is made once.
    char tail[3 * (kFixedTextMax + 1) + 1];
    std::memset(tail, 0, kShortTail);
    char* t = tail;
    if (include.temperature) t = put_optional(t, aux.temperature);
    if (include.light) t = put_optional(t, aux.light);
    if (include.battery) t = put_optional(t, aux.battery);
    *t++ = '\n';
    const std::size_t tail_size = static_cast<std::size_t>(t - tail);
    const bool block_gyro = decoded->has_gyro;
    const bool block_mag = decoded->has_mag;
    for (std::size_t i = 0; i < n; ++i) {
      char* p = out.reserve(kRowMax);
      p += format_time(shift_time(times[i], offset_us), p);
      for (int a = 0; a < 3; ++a) {
        *p++ = ',';
        p = put_float(p, decoded->acc[a][i]);
      }
      if (gyro) {
        for (int a = 0; a < 3; ++a) {
          p = put_optional(p, block_gyro ? std::optional<float>(decoded->gyro[a][i]) : std::nullopt);
        }
      }
      if (mag) {
        for (int a = 0; a < 3; ++a) {
          p = put_optional(p, block_mag ? std::optional<float>(decoded->mag[a][i]) : std::nullopt);
        }
      }
      // A short tail goes as one fixed-size copy; the row's reserve has room for it.
      if (tail_size <= kShortTail) {
        std::memcpy(p, tail, kShortTail);
      } else {
        std::memcpy(p, tail, tail_size);
      }
      out.commit(p + tail_size);
    }
  }
  out.finish();
}

namespace {

// Writing the export over its own input would destroy the recording before it is read.
void refuse_overwriting_input(const std::string& input_path, const std::string& output_path) {
  struct stat in, out;
  if (::stat(input_path.c_str(), &in) != 0 || ::stat(output_path.c_str(), &out) != 0) return;
  if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
    throw ReaderError::message("output_path must not be the input file");
  }
}

// An output in a directory that does not exist would fail only after the whole input had been
// read; report the same error before reading.
void check_output_directory(const std::string& output_path) {
  if (output_path.find('\0') != std::string::npos) return;  // creation reports it
  const std::size_t slash = output_path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string dir = slash == 0 ? "/" : output_path.substr(0, slash);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) throw ReaderError::os(errno);
  if (!S_ISDIR(st.st_mode)) throw ReaderError::os(ENOTDIR);
}

}  // namespace

void write_csv(const std::string& input_path, const std::string& output_path,
               const BlockSelection& selection, const IncludeFlags& include,
               std::optional<double> resample_hz, std::int64_t offset_us) {
  check_time_window(selection.window);
  refuse_overwriting_input(input_path, output_path);
  check_output_directory(output_path);
  if (resample_hz) {
    const SampleColumns columns =
        read_resampled_columns(input_path, selection, include, *resample_hz, selection.window);
    write_columns_csv(output_path, columns, include, offset_us);
  } else if (selection.window.bounded()) {
    const SampleColumns columns =
        apply_time_range(read_block_columns(input_path, selection, include), selection.window);
    write_columns_csv(output_path, columns, include, offset_us);
  } else {
    BlockRange range = open_block_range(input_path, selection);
    stream_blocks_csv(range, output_path, include, offset_us);
  }
}

}  // namespace morvane
