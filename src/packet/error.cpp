#include "packet/error.hpp"

#include <system_error>

namespace morvane {

ReaderError::ReaderError(Kind kind, std::string body)
    : kind_(kind), text_(kind == Kind::io ? "IO error: " + body : std::move(body)) {}

ReaderError ReaderError::os(int errnum) {
  ReaderError e = io(std::system_category().message(errnum) + " (os error " +
                     std::to_string(errnum) + ")");
  e.errno_ = errnum;
  return e;
}

}  // namespace morvane
