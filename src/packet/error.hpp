// The one error type of the reading core. It is thrown by the core and turned into a Python
// exception in exactly one place, at the module boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace morvane {

class ReaderError : public std::exception {
 public:
  enum class Kind { io, message };

  // An operating-system failure, described as "<system message> (os error N)".
  static ReaderError os(int errnum);
  // An I/O failure without an errno, such as a short fixed-size read.
  static ReaderError io(std::string description) {
    return ReaderError(Kind::io, std::move(description));
  }
  static ReaderError message(std::string text) { return ReaderError(Kind::message, std::move(text)); }
  // The text of a fixed-size read that hit end of file.
  static ReaderError short_read() { return io("failed to fill whole buffer"); }

  Kind kind() const noexcept { return kind_; }
  // The message as the caller sees it: "IO error: ..." for I/O failures, else the message.
  const std::string& text() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  ReaderError(Kind kind, std::string body);
  Kind kind_;
  std::string text_;
};

}  // namespace morvane
