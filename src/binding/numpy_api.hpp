// The one place that includes NumPy's C interface. Its table is loaded lazily, at the first array
// creation, not at module import.
#pragma once

#include "binding/pyref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL morvane_ARRAY_API
#ifndef MORVANE_NUMPY_DEFINE_TABLE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace morvane::py {

// Loads NumPy's C interface table on first use; raises the internal-failure exception
// ("Failed to access NumPy array API capsule...") when it cannot.
void ensure_numpy();

}  // namespace morvane::py
