#include "module/cuts.hpp"

#include "module/convert.hpp"
#include "packet/error.hpp"

namespace morvane::py {

namespace {

constexpr const char* kCutParams[] = {"start", "end"};

OwnedRef optional_float(const std::optional<double>& v) {
  if (!v) return OwnedRef(Py_NewRef(Py_None));
  return check(PyFloat_FromDouble(*v));
}

OwnedRef optional_int(const std::optional<std::uint64_t>& v) {
  if (!v) return OwnedRef(Py_NewRef(Py_None));
  return check(PyLong_FromUnsignedLongLong(*v));
}

PyObject* cut_dict(const char* type, OwnedRef start, OwnedRef end) {
  OwnedRef dict = check(PyDict_New());
  OwnedRef type_text = check(PyUnicode_FromString(type));
  check_status(PyDict_SetItemString(dict.get(), "type", type_text.get()));
  check_status(PyDict_SetItemString(dict.get(), "start", start.get()));
  check_status(PyDict_SetItemString(dict.get(), "end", end.get()));
  return dict.release();
}

// The dict's own value for `key`, borrowed, or null when the key is missing. A subclass's
// __getitem__ and __missing__ are not consulted.
PyObject* plain_lookup(PyObject* dict, const char* key) {
  OwnedRef name = check(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (!value && PyErr_Occurred()) throw PythonError{};
  return value;
}

}  // namespace

namespace {

// seconds() and blocks(): bind, convert start then end, validate, and build the dict. The two
// differ only in the number type of their bounds.
template <class T>
PyObject* make_cut(const char* name, CutSpec::Kind kind, std::optional<T> CutSpec::*start,
                   std::optional<T> CutSpec::*end, T (*convert)(PyObject*, const char*),
                   OwnedRef (*to_python)(const std::optional<T>&), PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const Signature sig{name, kCutParams, 2, 0};
    PyObject* bound[2];
    bind_arguments(sig, args, nargs, kwnames, bound);
    CutSpec cut;
    cut.kind = kind;
    if (bound[0] && bound[0] != Py_None) cut.*start = convert(bound[0], "start");
    if (bound[1] && bound[1] != Py_None) cut.*end = convert(bound[1], "end");
    as_value_error([&] { validate_cut(cut); });
    return cut_dict(name, to_python(cut.*start), to_python(cut.*end));
  });
}

}  // namespace

PyObject* seconds_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return make_cut<double>("seconds", CutSpec::Kind::seconds, &CutSpec::start_seconds,
                          &CutSpec::end_seconds, arg_double, optional_float, args, nargs, kwnames);
}

PyObject* blocks_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return make_cut<std::uint64_t>("blocks", CutSpec::Kind::blocks, &CutSpec::start_block,
                                 &CutSpec::end_block, arg_u64, optional_int, args, nargs, kwnames);
}

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
