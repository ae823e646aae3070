// seconds() and blocks(): the cut dictionaries of the reader's own module.
#include "binding/convert.hpp"
#include "binding/cuts.hpp"
#include "module/entry.hpp"
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

}  // namespace morvane::py
