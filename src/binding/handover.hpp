// Native column buffers handed to NumPy arrays without a copy, and the DataFrame built from them.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/pyref.hpp"
#include "package/columns.hpp"

namespace morvane::py {

// Loads NumPy's C interface table on first use.
void ensure_numpy();

// A one-dimensional array that takes the column's buffer over; the column is left empty.
// Instantiated for float, double, int64, uint8 and uint32 columns.
template <class T>
OwnedRef vector_to_ndarray(Column<T>&& column, int type_number);

// The pandas DataFrame of a read, indexed by "timestamp" (UTC-aware when an offset is given, which
// is subtracted from every time first). The columns are moved into it.
PyObject* dataframe_from_columns(SampleColumns&& columns, std::optional<std::int64_t> offset_us);

}  // namespace morvane::py
