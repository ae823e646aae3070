// The shared front half of read_cwa_file and write_cwa_csv: binding, conversion, and the first
// four steps of the pipeline driver.
#pragma once

#include <optional>
#include <string>

#include "binding/convert.hpp"
#include "package/pipeline.hpp"

namespace morvane::py {

// Converted arguments; `cut` and `tzinfo` are borrowed for the call.
struct ReadArguments {
  std::string file_path;
  std::string output_path;
  PyObject* cut = nullptr;
  IncludeFlags include;
  std::optional<double> resample_hz;
  std::string resample_method = "cubic";
  PyObject* tzinfo = nullptr;
};

ReadArguments bind_read_arguments(bool csv, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

struct PreparedRead {
  BlockSelection selection;
  std::optional<double> resample_hz;
  std::optional<std::int64_t> offset_us;
};

// Reads the cut, checks the resampling options, resolves the cut (a seconds cut scans the file)
// and takes the UTC offset, in this order.
PreparedRead prepare_read(const ReadArguments& arguments);

}  // namespace morvane::py
