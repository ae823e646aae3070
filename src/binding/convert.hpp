// Argument binding and conversion of the entry functions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "binding/pyref.hpp"

namespace morvane::py {

// A function's parameter list as its text signature states it.
struct Signature {
  const char* name;                  // the function's name, without "()"
  std::span<const char* const> params;
  std::size_t positional;            // parameters before the keyword-only marker
  std::size_t required;              // leading required positional parameters
};

// Matches positional and keyword arguments to the parameters; out[i] is the borrowed argument
// of parameter i, or nullptr when it was not given. Throws PythonError (TypeError set).
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// Conversions. Each throws PythonError; a TypeError is re-raised as
// "argument '<param>': <text>" with the original as __cause__.
std::string arg_string(PyObject* obj, const char* param);
bool arg_bool(PyObject* obj, const char* param);
double arg_double(PyObject* obj, const char* param);
std::uint64_t arg_u64(PyObject* obj, const char* param);
PyObject* arg_tzinfo(PyObject* obj, const char* param);

// The same conversions without the argument prefix, for values inside a cut dict.
std::string to_string(PyObject* obj);
double to_double(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);

// Checks the resampling options; throws ReaderError with the message.
std::optional<double> check_resample_options(std::optional<double> resample_hz,
                                             const std::string& resample_method);

// Microseconds east of UTC from a tzinfo's utcoffset(None); absent without a tzinfo.
std::optional<std::int64_t> fixed_offset_micros(PyObject* tzinfo);

}  // namespace morvane::py
