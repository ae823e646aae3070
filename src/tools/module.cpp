// The companion's native module, morvane_tools._native: tolerant and chunked reading, the
// header-only survey of a recording and its block table, on the reader's own core; and the
// rolling median the z-angle of sleep analysis is made from.
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {

template <Entry F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"read", fastcall<read_fn>(), kKeywords, "Tolerant read of a recording."},
    {"chunks_open", fastcall<chunks_open_fn>(), kKeywords, "Open a chunked read."},
    {"chunks_next", fastcall<chunks_next_fn>(), kKeywords, "Next chunk, or None."},
    {"chunks_report", fastcall<chunks_report_fn>(), kKeywords, "What a chunked read met."},
    {"chunks_survey", fastcall<chunks_survey_fn>(), kKeywords,
     "The survey a whole chunked read collected, once it is done."},
    {"chunks_close", fastcall<chunks_close_fn>(), kKeywords, "Close a chunked read's file."},
    {"survey", fastcall<survey_fn>(), kKeywords, "The header-only survey of a recording."},
    {"first_sample", fastcall<first_sample_fn>(), kKeywords, "The first sample's device time."},
    {"block_table", fastcall<block_table_fn>(), kKeywords, "Columns of the block table."},
    {"day_seconds", fastcall<day_seconds_fn>(), kKeywords,
     "Seconds of spans per day, split at the days' first instants."},
    {"rolling_median", fastcall<rolling_median_fn>(), kKeywords,
     "Exact centred rolling median clipped at stretches."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "morvane_tools._native",
    "Native part of morvane_tools, on the same core as morvane.", 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
  if (!py::init_internal_error("morvane_tools.InternalError")) throw py::PythonError{};
  OwnedRef module = py::check(PyModule_Create(&kModule));
  if (!init_errors(module.get())) throw py::PythonError{};
  return module.release();
}

}  // namespace

}  // namespace morvane::tools

PyMODINIT_FUNC PyInit__native(void) {
  return morvane::py::guarded([] { return morvane::tools::create_module(); });
}
