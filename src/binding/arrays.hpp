// NumPy arrays coming in: the checks every entry point makes before it reads one.
#pragma once

#include <cstddef>
#include <string>

#include "binding/numpy_api.hpp"

namespace morvane::py {

// A borrowed one-dimensional, aligned, C-contiguous array in native byte order of the NumPy type
// `type` (or either float type when `type` is -1); TypeError or ValueError naming `what`.
PyArrayObject* checked_array(PyObject* obj, const std::string& what, int type);
std::size_t length_of(PyArrayObject* a);

}  // namespace morvane::py
