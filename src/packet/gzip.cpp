#include <zlib.h>

#include <cstring>
#include <string>

#include "packet/source.hpp"

namespace morvane {

namespace {

constexpr std::size_t kInputSize = std::size_t{256} << 10;
constexpr int kGzipWindow = 15 + 16;  // 32 KiB window, gzip wrapper only

// Owns the inflate state, the compressed input buffer and the failure that ended the stream.
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(InputFile& file) : file_(file), input_(new unsigned char[kInputSize]) {
    std::memset(&zs_, 0, sizeof zs_);
    if (inflateInit2(&zs_, kGzipWindow) != Z_OK) throw std::bad_alloc();
    file_.seek(0);
  }
  ~GzipSource() override { inflateEnd(&zs_); }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;

  std::size_t read_some(unsigned char* dst, std::size_t n) override;
  void seek(std::uint64_t offset) override;
  bool compressed() const noexcept override { return true; }
  std::optional<std::uint64_t> size_hint() override;

 private:
  void restart();
  bool refill();
  void fail(const std::string& what);

  InputFile& file_;
  std::unique_ptr<unsigned char[]> input_;
  z_stream zs_;
  bool input_end_ = false;
  bool member_done_ = false;
  bool finished_ = false;
  std::uint64_t produced_ = 0;  // bytes handed out since the start of the file
  std::optional<ReaderError> failure_;
};

bool GzipSource::refill() {
  if (zs_.avail_in > 0) return true;
  if (input_end_) return false;
  const std::size_t got = file_.read_some(input_.get(), kInputSize);
  if (got == 0) {
    input_end_ = true;
    return false;
  }
  zs_.next_in = input_.get();
  zs_.avail_in = static_cast<uInt>(got);
  return true;
}

void GzipSource::fail(const std::string& what) {
  failure_ = ReaderError::damaged("Compressed data is damaged after " + std::to_string(produced_) +
                                  " bytes: " + what);
}

std::size_t GzipSource::read_some(unsigned char* dst, std::size_t n) {
  if (failure_) throw *failure_;
  if (finished_ || n == 0) return 0;
  const uInt want = n > (std::size_t{1} << 30) ? uInt{1} << 30 : static_cast<uInt>(n);
  zs_.next_out = dst;
  zs_.avail_out = want;
  while (zs_.avail_out == want && !failure_ && !finished_) {
    const bool more = refill();
    if (member_done_) {
      if (!more) {
        finished_ = true;
        break;
      }
      // Another member may follow; anything else after a complete member is damage.
      if (zs_.next_in[0] != 0x1F) {
        fail("bytes after the end of the compressed stream");
        break;
      }
      if (inflateReset(&zs_) != Z_OK) {
        fail("cannot start the next member");
        break;
      }
      member_done_ = false;
    }
    const uInt out_before = zs_.avail_out;
    const uInt in_before = zs_.avail_in;
    const int rc = inflate(&zs_, Z_NO_FLUSH);
    produced_ += out_before - zs_.avail_out;
    if (rc == Z_STREAM_END) {
      member_done_ = true;
    } else if (rc == Z_OK || rc == Z_BUF_ERROR) {
      if (!more && zs_.avail_out == out_before && zs_.avail_in == in_before) {
        fail("the compressed stream ends early");
      }
    } else if (rc == Z_MEM_ERROR) {
      throw std::bad_alloc();
    } else {
      fail(zs_.msg ? zs_.msg : "invalid compressed data");
    }
  }
  const std::size_t got = want - zs_.avail_out;
  if (got == 0 && failure_) throw *failure_;
  return got;
}

void GzipSource::restart() {
  file_.seek(0);
  if (inflateReset(&zs_) != Z_OK) throw std::bad_alloc();
  zs_.avail_in = 0;
  input_end_ = member_done_ = finished_ = false;
  produced_ = 0;
  failure_.reset();
}

void GzipSource::seek(std::uint64_t offset) {
  if (offset < produced_) restart();
  unsigned char scratch[16384];
  while (produced_ < offset) {
    const std::uint64_t left = offset - produced_;
    const std::size_t got = read_some(scratch, left < sizeof scratch ? left : sizeof scratch);
    if (got == 0) return;  // the next read reports the end
  }
}

std::optional<std::uint64_t> GzipSource::size_hint() {
  // The last four bytes of a gzip file hold the length of its last member modulo 2^32: a guess
  // for sizing only, never trusted for where the data ends.
  const std::uint64_t size = file_.size();
  if (size < 18) return std::nullopt;
  unsigned char tail[4];
  const std::uint64_t here = file_.tell();
  file_.seek(size - 4);
  file_.read_exact(tail, 4);
  file_.seek(here);
  const std::uint64_t isize = std::uint64_t{tail[0]} | std::uint64_t{tail[1]} << 8 |
                              std::uint64_t{tail[2]} << 16 | std::uint64_t{tail[3]} << 24;
  // Deflate cannot compress by more than about 1032 to 1.
  if (isize > size * 1032) return std::nullopt;
  return isize;
}

}  // namespace

bool is_gzip_magic(const unsigned char* bytes, std::size_t n) noexcept {
  return n >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B;
}

std::unique_ptr<ByteSource> make_gzip_source(InputFile& file) {
  return std::make_unique<GzipSource>(file);
}

}  // namespace morvane
