#include <zlib.h>

#include <cstring>
#include <string>

#include "packet/isal.hpp"
#include "packet/source.hpp"

namespace morvane {

namespace {

constexpr std::size_t kInputSize = std::size_t{256} << 10;
constexpr int kGzipWindow = 15 + 16;  // 32 KiB window, gzip wrapper only

// Owns one zlib inflate state.
struct ZStream {
  z_stream zs;
  ZStream() {
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, kGzipWindow) != Z_OK) throw std::bad_alloc();
  }
  ~ZStream() { inflateEnd(&zs); }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
};

// zlib's reading is the rule: the bytes handed out, where damage is found and its words. With
// ISA-L the members are inflated by ISA-L while it finds nothing wrong; at the first doubt (a
// member it cannot finish, a check value that does not match, a stream cut short, a header it
// leaves to zlib, anything after a member but another member or the end) zlib inflates again
// from the first byte of that member, passes over what was already handed out and goes on to
// the end as the zlib reading would. ISA-L hands out the bytes of an unfinished member only once
// it has inflated a further MiB past them (isal.cpp says why), so every byte handed out is one
// zlib hands out, and damage is reported after the same count with the same text.
//
// The one exception is a deflate block whose Huffman code set zlib refuses (incomplete or
// over-subscribed; no encoder writes one) but ISA-L decodes: if ISA-L decodes more than a MiB of
// that member before it fails, or the whole member with its check values right, it has handed
// out bytes that zlib would not: zlib's message then still comes, at zlib's count, but after
// those bytes, or, for a member that checks out, not at all.
//
// Owns the zlib state, the compressed input buffer, the ISA-L path and the failure that ended the
// stream; borrows the file.
class GzipSource final : public ByteSource {
 public:
  GzipSource(InputFile& file, Inflater inflater)
      : file_(file), input_(new unsigned char[kInputSize]) {
    if (inflater == Inflater::automatic) fast_ = make_isal_inflater(file_);
    fast_active_ = fast_ != nullptr;
    name_ = fast_ ? "isa-l" : "zlib";
    file_.seek(0);
  }

  std::size_t read_some(unsigned char* dst, std::size_t n) override;
  void seek(std::uint64_t offset) override;
  bool compressed() const noexcept override { return true; }
  std::optional<std::uint64_t> size_hint() override;
  const char* inflater() const noexcept override { return name_; }

 private:
  void restart();
  void hand_over();
  bool refill();
  void fail(const std::string& what);
  std::size_t zlib_read(unsigned char* dst, std::size_t n);

  InputFile& file_;
  std::unique_ptr<unsigned char[]> input_;
  ZStream z_;
  z_stream& zs_ = z_.zs;
  std::unique_ptr<FastInflater> fast_;  // null with zlib alone
  bool fast_active_ = false;            // ISA-L reads; zlib waits
  const char* name_ = "zlib";
  bool input_end_ = false;
  bool member_done_ = false;
  bool finished_ = false;
  std::uint64_t produced_ = 0;  // bytes zlib inflated since the start of the file
  std::uint64_t handed_ = 0;    // bytes handed out since the start of the file
  std::uint64_t skip_ = 0;      // bytes zlib passes over that ISA-L already handed out
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

std::size_t GzipSource::zlib_read(unsigned char* dst, std::size_t n) {
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

void GzipSource::hand_over() {
  const FastInflater::Handover h = fast_->handover();
  file_.seek(h.file_offset);
  if (inflateReset(&zs_) != Z_OK) throw std::bad_alloc();
  zs_.avail_in = 0;
  input_end_ = finished_ = false;
  member_done_ = h.after_member;
  produced_ = h.out_offset;
  skip_ = handed_ - h.out_offset;
  failure_.reset();
  fast_active_ = false;
}

std::size_t GzipSource::read_some(unsigned char* dst, std::size_t n) {
  if (fast_active_) {
    const std::size_t got = fast_->read_some(dst, n);
    if (got > 0 || fast_->done()) {
      handed_ += got;
      return got;
    }
    hand_over();
  }
  while (skip_ > 0) {
    unsigned char scratch[16384];
    const std::size_t got = zlib_read(scratch, skip_ < sizeof scratch ? skip_ : sizeof scratch);
    if (got == 0) return 0;
    skip_ -= got;
  }
  const std::size_t got = zlib_read(dst, n);
  handed_ += got;
  return got;
}

void GzipSource::restart() {
  if (fast_) {
    fast_->restart();
  } else {
    file_.seek(0);
  }
  if (inflateReset(&zs_) != Z_OK) throw std::bad_alloc();
  zs_.avail_in = 0;
  input_end_ = member_done_ = finished_ = false;
  fast_active_ = fast_ != nullptr;
  produced_ = handed_ = skip_ = 0;
  failure_.reset();
}

void GzipSource::seek(std::uint64_t offset) {
  if (offset < handed_) restart();
  unsigned char scratch[16384];
  while (handed_ < offset) {
    const std::uint64_t left = offset - handed_;
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
  file_.read_exact_at(tail, 4, size - 4);
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

bool isal_built() noexcept {
#if MORVANE_HAVE_ISAL
  return true;
#else
  return false;
#endif
}

std::unique_ptr<ByteSource> make_gzip_source(InputFile& file, Inflater inflater) {
  return std::make_unique<GzipSource>(file, inflater);
}

}  // namespace morvane
