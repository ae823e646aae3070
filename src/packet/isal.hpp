// The fast path of the gzip source: ISA-L inflates the members it can vouch for, and stops,
// without handing out a byte it cannot vouch for, at the first sign of trouble. Internal to
// gzip.cpp, which hands the rest of the stream to zlib from the point this one names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "packet/file.hpp"

namespace morvane {

class FastInflater {
 public:
  virtual ~FastInflater() = default;
  // Where zlib takes over: the first byte of the member that ISA-L could not finish (or of what
  // follows the last good member), how many bytes came out before it, and whether a member ended
  // just before it (zlib then checks for a new member's first byte as it does between members).
  struct Handover {
    std::uint64_t file_offset = 0;
    std::uint64_t out_offset = 0;
    bool after_member = false;
  };

  // Up to n bytes (n > 0). 0 at the clean end of the stream (done() is true) or when ISA-L gives
  // up (done() is false and handover() says where). Throws ReaderError::os for a failed read and
  // std::bad_alloc, both retried by the next call.
  virtual std::size_t read_some(unsigned char* dst, std::size_t n) = 0;
  virtual bool done() const noexcept = 0;
  virtual Handover handover() const noexcept = 0;
  // Back to the first byte of the file.
  virtual void restart() = 0;
};

// Null when the build has no ISA-L. Positions `file` at its start; borrows it.
std::unique_ptr<FastInflater> make_isal_inflater(InputFile& file);

}  // namespace morvane
