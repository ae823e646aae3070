// The module's Python plumbing: an owning reference handle, the marker for "a Python exception
// is set", and the helpers every entry function shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace morvane {
class ReaderError;
}

namespace morvane::py {

// Owns one strong reference; releases it when it goes out of scope.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
  ~OwnedRef() { Py_XDECREF(obj_); }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Thrown after a Python exception has been set; the boundary returns NULL with it.
struct PythonError {};

// Takes a new reference from a C-API call; throws PythonError when the call failed.
inline OwnedRef check(PyObject* obj) {
  if (!obj) throw PythonError{};
  return OwnedRef(obj);
}
inline void check_status(int status) {
  if (status < 0) throw PythonError{};
}

// Sets `type` with `text` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& text);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// The exception for conditions the module treats as impossible; derives from BaseException.
[[noreturn]] void raise_internal(const std::string& text);

// Runs an entry function body and turns every failure into a Python exception: the one place
// where the core's errors meet Python. `path` names the file a failure concerns, for the hook.
PyObject* translate_current_exception(const std::string* path = nullptr) noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return translate_current_exception();
  }
}

template <class F>
PyObject* guarded(const std::string& path, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return translate_current_exception(&path);
  }
}

// A module may map some reading failures its own way before the common rule (a reading failure
// becomes RuntimeError with its text): the hook sets the Python exception and returns true, or
// returns false to leave the failure to the rule. Set once, at module creation.
using ReaderErrorHook = bool (*)(const ReaderError& error, const std::string* path) noexcept;
void set_reader_error_hook(ReaderErrorHook hook) noexcept;

// Creates the exception type for internal failures ("<module>.InternalError"); called at module
// creation.
bool init_internal_error(const char* qualified_name) noexcept;

}  // namespace morvane::py
