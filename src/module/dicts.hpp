#pragma once

#include "header/metadata.hpp"
#include "header/scan.hpp"
#include "module/pyref.hpp"

namespace morvane::py {

// Inserts keys in call order; a dict keeps it. Owns the dict until it is released.
class DictBuilder {
 public:
  DictBuilder() : dict_(check(PyDict_New())) {}
  void add(const char* key, OwnedRef value) {
    check_status(PyDict_SetItemString(dict_.get(), key, value.get()));
  }
  PyObject* get() const noexcept { return dict_.get(); }
  PyObject* release() noexcept { return dict_.release(); }

 private:
  OwnedRef dict_;
};

// The dictionary of read_metadata: the metadata block's values and the data's first and last
// sample times.
PyObject* metadata_dict(const MetadataBlock& m, const DataTimeRange& range);

PyObject* read_metadata_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sampling_consistency_report_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace morvane::py
