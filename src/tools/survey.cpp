// Header-only views of a recording: the survey (metadata, quality, data block spans), the first
// sample's time and the block table.
#include "binding/dicts.hpp"
#include "binding/arrays.hpp"
#include "binding/handover.hpp"
#include "binding/numpy_api.hpp"
#include "header/timetext.hpp"
#include "package/survey.hpp"
#include "tools/arguments.hpp"
#include "tools/survey_dict.hpp"

namespace morvane::tools {

namespace {

using Dict = py::DictBuilder;

OwnedRef none() { return py::none_value(); }
OwnedRef integer(unsigned long long v) { return py::unsigned_int(v); }
OwnedRef real(double v) { return py::float_or_none(v); }
OwnedRef text(const std::string& s) { return py::text_or_none(s); }
OwnedRef boolean(bool b) { return OwnedRef(Py_NewRef(b ? Py_True : Py_False)); }
OwnedRef real_or_none(const std::optional<float>& v) {
  return v ? real(static_cast<double>(*v)) : none();
}

constexpr const char* kPathParams[] = {"path", "verify_checksums", "threads", "inflater"};

// A header pass's context: the survey's tolerant policy with the call's checksum rule,
// inflater and threads.
ReadContext header_context(const Arguments& a) {
  ReadContext ctx = read_context(a, nullptr);
  return survey_context(ctx.policy.verify_checksums, ctx.policy.inflater, ctx.threads);
}

OwnedRef quality_dict(const RecordingQuality& q, bool verify) {
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
  d.add("inflater", q.read.inflater.empty() ? none() : text(q.read.inflater));
  d.add("samples", integer(r.sample_count));
  d.add("first_sample", py::micros_text(r.first_sample_us));
  d.add("last_sample", py::micros_text(r.last_sample_us));
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
  d.add("days", none());
  d.add("temperature_range", std::move(temperature_range));
  d.add("battery_first", real_or_none(q.battery_first));
  d.add("battery_last", real_or_none(q.battery_last));
  return OwnedRef(d.release());
}

}  // namespace

OwnedRef survey_dict(RecordingQuality&& q) {
  Dict spans;
  spans.add("block", py::vector_to_ndarray(std::move(q.span_block), NPY_INT64));
  spans.add("start", py::vector_to_ndarray(std::move(q.span_start), NPY_DOUBLE));
  spans.add("end", py::vector_to_ndarray(std::move(q.span_end), NPY_DOUBLE));
  spans.add("raw_start", py::vector_to_ndarray(std::move(q.span_raw_start), NPY_DOUBLE));
  Dict d;
  d.add("metadata", OwnedRef(py::metadata_dict(q.metadata, q.range)));
  d.add("quality", quality_dict(q, q.verified));
  d.add("spans", OwnedRef(spans.release()));
  return OwnedRef(d.release());
}

// survey(path, *, verify_checksums) -> the survey dictionary (see survey_dict)
PyObject* survey_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("survey", kPathParams, args, nargs, kwnames);
    path = fs_path(a.first());
    const ReadContext how = header_context(a);
    RecordingQuality q;
    {
      WithoutGil unlocked;
      q = assess_recording(path, how);
    }
    return survey_dict(std::move(q)).release();
  });
}

// first_sample(path, *, verify_checksums) -> device microseconds of the first sample, or None
PyObject* first_sample_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("first_sample", kPathParams, args, nargs, kwnames);
    path = fs_path(a.first());
    const ReadContext how = header_context(a);
    std::optional<std::int64_t> first;
    {
      WithoutGil unlocked;
      first = first_sample_time(path, how);
    }
    if (!first) Py_RETURN_NONE;
    return PyLong_FromLongLong(*first);
  });
}

// day_seconds(start, end, bounds, *, whole_days) -> (seconds per day, whether each got data)
PyObject* day_seconds_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"start", "end", "bounds", "whole_days"};
    static constexpr py::Signature kSig{"day_seconds", kParams, 3, 3};
    PyObject* bound[4];
    py::bind_arguments(kSig, args, nargs, kwnames, bound);
    auto span_of = [](PyObject* obj, const char* what) {
      PyArrayObject* a = py::checked_array(obj, what, NPY_DOUBLE);
      return std::span<const double>(static_cast<const double*>(PyArray_DATA(a)),
                                     py::length_of(a));
    };
    const std::span<const double> start = span_of(bound[0], "start");
    const std::span<const double> end = span_of(bound[1], "end");
    const std::span<const double> days = span_of(bound[2], "bounds");
    const bool whole = bound[3] ? py::arg_bool(bound[3], "whole_days") : false;
    if (start.size() != end.size()) py::raise(PyExc_ValueError, "start and end differ in length");
    DaySeconds d;
    {
      WithoutGil unlocked;
      d = split_by_days(start, end, days, whole);
    }
    Column<double> seconds;
    seconds.append(d.seconds.data(), d.seconds.size());
    Column<std::uint8_t> used;
    used.append(d.used.data(), d.used.size());
    OwnedRef a = py::vector_to_ndarray(std::move(seconds), NPY_DOUBLE);
    OwnedRef b = py::vector_to_ndarray(std::move(used), NPY_UINT8);
    return PyTuple_Pack(2, a.get(), b.get());
  });
}

// block_table(path, *, verify_checksums) -> (dict of arrays, reason texts, report)
PyObject* block_table_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("block_table", kPathParams, args, nargs, kwnames);
    path = fs_path(a.first());
    const ReadContext how = header_context(a);
    BlockTable t;
    {
      WithoutGil unlocked;
      t = tabulate_blocks(path, how);
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

}  // namespace morvane::tools
