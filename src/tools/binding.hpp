// The companion module's plumbing: its exception mapping, interpreter-lock release and argument
// helpers. The reference handle, NumPy hand-over and conversions are the reader module's own.
#pragma once

#include <string>

#include "module/pyref.hpp"
#include "package/policy.hpp"

namespace morvane::tools {

using py::OwnedRef;

// Releases the interpreter lock for its lifetime; nothing inside may touch a Python object.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Creates BadBlockError; called at module creation. Borrowed afterwards.
bool init_errors(PyObject* module) noexcept;

// Runs a function body and maps failures the companion's way: a bad block becomes
// BadBlockError (attributes block and reason), an operating-system failure the matching OSError
// subclass with `path`, every other reading failure RuntimeError; the rest as the reader maps
// it.
PyObject* translate_tool_exception(const std::string& path) noexcept;

template <class F>
PyObject* tool_guarded(const std::string& path, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return translate_tool_exception(path);
  }
}

// A file system path from str, bytes or os.PathLike, encoded as the file system wants it.
std::string fs_path(PyObject* obj);
bool truth(PyObject* obj);

// The policy of the companion's readers: tolerant input, the given bad-block rule.
ReadPolicy tool_policy(bool skip_bad, bool verify_checksums) noexcept;

// {"skipped_blocks": [...], "trailing_bytes": n, "compressed": b, "truncated": text or None}
OwnedRef report_dict(const ReadReport& report);

// Module functions.
PyObject* read_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* chunks_open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* chunks_next_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* chunks_report_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* block_table_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* quality_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* metadata_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace morvane::tools
