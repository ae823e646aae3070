// Header-only views of a recording: the block table, the quality report and the metadata.
#include "header/timetext.hpp"
#include "module/dicts.hpp"
#include "module/handover.hpp"
#include "module/numpy_api.hpp"
#include "package/survey.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {

void expect_two(const char* name, Py_ssize_t nargs) {
  if (nargs != 2) {
    py::raise(PyExc_TypeError, std::string(name) + "() takes 2 positional arguments but " +
                                   std::to_string(nargs) + " were given");
  }
}

using Dict = py::DictBuilder;

OwnedRef none() { return py::none_value(); }
OwnedRef integer(unsigned long long v) { return py::unsigned_int(v); }
OwnedRef real(double v) { return py::float_or_none(v); }
OwnedRef text(const std::string& s) { return py::text_or_none(s); }
OwnedRef boolean(bool b) { return OwnedRef(Py_NewRef(b ? Py_True : Py_False)); }
OwnedRef real_or_none(const std::optional<float>& v) {
  return v ? real(static_cast<double>(*v)) : none();
}
using py::micros_text;

std::string day_text(std::int64_t day) {
  NaiveDateTime dt;
  civil_from_days(day, dt.year, dt.month, dt.day);
  std::string s = format_device_time(dt);
  return s.substr(0, s.find('T'));
}

}  // namespace

// quality(path, verify_checksums) -> dict
PyObject* quality_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_two("quality", nargs);
    path = fs_path(args[0]);
    const bool verify = truth(args[1]);
    RecordingQuality q;
    {
      WithoutGil unlocked;
      q = assess_recording(path, verify);
    }
    std::optional<double> rate;
    const DataTimeRange& r = q.range;
    if (r.first_sample_us && r.last_sample_us) {
      const double span = static_cast<double>(*r.last_sample_us - *r.first_sample_us) / 1000000.0;
      if (r.sample_count >= 2 && span > 0.0) rate = static_cast<double>(r.sample_count - 1) / span;
    }
    Dict reasons;
    for (const auto& [reason, count] : q.bad_block_reasons) {
      py::check_status(PyDict_SetItemString(reasons.get(), reason.c_str(), integer(count).get()));
    }
    OwnedRef sessions = py::check(PyList_New(0));
    for (std::uint32_t s : q.session_ids) py::check_status(PyList_Append(sessions.get(), integer(s).get()));
    OwnedRef axes = py::check(PyList_New(0));
    for (unsigned a : q.axes) py::check_status(PyList_Append(axes.get(), integer(a).get()));
    OwnedRef days = py::check(PyList_New(0));
    for (const auto& [day, seconds] : q.day_seconds) {
      Dict d;
      d.add("date", text(day_text(day)));
      d.add("hours", real(seconds / 3600.0));
      py::check_status(PyList_Append(days.get(), d.get()));
    }
    OwnedRef temperature_range = none();
    if (q.temperature_min && q.temperature_max) {
      temperature_range = py::check(PyList_New(2));
      PyList_SET_ITEM(temperature_range.get(), 0, real_or_none(q.temperature_min).release());
      PyList_SET_ITEM(temperature_range.get(), 1, real_or_none(q.temperature_max).release());
    }
    Dict d;
    d.add("blocks", integer(q.blocks));
    d.add("data_blocks", integer(q.data_blocks));
    d.add("erased_blocks", integer(q.erased_blocks));
    d.add("empty_blocks", integer(q.empty_blocks));
    d.add("bad_blocks", integer(q.bad_blocks));
    d.add("bad_block_reasons", OwnedRef(reasons.release()));
    d.add("checksum_failures", integer(q.checksum_failures));
    d.add("checksums_verified", boolean(verify));
    d.add("trailing_bytes", integer(q.read.trailing_bytes));
    d.add("compressed", boolean(q.read.compressed));
    d.add("truncated", q.read.truncated ? text(*q.read.truncated) : none());
    d.add("samples", integer(r.sample_count));
    d.add("first_sample", micros_text(r.first_sample_us));
    d.add("last_sample", micros_text(r.last_sample_us));
    d.add("nominal_rate_hz", real(q.metadata.sample_rate_hz));
    d.add("effective_rate_hz", rate ? real(*rate) : none());
    d.add("sequence_breaks", integer(q.sequence_breaks));
    d.add("missing_blocks", integer(q.missing_blocks));
    d.add("gaps", integer(q.gaps));
    d.add("gap_seconds", real(q.gap_seconds));
    d.add("longest_gap_seconds", real(q.longest_gap_seconds));
    d.add("backward_jumps", integer(q.backward_jumps));
    d.add("rate_changes", integer(q.rate_changes));
    d.add("format_changes", integer(q.format_changes));
    d.add("session_ids", std::move(sessions));
    d.add("axes", std::move(axes));
    d.add("days", std::move(days));
    d.add("temperature_range", std::move(temperature_range));
    d.add("battery_first", real_or_none(q.battery_first));
    d.add("battery_last", real_or_none(q.battery_last));
    return d.release();
  });
}

