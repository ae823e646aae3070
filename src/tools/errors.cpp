#include <cerrno>

#include "binding/dicts.hpp"
#include "packet/error.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {

PyObject* g_bad_block_error = nullptr;  // created once per process, never released

void raise_bad_block(const ReaderError& e) {
  const std::string& reason = e.text();
  const std::string text = reason + " (block " + std::to_string(*e.block()) + ")";
  OwnedRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return;
  OwnedRef error(PyObject_CallOneArg(g_bad_block_error, message.get()));
  if (!error) return;
  OwnedRef block(PyLong_FromUnsignedLongLong(*e.block()));
  OwnedRef why(PyUnicode_FromStringAndSize(reason.data(), static_cast<Py_ssize_t>(reason.size())));
  if (!block || !why || PyObject_SetAttrString(error.get(), "block", block.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "reason", why.get()) < 0) {
    return;
  }
  PyErr_SetObject(g_bad_block_error, error.get());
}

void raise_os_error(int errnum, const std::string& path) {
  OwnedRef name(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!name) return;
  errno = errnum;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
}

bool map_reader_error(const ReaderError& e, const std::string* path) noexcept {
  if (e.block() && g_bad_block_error) {
    raise_bad_block(e);
    return true;
  }
  if (e.os_errno() != 0 && path) {
    raise_os_error(e.os_errno(), *path);
    return true;
  }
  return false;
}

}  // namespace

bool init_errors(PyObject* module) noexcept {
  if (!g_bad_block_error) {
    g_bad_block_error = PyErr_NewExceptionWithDoc(
        "morvane_tools.BadBlockError",
        "A data block that a read with bad_blocks=\"raise\" must not use.\n\n"
        "Attributes: `block` (its number after the metadata block, from 0) and `reason` (why).",
        PyExc_RuntimeError, nullptr);
    if (!g_bad_block_error) return false;
  }
  py::set_reader_error_hook(map_reader_error);
  return PyModule_AddObjectRef(module, "BadBlockError", g_bad_block_error) == 0;
}

std::string fs_path(PyObject* obj) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded)) throw py::PythonError{};
  OwnedRef bytes(encoded);
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

bool truth(PyObject* obj) {
  const int t = PyObject_IsTrue(obj);
  py::check_status(t);
  return t != 0;
}

ReadPolicy tool_policy(bool skip_bad, bool verify_checksums) noexcept {
  ReadPolicy p;
  p.tolerant_input = true;
  p.skip_bad = skip_bad;
  p.verify_checksums = verify_checksums;
  return p;
}

OwnedRef report_dict(const ReadReport& report) {
  OwnedRef skipped = py::check(PyList_New(0));
  for (const SkippedBlock& s : report.skipped) {
    py::DictBuilder item;
    item.add("block", py::unsigned_int(s.block));
    item.add("reason", py::text_or_none(bad_reason_text(s.reason, s.format)));
    py::check_status(PyList_Append(skipped.get(), item.get()));
  }
  py::DictBuilder d;
  d.add("skipped_blocks", std::move(skipped));
  d.add("trailing_bytes", py::unsigned_int(report.trailing_bytes));
  d.add("compressed", OwnedRef(PyBool_FromLong(report.compressed)));
  d.add("truncated", py::text_or_none(report.truncated));
  return OwnedRef(d.release());
}

}  // namespace morvane::tools
