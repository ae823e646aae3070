#include "tools/arguments.hpp"

#include <cstring>

namespace morvane::tools {

PyObject* Arguments::get(const char* param) const noexcept {
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (std::strcmp(params_[i], param) == 0) return bound_[i];
  }
  return nullptr;
}

bool Arguments::flag(const char* param, bool fallback) const {
  PyObject* v = get(param);
  return v ? py::arg_bool(v, param) : fallback;
}

std::optional<std::int64_t> Arguments::optional_int(const char* param) const {
  PyObject* v = get(param);
  if (!v || v == Py_None) return std::nullopt;
  const long long value = PyLong_AsLongLong(v);
  if (value == -1 && PyErr_Occurred()) throw py::PythonError{};
  return value;
}

std::optional<double> Arguments::optional_double(const char* param) const {
  PyObject* v = get(param);
  if (!v || v == Py_None) return std::nullopt;
  return py::arg_double(v, param);
}

unsigned Arguments::threads() const {
  PyObject* v = get("threads");
  if (!v) return 1;
  const std::uint64_t n = py::arg_u64(v, "threads");
  if (n < 1 || n > 1024) py::raise(PyExc_ValueError, "threads must be between 1 and 1024");
  return static_cast<unsigned>(n);
}

IncludeFlags include_flags(const Arguments& a) {
  IncludeFlags f;
  f.magnetometer = a.flag("include_magnetometer", true);
  f.temperature = a.flag("include_temperature", true);
  f.light = a.flag("include_light", true);
  f.battery = a.flag("include_battery", true);
  return f;
}

ReadContext read_context(const Arguments& a, ReadReport* report) {
  ReadContext ctx;
  ctx.policy = tool_policy(a.flag("skip_bad", true), a.flag("verify_checksums", true));
  if (PyObject* v = a.get("inflater")) {
    const std::string name = py::arg_string(v, "inflater");
    if (name == "zlib") {
      ctx.policy.inflater = Inflater::zlib;
    } else if (name != "auto") {
      py::raise(PyExc_ValueError, "inflater must be 'auto' or 'zlib'");
    }
  }
  ctx.threads = a.threads();
  ctx.report = report;
  return ctx;
}

}  // namespace morvane::tools
