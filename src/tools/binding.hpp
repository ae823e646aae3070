// The companion module's own plumbing: its exception hook, its argument helpers and its entry
// points. The reference handle, lock release, NumPy hand-over, argument binding and the
// exception translator are the shared binding library's.
#pragma once

#include <string>

#include "binding/gil.hpp"
#include "binding/pyref.hpp"
#include "package/policy.hpp"

namespace morvane::tools {

using py::OwnedRef;
using py::WithoutGil;

// Creates BadBlockError and hooks the companion's mapping into the shared translator: a bad
// block becomes BadBlockError (attributes block and reason), an operating-system failure the
// matching OSError subclass with the path; every other failure goes the reader's way. Called
// at module creation.
bool init_errors(PyObject* module) noexcept;

// A file system path from str, bytes or os.PathLike, encoded as the file system wants it.
std::string fs_path(PyObject* obj);
bool truth(PyObject* obj);

// The policy of the companion's readers: tolerant input, the given bad-block rule.
ReadPolicy tool_policy(bool skip_bad, bool verify_checksums) noexcept;

// {"skipped_blocks": [...], "trailing_bytes": n, "compressed": b, "truncated": text or None}
OwnedRef report_dict(const ReadReport& report);

// Module functions, all METH_FASTCALL | METH_KEYWORDS; options are keyword-only.
using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* chunks_open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* chunks_next_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* chunks_report_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* chunks_survey_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* chunks_close_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* survey_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* first_sample_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_table_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* day_seconds_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* rolling_median_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morvane::tools
