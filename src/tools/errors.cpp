#include <cerrno>

#include "module/dicts.hpp"
#include "packet/error.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {
PyObject* g_bad_block_error = nullptr;  // created once per process, never released
}

bool init_errors(PyObject* module) noexcept {
  if (!g_bad_block_error) {
    g_bad_block_error = PyErr_NewExceptionWithDoc(
        "morvane_tools.BadBlockError",
        "A data block that a read with bad_blocks=\"raise\" must not use.\n\n"
        "Attributes: `block` (its number after the metadata block, from 0) and `reason` (why).",
        PyExc_RuntimeError, nullptr);
    if (!g_bad_block_error) return false;
  }
  return PyModule_AddObjectRef(module, "BadBlockError", g_bad_block_error) == 0;
}

namespace {

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

}  // namespace

PyObject* translate_tool_exception(const std::string& path) noexcept {
  try {
    throw;
  } catch (const ReaderError& e) {
    if (e.block() && g_bad_block_error) {
      raise_bad_block(e);
    } else if (e.os_errno() != 0) {
      raise_os_error(e.os_errno(), path);
    } else {
      return py::translate_current_exception();
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error mapping failed");
    return nullptr;
  } catch (...) {
    return py::translate_current_exception();
  }
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

namespace {

OwnedRef text(const std::string& s) { return py::text_or_none(s); }

}  // namespace

OwnedRef report_dict(const ReadReport& report) {
  OwnedRef skipped = py::check(PyList_New(0));
  for (const SkippedBlock& s : report.skipped) {
    OwnedRef item = py::check(PyDict_New());
    OwnedRef block = py::check(PyLong_FromUnsignedLongLong(s.block));
    py::check_status(PyDict_SetItemString(item.get(), "block", block.get()));
    py::check_status(PyDict_SetItemString(item.get(), "reason", text(bad_reason_text(s.reason, s.format)).get()));
    py::check_status(PyList_Append(skipped.get(), item.get()));
  }
  OwnedRef d = py::check(PyDict_New());
  py::check_status(PyDict_SetItemString(d.get(), "skipped_blocks", skipped.get()));
  OwnedRef trailing = py::check(PyLong_FromUnsignedLongLong(report.trailing_bytes));
  py::check_status(PyDict_SetItemString(d.get(), "trailing_bytes", trailing.get()));
  py::check_status(PyDict_SetItemString(d.get(), "compressed", report.compressed ? Py_True : Py_False));
  OwnedRef truncated = report.truncated ? text(*report.truncated) : OwnedRef(Py_NewRef(Py_None));
  py::check_status(PyDict_SetItemString(d.get(), "truncated", truncated.get()));
  return d;
}

}  // namespace morvane::tools
