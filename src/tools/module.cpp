// The companion's native module, morvane_tools._native: tolerant reading, chunked reading and
// the header-only views, on the reader's own core.
#include "tools/binding.hpp"

namespace morvane::tools {

PyObject* rolling_median_fn(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);  // median.cpp

namespace {

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"read", fastcall<read_fn>(), METH_FASTCALL, "Tolerant read of a recording."},
    {"chunks_open", fastcall<chunks_open_fn>(), METH_FASTCALL, "Open a chunked read."},
    {"chunks_next", fastcall<chunks_next_fn>(), METH_FASTCALL, "Next chunk, or None."},
    {"chunks_report", fastcall<chunks_report_fn>(), METH_FASTCALL, "What a chunked read met."},
    {"block_table", fastcall<block_table_fn>(), METH_FASTCALL, "Columns of the block table."},
    {"quality", fastcall<quality_fn>(), METH_FASTCALL, "The quality report."},
    {"metadata", fastcall<metadata_fn>(), METH_FASTCALL, "The metadata dictionary."},
    {"rolling_median", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rolling_median_fn)),
     METH_FASTCALL | METH_KEYWORDS, "Exact centred rolling median clipped at stretches."},
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
