#include "packet/file.hpp"

#include "packet/source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace morvane {

namespace {
constexpr std::size_t kBufferBlocks = 2048;  // 1 MiB: large reads, still cache-friendly
constexpr std::size_t kBufferSize = kBufferBlocks * layout::kBlockSize;
}  // namespace

InputFile::InputFile(const std::string& path) {
  // A path with an embedded NUL cannot name a file; refuse it rather than open a shorter name.
  if (path.find('\0') != std::string::npos) throw ReaderError::os(EINVAL);
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw ReaderError::os(errno);
  // Reading a directory fails only at the first read on Linux; say so at once instead.
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw ReaderError::os(EISDIR);
  }
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::read_some(unsigned char* dst, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw ReaderError::os(errno);
  }
}

void InputFile::read_exact(unsigned char* dst, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const std::size_t got = read_some(dst + done, n - done);
    if (got == 0) throw ReaderError::short_read();
    done += got;
  }
}

void InputFile::read_exact_at(unsigned char* dst, std::size_t n, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < n) {
    if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      throw ReaderError::os(EINVAL);
    }
    const ssize_t got = ::pread(fd_, dst + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ReaderError::os(errno);
    }
    if (got == 0) throw ReaderError::short_read();
    done += static_cast<std::size_t>(got);
  }
}

void InputFile::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    throw ReaderError::os(EINVAL);
  }
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) throw ReaderError::os(errno);
}

std::uint64_t InputFile::tell() {
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0) throw ReaderError::os(errno);
  return static_cast<std::uint64_t>(at);
}

std::uint64_t InputFile::size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw ReaderError::os(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

BlockReader::BlockReader() : buffer_(new unsigned char[kBufferSize]) {}

void BlockReader::reset(ByteSource& source, std::uint64_t offset, std::uint64_t limit) {
  source.seek(offset);
  pos_ = len_ = 0;
  remaining_ = limit;
  pending_.reset();
  at_eof_ = false;
  partial_ = 0;
}

void BlockReader::fill(ByteSource& source) {
  // Keep an unserved partial block at the front, then top up.
  const std::size_t keep = len_ - pos_;
  if (keep > 0 && pos_ > 0) std::memmove(buffer_.get(), buffer_.get() + pos_, keep);
  pos_ = 0;
  len_ = keep;
  if (pending_) {
    const ReaderError err = std::move(*pending_);
    pending_.reset();
    throw err;
  }
  std::size_t want = kBufferSize - len_;
  if (remaining_ < want) want = static_cast<std::size_t>(remaining_);
  while (want > 0 && !at_eof_) {
    std::size_t n;
    try {
      n = source.read_some(buffer_.get() + len_, want);
    } catch (const ReaderError& e) {
      if (len_ == keep) throw;  // nothing new to serve first
      pending_ = e;
      break;
    }
    if (n == 0) {
      at_eof_ = true;
      break;
    }
    len_ += n;
    want -= n;
    remaining_ -= n;
  }
}

bool BlockReader::has_next(ByteSource& source) {
  if (len_ - pos_ < layout::kBlockSize) fill(source);
  // A fill that leaves less than a block met the end or the limit.
  const std::size_t left = len_ - pos_;
  if (left >= layout::kBlockSize || pending_) return true;
  if (left > 0 && !allow_partial_) return true;  // next() reports the cut block
  partial_ = left;
  return false;
}

const unsigned char* BlockReader::next(ByteSource& source) {
  if (len_ - pos_ < layout::kBlockSize) {
    fill(source);
    if (len_ == 0) return nullptr;
    if (len_ < layout::kBlockSize) {
      // A partial block: the rest may still come from a read that failed, which then wins.
      if (pending_) fill(source);
      if (allow_partial_) {
        partial_ = len_;
        pos_ = len_ = 0;
        return nullptr;
      }
      throw ReaderError::short_read();
    }
  }
  const unsigned char* block = buffer_.get() + pos_;
  pos_ += layout::kBlockSize;
  return block;
}

}  // namespace morvane
