// Input files: an owned read-only descriptor and a buffered reader of 512-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "packet/error.hpp"
#include "packet/layout.hpp"

namespace morvane {

// Owns one open descriptor; closes it on every path. Every failure throws ReaderError::os.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  InputFile(InputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

  // Reads up to n bytes, retrying interrupted calls; returns 0 only at end of file.
  std::size_t read_some(unsigned char* dst, std::size_t n);
  // Reads exactly n bytes; end of file first is "failed to fill whole buffer".
  void read_exact(unsigned char* dst, std::size_t n);
  // Reads exactly n bytes at `offset` without moving the file position (safe beside a thread
  // that reads on); end of file first is "failed to fill whole buffer".
  void read_exact_at(unsigned char* dst, std::size_t n, std::uint64_t offset);
  void seek(std::uint64_t offset);
  std::uint64_t size();
  std::uint64_t tell();
  int fd() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

class ByteSource;

// Serves consecutive 512-byte blocks from a byte source through a larger buffer. It never reads
// past the bytes its caller says it may still need, and a read error met while filling is kept
// until the blocks read before it have been served, so callers see errors exactly where a
// block-at-a-time reader would.
class BlockReader {
 public:
  BlockReader();
  // Positions the source at `offset`; at most `limit` bytes will be read from there.
  void reset(ByteSource& source, std::uint64_t offset, std::uint64_t limit);
  // The next block, or nullptr at the end (no byte left). A block cut short by the end throws
  // "failed to fill whole buffer", unless partial ends are allowed: then it is counted in
  // partial_bytes() and the end is reported.
  const unsigned char* next(ByteSource& source);
  // True when next() would serve a block or throw, false at a clean end.
  bool has_next(ByteSource& source);
  void allow_partial_end(bool allow) noexcept { allow_partial_ = allow; }
  std::size_t partial_bytes() const noexcept { return partial_; }

 private:
  void fill(ByteSource& source);
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t remaining_ = 0;  // bytes the caller may still need beyond the buffer
  std::optional<ReaderError> pending_;
  bool at_eof_ = false;
  bool allow_partial_ = false;
  std::size_t partial_ = 0;
};

}  // namespace morvane
