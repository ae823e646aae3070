// Where the bytes of a recording come from: the file itself, or the file inflated on the fly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "packet/error.hpp"
#include "packet/file.hpp"

namespace morvane {

// A forward stream of a recording's bytes. Borrows the file it reads, which must outlive it.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes (n > 0); 0 only at the end. Throws ReaderError: os for a failed read, damaged
  // once a compressed stream cannot be inflated further (after handing out every byte before
  // the damage).
  virtual std::size_t read_some(unsigned char* dst, std::size_t n) = 0;
  // Continues at byte `offset` of the recording. A compressed stream goes back by inflating
  // again from its start.
  virtual void seek(std::uint64_t offset) = 0;
  virtual bool compressed() const noexcept = 0;
  // The recording's length in bytes where it is known without reading it all.
  virtual std::optional<std::uint64_t> size_hint() = 0;
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(InputFile& file) : file_(file) {}
  std::size_t read_some(unsigned char* dst, std::size_t n) override { return file_.read_some(dst, n); }
  void seek(std::uint64_t offset) override { file_.seek(offset); }
  bool compressed() const noexcept override { return false; }
  std::optional<std::uint64_t> size_hint() override { return file_.size(); }

 private:
  InputFile& file_;
};

// True when the bytes start a gzip member (0x1F 0x8B).
bool is_gzip_magic(const unsigned char* bytes, std::size_t n) noexcept;

// A gzip file (one or more members) inflated as it is read, with a fixed amount of memory. A
// member whose check value or length does not match, a stream cut short and bytes after the last
// member that start no new one are damage.
std::unique_ptr<ByteSource> make_gzip_source(InputFile& file);

}  // namespace morvane
