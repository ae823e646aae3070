// write_cwa_csv, and the driver steps it shares with read_cwa_file.
#include "binding/cuts.hpp"
#include "module/entry.hpp"
#include "module/frame.hpp"
#include "package/csv.hpp"

namespace morvane::py {

namespace {

constexpr const char* kReadParams[] = {
    "file_path",     "cut",           "include_magnetometer", "include_temperature",
    "include_light", "include_battery", "resample_hz",         "resample_method",
    "fixed_utc_offset_timezone"};
constexpr const char* kWriteParams[] = {
    "file_path",           "output_path",   "cut",
    "include_magnetometer", "include_temperature", "include_light",
    "include_battery",     "resample_hz",   "resample_method",
    "fixed_utc_offset_timezone"};

}  // namespace

ReadArguments bind_read_arguments(bool csv, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr Signature kRead{"read_cwa_file", kReadParams, 8, 1};
  static constexpr Signature kWrite{"write_cwa_csv", kWriteParams, 9, 2};
  const Signature& sig = csv ? kWrite : kRead;
  PyObject* bound[10];
  bind_arguments(sig, args, nargs, kwnames, bound);
  ReadArguments a;
  std::size_t i = 0;
  a.file_path = arg_string(bound[i++], "file_path");
  if (csv) a.output_path = arg_string(bound[i++], "output_path");
  a.cut = bound[i++];
  // The CSV export leaves the auxiliary channels out unless asked; the DataFrame has them.
  a.include.temperature = a.include.light = a.include.battery = !csv;
  bool* flags[] = {&a.include.magnetometer, &a.include.temperature, &a.include.light,
                   &a.include.battery};
  for (bool* flag : flags) {
    const char* name = sig.params[i];
    PyObject* value = bound[i++];
    if (value) *flag = arg_bool(value, name);
  }
  PyObject* hz = bound[i++];
  if (hz && hz != Py_None) a.resample_hz = arg_double(hz, "resample_hz");
  PyObject* method = bound[i++];
  if (method) a.resample_method = arg_string(method, "resample_method");
  PyObject* tz = bound[i++];
  if (tz && tz != Py_None) a.tzinfo = arg_tzinfo(tz, "fixed_utc_offset_timezone");
  return a;
}

PreparedRead prepare_read(const ReadArguments& a) {
  PreparedRead p;
  const std::optional<CutSpec> cut = read_cut(a.cut);
  p.resample_hz = as_value_error([&] { return check_resample_options(a.resample_hz, a.resample_method); });
  p.selection = resolve_cut(a.file_path, cut);
  p.offset_us = fixed_offset_micros(a.tzinfo);
  return p;
}

PyObject* write_cwa_csv_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const ReadArguments a = bind_read_arguments(true, args, nargs, kwnames);
    const PreparedRead p = prepare_read(a);
    write_csv(a.file_path, a.output_path, p.selection, a.include, p.resample_hz,
              p.offset_us.value_or(0));
    Py_RETURN_NONE;
  });
}

}  // namespace morvane::py
