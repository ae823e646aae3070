#pragma once

#include "module/pyref.hpp"

namespace morvane::py {

PyObject* read_metadata_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sampling_consistency_report_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace morvane::py
