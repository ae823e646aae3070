// Tolerant reading: the whole selection at once, or a recording a chunk of blocks at a time.
#include <atomic>
#include <limits>

#include "module/convert.hpp"
#include "module/cuts.hpp"
#include "module/handover.hpp"
#include "package/pipeline.hpp"
#include "packet/error.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {

void expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs != want) {
    py::raise(PyExc_TypeError, std::string(name) + "() takes " + std::to_string(want) +
                                   " positional arguments but " + std::to_string(nargs) +
                                   " were given");
  }
}

IncludeFlags include_flags(PyObject* const* args) {
  IncludeFlags f;
  f.magnetometer = truth(args[0]);
  f.temperature = truth(args[1]);
  f.light = truth(args[2]);
  f.battery = truth(args[3]);
  return f;
}

std::optional<std::int64_t> offset_of(PyObject* tz) {
  if (tz == Py_None) return std::nullopt;
  return py::fixed_offset_micros(py::arg_tzinfo(tz, "fixed_utc_offset_timezone"));
}

}  // namespace

// read(path, cut, include_magnetometer, include_temperature, include_light, include_battery,
//      resample_hz, tzinfo, skip_bad, verify_checksums) -> (DataFrame, report)
PyObject* read_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_args("read", nargs, 10);
    path = fs_path(args[0]);
    const std::optional<CutSpec> cut = py::read_cut(args[1]);
    const IncludeFlags include = include_flags(args + 2);
    std::optional<double> hz;
    if (args[6] != Py_None) {
      const double value = py::arg_double(args[6], "resample_hz");
      hz = py::as_value_error([&] { return py::check_resample_options(value, "cubic"); });
    }
    const std::optional<std::int64_t> offset = offset_of(args[7]);
    ReadReport report;
    const ReadContext ctx{tool_policy(truth(args[8]), truth(args[9])), &report};
    SampleColumns columns;
    {
      WithoutGil unlocked;
      const BlockSelection selection = resolve_cut(path, cut, ctx);
      columns = hz ? read_resampled_columns(path, selection, include, *hz, selection.window, ctx)
                   : apply_time_range(read_block_columns(path, selection, include, ctx),
                                      selection.window);
    }
    OwnedRef frame = py::check(py::dataframe_from_columns(std::move(columns), offset));
    OwnedRef summary = report_dict(report);
    return PyTuple_Pack(2, frame.get(), summary.get());
  });
}

namespace {

constexpr const char* kChunkCapsule = "morvane_tools._native.ChunkStream";

// One recording read a chunk at a time. Owned by its capsule; used by one thread at a time.
struct ChunkStream {
  ReadReport report;
  std::optional<BlockColumnReader> reader;
  std::optional<std::int64_t> offset;
  std::uint64_t rows = 0;
  std::atomic<bool> busy{false};
};

void chunk_stream_free(PyObject* capsule) {
  delete static_cast<ChunkStream*>(PyCapsule_GetPointer(capsule, kChunkCapsule));
}

ChunkStream& stream_of(PyObject* capsule) {
  auto* s = static_cast<ChunkStream*>(PyCapsule_GetPointer(capsule, kChunkCapsule));
  if (!s) throw py::PythonError{};
  return *s;
}

// Marks a stream in use for one call.
class InUse {
 public:
  explicit InUse(ChunkStream& s) : s_(s) {
    if (s_.busy.exchange(true)) {
      py::raise(PyExc_RuntimeError, "the chunk reader is already in use by another thread");
    }
  }
  ~InUse() { s_.busy = false; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  ChunkStream& s_;
};

}  // namespace

// chunks_open(path, include_magnetometer, include_temperature, include_light, include_battery,
//             tzinfo, skip_bad, verify_checksums) -> stream
PyObject* chunks_open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_args("chunks_open", nargs, 8);
    path = fs_path(args[0]);
    const IncludeFlags include = include_flags(args + 1);
    auto stream = std::make_unique<ChunkStream>();
    stream->offset = offset_of(args[5]);
    const ReadContext ctx{tool_policy(truth(args[6]), truth(args[7])), &stream->report};
    {
      WithoutGil unlocked;
      stream->reader.emplace(open_block_range(path, BlockSelection{}, ctx), include);
    }
    OwnedRef capsule = py::check(PyCapsule_New(stream.get(), kChunkCapsule, chunk_stream_free));
    stream.release();
    return capsule.release();
  });
}

// chunks_next(stream, max_blocks, path) -> DataFrame, or None once the recording is read
PyObject* chunks_next_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string path;
  return tool_guarded(path, [&]() -> PyObject* {
    expect_args("chunks_next", nargs, 3);
    ChunkStream& s = stream_of(args[0]);
    const std::uint64_t max_blocks = py::arg_u64(args[1], "max_blocks");
    path = fs_path(args[2]);
    if (max_blocks == 0) py::raise(PyExc_ValueError, "max_blocks must be at least 1");
    InUse in_use(s);
    SampleColumns columns;
    {
      WithoutGil unlocked;
      while (!s.reader->done()) {
        columns = s.reader->read(max_blocks);
        if (!columns.time.empty()) break;
      }
    }
    if (columns.time.empty()) {
      if (s.rows == 0) {
        throw ReaderError::message(s.reader->screen().explain(
            "No valid sample data found in the specified range", &s.report));
      }
      Py_RETURN_NONE;
    }
    s.rows += columns.time.size();
    return py::dataframe_from_columns(std::move(columns), s.offset);
  });
}

// chunks_report(stream) -> report of what the reading met so far
PyObject* chunks_report_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return tool_guarded(std::string(), [&]() -> PyObject* {
    expect_args("chunks_report", nargs, 1);
    ChunkStream& s = stream_of(args[0]);
    InUse in_use(s);
    return report_dict(s.report).release();
  });
}

}  // namespace morvane::tools
