// The one error type of the reading core. It is thrown by the core and turned into a Python
// exception in exactly one place at each module boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace morvane {

class ReaderError : public std::exception {
 public:
  // io: an operating-system or read failure; message: a fault of the recording or the request;
  // damaged: a compressed input that cannot be inflated any further.
  enum class Kind { io, message, damaged };

  // An operating-system failure, described as "<system message> (os error N)".
  static ReaderError os(int errnum);
  // An I/O failure without an errno, such as a short fixed-size read.
  static ReaderError io(std::string description) {
    return ReaderError(Kind::io, std::move(description));
  }
  static ReaderError message(std::string text) { return ReaderError(Kind::message, std::move(text)); }
  // A data block that a read must not use; the text is the block's fault alone, the block
  // number travels beside it for callers that name it.
  static ReaderError bad_block(std::string reason, std::uint64_t block) {
    ReaderError e(Kind::message, std::move(reason));
    e.block_ = block;
    return e;
  }
  static ReaderError damaged(std::string text) { return ReaderError(Kind::damaged, std::move(text)); }
  // The text of a fixed-size read that hit end of file.
  static ReaderError short_read() { return io("failed to fill whole buffer"); }

  Kind kind() const noexcept { return kind_; }
  // The message as the caller sees it: "IO error: ..." for I/O failures, else the message.
  const std::string& text() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }
  // The errno of an operating-system failure, 0 for every other error.
  int os_errno() const noexcept { return errno_; }
  // The data block a bad-block error is about.
  std::optional<std::uint64_t> block() const noexcept { return block_; }

 private:
  ReaderError(Kind kind, std::string body);
  Kind kind_;
  std::string text_;
  int errno_ = 0;
  std::optional<std::uint64_t> block_;
};

}  // namespace morvane