// block_table(path, verify_checksums) -> (dict of arrays, reason texts, report)
PyObject* block_table_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_two("block_table", nargs);
    path = fs_path(args[0]);
    const bool verify = truth(args[1]);
    BlockTable t;
    {
      WithoutGil unlocked;
      t = tabulate_blocks(path, verify);
    }
    Dict columns;
    columns.add("block", py::vector_to_ndarray(std::move(t.block), NPY_INT64));
    columns.add("status", py::vector_to_ndarray(std::move(t.status), NPY_UINT8));
    columns.add("reason", py::vector_to_ndarray(std::move(t.reason), NPY_UINT8));
    columns.add("checksum_ok", py::vector_to_ndarray(std::move(t.checksum_ok), NPY_UINT8));
    columns.add("session_id", py::vector_to_ndarray(std::move(t.session_id), NPY_INT64));
    columns.add("sequence_id", py::vector_to_ndarray(std::move(t.sequence_id), NPY_INT64));
    columns.add("samples", py::vector_to_ndarray(std::move(t.samples), NPY_INT64));
    columns.add("rate_hz", py::vector_to_ndarray(std::move(t.rate_hz), NPY_DOUBLE));
    columns.add("format", py::vector_to_ndarray(std::move(t.format), NPY_INT64));
    columns.add("start", py::vector_to_ndarray(std::move(t.start), NPY_INT64));
    columns.add("end", py::vector_to_ndarray(std::move(t.end), NPY_INT64));
    columns.add("temperature", py::vector_to_ndarray(std::move(t.temperature), NPY_FLOAT));
    columns.add("light", py::vector_to_ndarray(std::move(t.light), NPY_FLOAT));
    columns.add("battery", py::vector_to_ndarray(std::move(t.battery), NPY_FLOAT));
    OwnedRef reasons = py::check(PyList_New(0));
    for (std::size_t i = 0; i < t.reasons.size(); ++i) {
      OwnedRef item = i == 0 ? none() : text(t.reasons[i]);
      py::check_status(PyList_Append(reasons.get(), item.get()));
    }
    OwnedRef report = report_dict(t.read);
    return PyTuple_Pack(3, columns.get(), reasons.get(), report.get());
  });
}

// metadata(path, verify_checksums) -> the read_metadata dictionary, data times over the valid
// blocks
PyObject* metadata_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_two("metadata", nargs);
    path = fs_path(args[0]);
    const bool verify = truth(args[1]);
    MetadataBlock m;
    DataTimeRange range;
    {
      WithoutGil unlocked;
      ReadReport report;
      m = survey_recording(path, verify, report, [&](const SurveyBlock& b) {
        if (b.cls.kind == BlockKind::data) {
          extend_time_range(range, b.span.start, b.span.end, b.cls.timing.sample_count);
        }
      });
    }
    return py::metadata_dict(m, range);
  });
}

}  // namespace morvane::tools
