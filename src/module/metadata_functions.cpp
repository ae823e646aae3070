// read_metadata and sampling_consistency_report: the two dictionaries built from the metadata
// block and the header-only scan of the data blocks.
#include "binding/convert.hpp"
#include "binding/dicts.hpp"
#include "header/metadata.hpp"
#include "header/scan.hpp"
#include "header/timetext.hpp"
#include "module/entry.hpp"

namespace morvane::py {

namespace {

constexpr const char* kPathParam[] = {"file_path"};

std::string bind_path(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{name, kPathParam, 1, 1};
  PyObject* bound[1];
  bind_arguments(sig, args, nargs, kwnames, bound);
  return arg_string(bound[0], "file_path");
}

}  // namespace

PyObject* read_metadata_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::string path = bind_path("read_metadata", args, nargs, kwnames);
    const MetadataBlock m = read_metadata_block(path);
    const DataTimeRange range = scan_data_time_range(path);
    return metadata_dict(m, range);
  });
}

PyObject* sampling_consistency_report_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::string path = bind_path("sampling_consistency_report", args, nargs, kwnames);
    const MetadataBlock m = read_metadata_block(path);
    const DataTimeRange range = scan_data_time_range(path);
    std::optional<double> header_span;
    if (m.logging_start_time && m.logging_end_time) {
      header_span = static_cast<double>(device_micros(*m.logging_end_time) -
                                        device_micros(*m.logging_start_time)) /
                    1000000.0;
    }
    std::optional<double> data_span;
    std::optional<double> data_rate;
    if (range.first_sample_us && range.last_sample_us) {
      // Both counts come from valid block times (years 2000 to 2064), so the difference fits.
      data_span = static_cast<double>(*range.last_sample_us - *range.first_sample_us) / 1000000.0;
      if (range.sample_count >= 2 && *data_span > 0.0) {
        data_rate = static_cast<double>(range.sample_count - 1) / *data_span;
      }
    }
    DictBuilder d;
    d.add("start_from_header_raw", time_text(m.logging_start_time));
    d.add("end_from_header_raw", time_text(m.logging_end_time));
    d.add("duration_s_from_header", float_or_none(header_span));
    d.add("start_from_data_raw", micros_text(range.first_sample_us));
    d.add("end_from_data_raw", micros_text(range.last_sample_us));
    d.add("duration_s_from_data", float_or_none(data_span));
    d.add("samplingrate_hz_from_header", check(PyFloat_FromDouble(m.sample_rate_hz)));
    d.add("samplingrate_hz_from_data", float_or_none(data_rate));
    return d.release();
  });
}

}  // namespace morvane::py
