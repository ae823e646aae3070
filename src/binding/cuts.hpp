// Reading a cut argument (the dictionaries of seconds() and blocks()) back into a cut.
#pragma once

#include <optional>

#include "binding/pyref.hpp"
#include "package/pipeline.hpp"

namespace morvane::py {

// Reads the `cut` argument (borrowed, may be null or None) into a validated cut. Throws
// PythonError: ValueError for a malformed or invalid cut, conversion errors unchanged.
std::optional<CutSpec> read_cut(PyObject* cut);

// Raises ValueError with the text of a ReaderError thrown by `check`.
template <class F>
auto as_value_error(F&& check) -> decltype(check()) {
  try {
    return check();
  } catch (const ReaderError& e) {
    raise(PyExc_ValueError, e.text());
  }
}

}  // namespace morvane::py
