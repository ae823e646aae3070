#pragma once

#include <optional>
#include <string>

#include "header/metadata.hpp"
#include "header/scan.hpp"
#include "header/timetext.hpp"
#include "binding/pyref.hpp"

namespace morvane::py {

// Dictionary values: None for an absent one.
inline OwnedRef none_value() { return OwnedRef(Py_NewRef(Py_None)); }
inline OwnedRef text_or_none(const std::optional<std::string>& text) {
  if (!text) return OwnedRef(Py_NewRef(Py_None));
  return check(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
}

inline OwnedRef time_text(const std::optional<NaiveDateTime>& dt) {
  if (!dt) return OwnedRef(Py_NewRef(Py_None));
  return text_or_none(format_device_time(*dt));
}

inline OwnedRef micros_text(const std::optional<std::int64_t>& us) {
  if (!us) return OwnedRef(Py_NewRef(Py_None));
  return text_or_none(format_device_micros(*us));
}

inline OwnedRef float_or_none(const std::optional<double>& v) {
  if (!v) return OwnedRef(Py_NewRef(Py_None));
  return check(PyFloat_FromDouble(*v));
}

inline OwnedRef unsigned_int(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }

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

}  // namespace morvane::py
