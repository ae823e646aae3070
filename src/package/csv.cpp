#include "package/csv.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "package/numtext.hpp"
#include "packet/bytes.hpp"
#include "packet/decode.hpp"
#include "packet/error.hpp"
#include "packet/packet.hpp"
#include "packet/timing.hpp"

namespace morvane {

namespace {

constexpr std::size_t kBufferSize = CsvOutput::kBufferSize;
// Room one row can take: 13 fields of the longest fixed text, separators and the line end.
constexpr std::size_t kRowMax = 13 * (kFixedTextMax + 1) + 1;
constexpr std::size_t kShortTail = 64;
static_assert(kRowMax >= 4 * (kFixedTextMax + 1) + kShortTail);
// The auxiliary texts and the line end.
constexpr std::size_t kTailMax = 3 * (kFixedTextMax + 1) + 1;
// A block of rows whose channels all have words, with the longest time and tail, fits at once.
static_assert(kMaxSamplesPerBlock * (kFixedTextMax + 10 * 9 + kTailMax) <= kBufferSize);

char* put_float(char* p, float v) { return p + format_channel(v, p); }

// A channel text from its word (see channel_words), or written whole where it has none.
char* put_word(char* p, std::uint64_t word, float v) {
  if (word == 0) return put_float(p, v);
  // The sign is written always and kept only when negative, so no branch depends on it.
  *p = '-';
  p += std::bit_cast<std::uint32_t>(v) >> 31;
  std::memcpy(p, &word, 8);
  return p + 8;
}

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
  struct stat st {};
  can_reserve_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

CsvOutput::~CsvOutput() {
  if (fd_ < 0) return;
  try {
    flush();
  } catch (const ReaderError&) {
    // The call is failing already; its first error is the one reported.
  }
  release_reserve();
  ::close(fd_);
}

void CsvOutput::reserve_space(std::int64_t end) {
#ifdef FALLOC_FL_KEEP_SIZE
  while (can_reserve_ && reserved_ < end) {
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, reserved_, kReserveStep) == 0) {
      reserved_ += kReserveStep;
    } else if (errno != EINTR) {
      // Not supported here, or no room to reserve: plain writes say whether the text fits.
      can_reserve_ = false;
    }
  }
#else
  static_cast<void>(end);
#endif
}

void CsvOutput::release_reserve() noexcept {
  // Truncating to the written length frees the reserved blocks past the end of the file.
  if (reserved_ > written_) {
    while (::ftruncate(fd_, written_) != 0 && errno == EINTR) {
    }
  }
  reserved_ = 0;
}

void CsvOutput::flush() {
  reserve_space(written_ + static_cast<std::int64_t>(len_));
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
    written_ += n;
  }
  len_ = 0;
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
  release_reserve();
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

namespace {

// The texts ",<value>" of every packed 3-axis field under one accelerometer shift: ten bits of
// count and two of exponent make 4,096 of them. The writer copies a sample's three texts from
// here instead of decoding it to floats and making their words. Each text is format_channel of
// packed_value, the float the decoder gives, so it is the text the general path writes.
class PackedChannelTexts {
 public:
  // A text and its length in the last byte: one 16-byte copy, of which `size` bytes count. The
  // longest is ",-16.000000" (a shift of 8, the smallest).
  struct Text {
    char bytes[15];
    std::uint8_t size;
  };

  // Makes the texts of `accel_shift` unless they are the ones made already.
  void prepare(unsigned accel_shift) noexcept {
    if (accel_shift == shift_) return;
    shift_ = accel_shift;
    for (std::uint32_t e = 0; e < 4; ++e) {
      for (std::uint32_t field = 0; field < 1024; ++field) {
        Text& text = texts_[e << 10 | field];
        char scratch[kFixedTextMax];
        const std::size_t n = format_channel(packed_value(e << 30 | field, 0, accel_shift), scratch);
        std::memset(text.bytes, 0, sizeof text.bytes);
        text.bytes[0] = ',';
        std::memcpy(text.bytes + 1, scratch, n);
        text.size = static_cast<std::uint8_t>(n + 1);
      }
    }
  }

