// The cut dictionaries of seconds() and blocks(), and reading a cut argument back.
#pragma once

#include <optional>

#include "module/pyref.hpp"
#include "package/pipeline.hpp"

namespace morvane::py {

PyObject* seconds_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* blocks_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

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
