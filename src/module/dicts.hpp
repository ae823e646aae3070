#pragma once

#include "header/metadata.hpp"
#include "header/scan.hpp"
#include "module/pyref.hpp"

namespace morvane::py {

// The dictionary of read_metadata: the metadata block's values and the data's first and last
// sample times.
PyObject* metadata_dict(const MetadataBlock& m, const DataTimeRange& range);

PyObject* read_metadata_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sampling_consistency_report_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace morvane::py