  // The text of `axis` (0 to 2) of a stored sample word.
  const Text& of(std::uint32_t sample, unsigned axis) const noexcept {
    return texts_[(sample >> 30) << 10 | ((sample >> (10 * axis)) & 0x3FF)];
  }

 private:
  unsigned shift_ = 0;  // none made yet: shifts are 8 to 15
  Text texts_[4096];
};
static_assert(sizeof(PackedChannelTexts::Text) == 16);

// A block's rows ready to be written.
struct BlockText {
  const std::int64_t* times;  // shifted by the UTC offset
  std::size_t n;
  const float* columns[9];  // null: a channel this block lacks, printed NaN
  std::size_t count;
  const std::uint64_t (*words)[kMaxSamplesPerBlock];  // channel_words of each column
  bool all_words;                                     // no word is 0, no column is null
  const char* tail;                                   // the auxiliary texts and the line end
  std::size_t tail_size;
  // A packed 3-axis block of a 3-axis export, written from its stored words; then columns and
  // words are not made.
  const unsigned char* packed = nullptr;
  const PackedChannelTexts* packed_texts = nullptr;
};

[[gnu::always_inline]] inline char* put_tail(char* p, const BlockText& b) {
  // A short tail goes as one fixed-size copy; the block's reserve has room for it.
  if (b.tail_size == 1) {
    *p = '\n';
  } else if (b.tail_size <= kShortTail) {
    std::memcpy(p, b.tail, kShortTail);
  } else {
    std::memcpy(p, b.tail, b.tail_size);
  }
  return p + b.tail_size;
}

// ",text" of a channel that has a word: the comma and a sign go as one store, and the sign is
// kept only when negative, so no branch depends on it.
[[gnu::always_inline]] inline char* put_known_word(char* p, std::uint64_t word, float v) {
  std::memcpy(p, ",-", 2);
  p += 1 + (std::bit_cast<std::uint32_t>(v) >> 31);
  std::memcpy(p, &word, 8);
  return p + 8;
}

template <std::size_t... C>
[[gnu::always_inline]] inline char* put_known_words(char* p, const BlockText& b, std::size_t i,
                                                  std::index_sequence<C...>) {
  ((p = put_known_word(p, b.words[C][i], b.columns[C][i])), ...);
  return p;
}

// The rows of a block, each its time, the texts `channels(p, i)` puts for row i, and the tail.
template <class Channels>
[[gnu::always_inline]] inline char* put_timed_rows(char* p, TimeTexts& time_texts,
                                                   const BlockText& b, Channels channels) {
  std::uint64_t times[2 * kMaxSamplesPerBlock];
  if (time_texts.words(b.times, b.n, times)) {
    for (std::size_t i = 0; i < b.n; ++i) {
      std::memcpy(p, times + 2 * i, 16);
      p = put_tail(channels(p + 15, i), b);
    }
    return p;
  }
  for (std::size_t i = 0; i < b.n; ++i) {
    p += time_texts.write(b.times[i], p);
    p = put_tail(channels(p, i), b);
  }
  return p;
}

// The rows of a block whose kCount columns all have words: the channels are laid out without a
// loop or a test.
template <std::size_t kCount>
char* put_word_rows(char* p, TimeTexts& time_texts, const BlockText& b) {
  return put_timed_rows(p, time_texts, b, [&b](char* q, std::size_t i) {
    return put_known_words(q, b, i, std::make_index_sequence<kCount>());
  });
}

// The rows of a packed block: three copied texts per sample word.
char* put_packed_rows(char* p, TimeTexts& time_texts, const BlockText& b) {
  const PackedChannelTexts& texts = *b.packed_texts;
  return put_timed_rows(p, time_texts, b, [&](char* q, std::size_t i) {
    const std::uint32_t sample = load_u32(b.packed + 4 * i);
    for (unsigned axis = 0; axis < 3; ++axis) {
      const PackedChannelTexts::Text& text = texts.of(sample, axis);
      std::memcpy(q, &text, sizeof text);
      q += text.size;
    }
    return q;
  });
}

// Room a row of words takes at most: the time, a comma and up to nine characters per channel,
// and the tail or its fixed-size copy.
std::size_t word_row_room(const BlockText& b) {
  return kFixedTextMax + 10 * b.count + std::max(b.tail_size, kShortTail);
}

void put_rows(CsvOutput& out, TimeTexts& time_texts, const BlockText& b) {
  if (b.packed) {
    // Room for the longest time, three 16-byte copies and the tail or its fixed-size copy.
    char* p = out.reserve(b.n * (kFixedTextMax + 3 * sizeof(PackedChannelTexts::Text) +
                                 std::max(b.tail_size, kShortTail)));
    out.commit(put_packed_rows(p, time_texts, b));
    return;
  }
  if (b.all_words && (b.count == 3 || b.count == 6 || b.count == 9)) {
    // A whole block of such rows fits the buffer: one reserve for all of them.
    char* p = out.reserve(b.n * word_row_room(b));
    if (b.count == 3) p = put_word_rows<3>(p, time_texts, b);
    if (b.count == 6) p = put_word_rows<6>(p, time_texts, b);
    if (b.count == 9) p = put_word_rows<9>(p, time_texts, b);
    out.commit(p);
    return;
  }
  for (std::size_t i = 0; i < b.n; ++i) {
    char* p = out.reserve(kRowMax);
    p += time_texts.write(b.times[i], p);
    for (std::size_t c = 0; c < b.count; ++c) {
      *p++ = ',';
      if (b.columns[c]) {
        p = put_word(p, b.words[c][i], b.columns[c][i]);
      } else {
        std::memcpy(p, "NaN", 3);
        p += 3;
      }
    }
    out.commit(put_tail(p, b));
  }
}

}  // namespace

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
  // The block's channel texts, made a column at a time before the rows copy them.
  std::uint64_t words[9][kMaxSamplesPerBlock];
  TimeTexts time_texts;
  auto memo = std::make_unique<ChannelWordMemo>();
  auto packed_texts = std::make_unique<PackedChannelTexts>();
  // Light's text needs a power of ten: the readings are made only for a tail that has them.
  const bool any_aux = include.temperature || include.light || include.battery;
  std::optional<double> previous_end = range.previous_end;
  while (const unsigned char* block = range.next_block()) {
    if (!validate_packet_header(block)) continue;
    const DataPacket packet = parse_data_packet(block);
    // A packed block of a 3-axis export goes from its stored words to text.
    PackedSamples packed;
    const bool from_words = packet.format == kPacked3Format && !gyro && !mag;
    if (from_words) {
      packed = packed_samples(packet);
      packed_texts->prepare(packed.accel_shift);
    } else {
      decode_samples(packet, include.magnetometer, *decoded);
    }
    const std::size_t n = from_words ? packed.count : decoded->count;
    previous_end = packet_sample_times(packet, n, previous_end, times);
    if (offset_us != 0) {
      for (std::size_t i = 0; i < n; ++i) times[i] = shift_time(times[i], offset_us);
    }
    const AuxReadings aux = any_aux ? aux_readings(packet) : AuxReadings{};
    // The auxiliary readings are the block's, the same on every row: their text is made once.
    char tail[kTailMax];
    std::memset(tail, 0, kShortTail);
    char* t = tail;
    if (include.temperature) t = put_optional(t, aux.temperature);
    if (include.light) t = put_optional(t, aux.light);
    if (include.battery) t = put_optional(t, aux.battery);
    *t++ = '\n';
    BlockText text{times, n, {}, 0, words, true, tail, static_cast<std::size_t>(t - tail)};
    // The header's channels in order.
    auto add = [&](const float (&block_columns)[3][kMaxSamplesPerBlock], bool present) {
      for (const auto& column : block_columns) {
        if (present) {
          text.all_words &= memo->words(column, n, words[text.count]);
        } else {
          text.all_words = false;
        }
        text.columns[text.count++] = present ? column : nullptr;
      }
    };
    if (from_words) {
      text.count = 3;
      text.packed = packed.words;
      text.packed_texts = packed_texts.get();
    } else {
      add(decoded->acc, true);
      if (gyro) add(decoded->gyro, decoded->has_gyro);
      if (mag) add(decoded->mag, decoded->has_mag);
    }
    put_rows(out, time_texts, text);
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
