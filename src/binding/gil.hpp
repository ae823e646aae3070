// Releasing the interpreter lock around native work that touches no Python object.
#pragma once

#include "binding/pyref.hpp"

namespace morvane::py {

// Releases the interpreter lock for its lifetime; nothing inside may touch a Python object.
// The reader's own module never uses it (it keeps the lock from entry to return); the companion
// releases it while the core reads, so that threaded schedulers overlap its calls.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace morvane::py
