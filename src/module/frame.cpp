// read_cwa_file: the pipeline driver.
#include "binding/convert.hpp"
#include "binding/cuts.hpp"
#include "module/entry.hpp"
#include "module/frame.hpp"
#include "binding/handover.hpp"
#include "package/columns.hpp"
#include "package/pipeline.hpp"
#include "packet/error.hpp"

namespace morvane::py {

PyObject* read_cwa_file_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ReadArguments a = bind_read_arguments(false, args, nargs, kwnames);
    const PreparedRead prepared = prepare_read(a);
    SampleColumns columns =
        prepared.resample_hz
            ? read_resampled_columns(a.file_path, prepared.selection, a.include,
                                     *prepared.resample_hz, prepared.selection.window)
            : apply_time_range(read_block_columns(a.file_path, prepared.selection, a.include),
                               prepared.selection.window);
    return dataframe_from_columns(std::move(columns), prepared.offset_us);
  });
}

}  // namespace morvane::py
