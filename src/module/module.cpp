// The module object: its six functions, their text signatures and docstrings.
#include "binding/cuts.hpp"
#include "binding/dicts.hpp"
#include "module/entry.hpp"
#include "module/frame.hpp"
#include "binding/pyref.hpp"

namespace morvane::py {

namespace {

constexpr char kReadMetadataDoc[] =
    "read_metadata(file_path)\n--\n\n"
    "Read CWA header and sample timing metadata without timezone conversion.\n"
    "Scans packet metadata without decoding sensor values.\n"
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`\n"
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,\n"
    "or None when unset. Convert them to UTC or local time for most analysis.\n"
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual\n"
    "sample timestamps, including packet sample offsets and continuity correction,\n"
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.\n"
    "`last_change_time_raw` records the last metadata write, which need not be\n"
    "the last clock synchronization; check your configuration software.";

constexpr char kReportDoc[] =
    "sampling_consistency_report(file_path)\n--\n\n"
    "Return a sampling consistency report for a CWA file.\n"
    "\n"
    "The returned dictionary contains:\n"
    "\n"
    "- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or\n"
    "  `None` when either header timestamp is unavailable.\n"
    "- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data\n"
    "  packets, using the same packet timestamp, `timestampOffset`, and continuity\n"
    "  correction as `read_cwa_file`.\n"
    "- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data\n"
    "  packets, using the same timestamp calculation as `read_cwa_file`.\n"
    "- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is\n"
    "  the inclusive first-sample-to-last-sample span, not the half-open packet end.\n"
    "- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata\n"
    "  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.\n"
    "- `samplingrate_hz_from_data`: effective sampling rate calculated as\n"
    "  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two\n"
    "  samples or no positive data duration are available.\n"
    "\n"
    "All timestamp strings preserve the raw device clock without a timezone.\n"
    "Convert them to UTC or local time before analysis using the clock-sync offset.\n"
    "This method accepts no UTC offset or timezone.";

constexpr char kSecondsDoc[] = "seconds(start=None, end=None)\n--\n\n";
constexpr char kBlocksDoc[] = "blocks(start=None, end=None)\n--\n\n";

constexpr char kReadCwaFileDoc[] =
    "read_cwa_file(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\", *, "
    "fixed_utc_offset_timezone=None)\n--\n\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.\n"
    "Its fixed offset is subtracted throughout and the index is UTC-aware.\n"
    "Otherwise the index is naive. Determine any named timezone's offset in Python\n"
    "at clock synchronization, rather than at recording start.\n"
    "Numeric channel columns retain their float32 dtype.\n"
    "\n"
    "Gyro and magnetometer columns are included only when present in the selected\n"
    "samples. Recorded zero measurements remain present; missing samples in a\n"
    "present channel are NaN.\n"
    "\n"
    "Optional resampling parameters:\n"
    "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
    "- `resample_method`: currently supports `\"cubic\"`.";

constexpr char kWriteCwaCsvDoc[] =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\", *, fixed_utc_offset_timezone=None)\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;\n"
    "with it, numeric `time` values are UTC Unix seconds.\n"
    "Otherwise they encode the device clock without assigning a timezone.";

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction fastcall() {
  // The fast-call-with-keywords convention is registered through the generic slot type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"read_metadata", fastcall<read_metadata_fn>(), METH_FASTCALL | METH_KEYWORDS, kReadMetadataDoc},
    {"sampling_consistency_report", fastcall<sampling_consistency_report_fn>(),
     METH_FASTCALL | METH_KEYWORDS, kReportDoc},
    {"seconds", fastcall<seconds_fn>(), METH_FASTCALL | METH_KEYWORDS, kSecondsDoc},
    {"blocks", fastcall<blocks_fn>(), METH_FASTCALL | METH_KEYWORDS, kBlocksDoc},
    {"read_cwa_file", fastcall<read_cwa_file_fn>(), METH_FASTCALL | METH_KEYWORDS, kReadCwaFileDoc},
    {"write_cwa_csv", fastcall<write_cwa_csv_fn>(), METH_FASTCALL | METH_KEYWORDS, kWriteCwaCsvDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "morvane",
    "Fast, exact reader of CWA accelerometer recordings.",
    0,  // no per-module state; lets a re-import reach PyInit, which hands back the one module
    nullptr,  // functions are added one by one, with __all__
    nullptr, nullptr, nullptr, nullptr,
};

// The module object of this process and the interpreter that created it.
PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

PyObject* create_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (g_module) {
    if (interp != g_interpreter) {
      raise(PyExc_ImportError, "morvane can be loaded in one interpreter per process only");
    }
    return Py_NewRef(g_module);
  }
  if (!init_internal_error("morvane.InternalError")) throw PythonError{};
  OwnedRef module = check(PyModule_Create(&kModule));
  OwnedRef all = check(PyList_New(0));
  OwnedRef module_name = check(PyUnicode_FromString("morvane"));
  for (PyMethodDef* def = kMethods; def->ml_name; ++def) {
    OwnedRef function = check(PyCFunction_NewEx(def, module.get(), module_name.get()));
    check_status(PyModule_AddObjectRef(module.get(), def->ml_name, function.get()));
    OwnedRef name = check(PyUnicode_FromString(def->ml_name));
    check_status(PyList_Append(all.get(), name.get()));
  }
  check_status(PyModule_AddObjectRef(module.get(), "__all__", all.get()));
  g_module = Py_NewRef(module.get());
  g_interpreter = interp;
  return module.release();
}

}  // namespace

}  // namespace morvane::py

PyMODINIT_FUNC PyInit_morvane(void) {
  return morvane::py::guarded([] { return morvane::py::create_module(); });
}
