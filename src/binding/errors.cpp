#include <new>

#include "binding/pyref.hpp"
#include "packet/error.hpp"

namespace morvane::py {

namespace {
PyObject* g_internal_error = nullptr;  // created once per process, never released
ReaderErrorHook g_reader_error_hook = nullptr;
}

void set_reader_error_hook(ReaderErrorHook hook) noexcept { g_reader_error_hook = hook; }

bool init_internal_error(const char* qualified_name) noexcept {
  if (g_internal_error) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      qualified_name, "A failure the reader treats as impossible.", PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

namespace {

// Sets `type` with the whole text: a message may quote caller text holding NUL characters, which
// PyErr_SetString would cut short.
void set_error_text(PyObject* type, const std::string& text) noexcept {
  PyObject* value = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!value) return;  // the decoding error stays set
  PyErr_SetObject(type, value);
  Py_DECREF(value);
}

}  // namespace

void raise(PyObject* type, const std::string& text) {
  set_error_text(type, text);
  throw PythonError{};
}

void raise_internal(const std::string& text) {
  raise(g_internal_error ? g_internal_error : PyExc_SystemError, text);
}

std::string type_name(PyObject* obj) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name && PyUnicode_Check(name)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &len);
    if (text) {
      std::string result(text, static_cast<std::size_t>(len));
      Py_DECREF(name);
      return result;
    }
  }
  Py_XDECREF(name);
  PyErr_Clear();
  return "<failed to extract type name>";
}

PyObject* translate_current_exception(const std::string* path) noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const ReaderError& e) {
    if (g_reader_error_hook && g_reader_error_hook(e, path)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error mapping failed");
      return nullptr;
    }
    set_error_text(PyExc_RuntimeError, e.text());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError,
                    "unknown internal failure");
  }
  return nullptr;
}

}  // namespace morvane::py
