#include "binding/convert.hpp"

#include <datetime.h>

#include <cmath>

#include "packet/error.hpp"

namespace morvane::py {

namespace {

const char* plural(std::size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

std::string fn(const Signature& sig) { return std::string(sig.name) + "()"; }

[[noreturn]] void not_convertible(PyObject* obj, const char* target) {
  raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to '" + target + "'");
}

// The datetime C interface, imported on first use.
bool datetime_ready() {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

// Re-raises a pending TypeError as "argument '<param>': <text>" chained to the original; other
// exceptions pass unchanged.
[[noreturn]] void prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
#if PY_VERSION_HEX >= 0x030C0000
  OwnedRef cause(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  OwnedRef cause(value);
#endif
  OwnedRef text(PyObject_Str(cause.get()));
  if (!text) throw PythonError{};
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) throw PythonError{};
  OwnedRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) throw PythonError{};
  PyException_SetContext(error.get(), Py_NewRef(cause.get()));
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw PythonError{};
}

template <class F>
auto with_prefix(const char* param, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(param);
  }
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  const std::size_t nparams = sig.params.size();
  for (std::size_t i = 0; i < nparams; ++i) out[i] = nullptr;
  const auto given = static_cast<std::size_t>(nargs);
  if (given > sig.positional) {
    const std::string verb = given == 1 ? " was given" : " were given";
    if (sig.required < sig.positional) {
      raise(PyExc_TypeError, fn(sig) + " takes from " + std::to_string(sig.required) + " to " +
                                 std::to_string(sig.positional) + " positional arguments but " +
                                 std::to_string(given) + verb);
    }
    raise(PyExc_TypeError, fn(sig) + " takes " + std::to_string(sig.positional) +
                               " positional arguments but " + std::to_string(given) + verb);
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = nparams;
    for (std::size_t i = 0; i < nparams; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == nparams) {
      OwnedRef text(PyObject_Str(key));
      const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (!utf8) throw PythonError{};
      raise(PyExc_TypeError, fn(sig) + " got an unexpected keyword argument '" + utf8 + "'");
    }
    if (out[index]) {
      raise(PyExc_TypeError,
            fn(sig) + " got multiple values for argument '" + sig.params[index] + "'");
    }
    out[index] = args[nargs + k];
  }
  std::size_t missing = 0;
  std::string list;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i]) continue;
    if (missing > 0) list += " and ";
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++missing;
  }
  if (missing > 0) {
    raise(PyExc_TypeError, fn(sig) + " missing " + std::to_string(missing) + " required positional " +
                               plural(missing, "argument", "arguments") + ": " + list);
  }
}

std::string to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) not_convertible(obj, "PyString");
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!text) throw PythonError{};
  return std::string(text, static_cast<std::size_t>(len));
}

double to_double(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::uint64_t to_u64(PyObject* obj) {
  OwnedRef index = check(PyNumber_Index(obj));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

namespace {

bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  OwnedRef module(PyObject_GetAttrString(type, "__module__"));
  OwnedRef name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (!PyLong_Check(obj) && is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    check_status(truth);
    return truth != 0;
  }
  not_convertible(obj, "PyBool");
}

}  // namespace

std::string arg_string(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return to_string(obj); });
}
bool arg_bool(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return to_bool(obj); });
}
double arg_double(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return to_double(obj); });
}
std::uint64_t arg_u64(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return to_u64(obj); });
}
PyObject* arg_tzinfo(PyObject* obj, const char* param) {
  return with_prefix(param, [&]() -> PyObject* {
    if (!datetime_ready()) throw PythonError{};
    if (!PyTZInfo_Check(obj)) not_convertible(obj, "PyTzInfo");
    return obj;
  });
}

std::optional<double> check_resample_options(std::optional<double> resample_hz,
                                             const std::string& resample_method) {
  if (!resample_hz) return std::nullopt;
  const double hz = *resample_hz;
  if (!std::isfinite(hz) || hz <= 0.0) {
    throw ReaderError::message("resample_hz must be a finite value > 0");
  }
  if (hz > 10000.0) throw ReaderError::message("resample_hz must be <= 10000");
  if (resample_method != "cubic") {
    throw ReaderError::message("Unsupported resample_method '" + resample_method +
                               "'. Supported: cubic");
  }
  return hz;
}

std::optional<std::int64_t> fixed_offset_micros(PyObject* tzinfo) {
  if (!tzinfo) return std::nullopt;
  if (!datetime_ready()) throw PythonError{};
  OwnedRef name = check(PyUnicode_InternFromString("utcoffset"));
  OwnedRef offset = check(PyObject_CallMethodOneArg(tzinfo, name.get(), Py_None));
  if (!PyDelta_Check(offset.get())) not_convertible(offset.get(), "PyDelta");
  const std::int64_t days = PyDateTime_DELTA_GET_DAYS(offset.get());
  const std::int64_t seconds = PyDateTime_DELTA_GET_SECONDS(offset.get());
  const std::int64_t micros = PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
  // A fixed offset lies strictly within a day either way, as Python's own tzinfo rule says; a
  // normalised timedelta inside that range has days 0, or -1 with a positive remainder. This
  // also keeps the arithmetic below far from overflow.
  if (!(days == 0 || (days == -1 && (seconds != 0 || micros != 0)))) {
    raise(PyExc_ValueError,
          "offset must be a timedelta strictly between -timedelta(hours=24) and "
          "timedelta(hours=24)");
  }
  return (days * 86400 + seconds) * 1000000 + micros;
}

}  // namespace morvane::py
