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
  // The recording's length in bytes where it is known without reading it all. Never moves the
  // file position, so a source read by another thread can answer it.
  virtual std::optional<std::uint64_t> size_hint() = 0;
  // "isa-l" or "zlib" for compressed input (the inflater chosen when it was opened), else null.
  virtual const char* inflater() const noexcept { return nullptr; }
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

// Which inflater reads gzip input. automatic takes ISA-L when the build found it, else zlib; zlib
// forces zlib. Both hand out the same bytes and report damage with the same text at the same
// byte (gzip.cpp says how, and names the one kind of stream where they cannot).
enum class Inflater : std::uint8_t { automatic, zlib };

// True when this build links ISA-L (CMake found it and MORVANE_INFLATER is not zlib).
bool isal_built() noexcept;

// A gzip file (one or more members) inflated as it is read, with a fixed amount of memory. A
// member whose check value or length does not match, a stream cut short and bytes after the last
// member that start no new one are damage.
std::unique_ptr<ByteSource> make_gzip_source(InputFile& file, Inflater inflater = Inflater::automatic);

// Reads `inner` ahead on a second thread into a few MiB of buffers, so that inflating overlaps
// the caller's decoding. Owns `inner`; stops and joins its thread before it goes. From the
// caller's side it behaves exactly as `inner` read directly: the same bytes, the same exception
// after the same bytes (an error is retried only when the caller reads again, as it would be),
// seek by reading on or by starting again from the beginning. Where no thread can be started it
// reads `inner` on the caller's thread.
std::unique_ptr<ByteSource> make_read_ahead_source(std::unique_ptr<ByteSource> inner);

}  // namespace morvane
