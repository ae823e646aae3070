#include "binding/cuts.hpp"

#include "binding/convert.hpp"
#include "packet/error.hpp"

namespace morvane::py {

namespace {

// The dict's own value for `key`, borrowed, or null when the key is missing. A subclass's
// __getitem__ and __missing__ are not consulted.
PyObject* plain_lookup(PyObject* dict, const char* key) {
  OwnedRef name = check(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (!value && PyErr_Occurred()) throw PythonError{};
  return value;
}

}  // namespace

std::optional<CutSpec> read_cut(PyObject* obj) {
  if (!obj || obj == Py_None) return std::nullopt;
  if (!PyDict_Check(obj)) raise(PyExc_ValueError, "cut must be created by seconds() or blocks()");
  PyObject* type = plain_lookup(obj, "type");
  if (!type) raise(PyExc_ValueError, "cut is missing type");
  const std::string kind = to_string(type);
  CutSpec cut;
  // Keep the values alive while converting: a conversion can run Python code that edits the dict.
  OwnedRef start(Py_XNewRef(plain_lookup(obj, "start")));
  OwnedRef end(Py_XNewRef(plain_lookup(obj, "end")));
  auto given = [](const OwnedRef& v) { return v && v.get() != Py_None; };
  if (kind == "blocks") {
    cut.kind = CutSpec::Kind::blocks;
    if (given(start)) cut.start_block = to_u64(start.get());
    if (given(end)) cut.end_block = to_u64(end.get());
  } else if (kind == "seconds") {
    cut.kind = CutSpec::Kind::seconds;
    if (given(start)) cut.start_seconds = to_double(start.get());
    if (given(end)) cut.end_seconds = to_double(end.get());
  } else {
    raise(PyExc_ValueError, "cut type must be 'seconds' or 'blocks'");
  }
  as_value_error([&] { validate_cut(cut); });
  return cut;
}

}  // namespace morvane::py
