// Tolerant reading: the whole selection at once, or a recording a chunk of blocks at a time.
#include <atomic>
#include <limits>
#include <memory>

#include "binding/cuts.hpp"
#include "binding/handover.hpp"
#include "package/pipeline.hpp"
#include "package/survey.hpp"
#include "packet/error.hpp"
#include "tools/arguments.hpp"
#include "tools/survey_dict.hpp"

namespace morvane::tools {

namespace {

constexpr const char* kReadParams[] = {
    "path",          "cut",          "include_magnetometer", "include_temperature",
    "include_light", "include_battery", "resample_hz",       "utc_offset_us",
    "skip_bad",      "verify_checksums", "threads",             "inflater"};

}  // namespace

// read(path, *, cut, include_*, resample_hz, utc_offset_us, skip_bad, verify_checksums, threads)
// -> (DataFrame, report)
PyObject* read_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("read", kReadParams, args, nargs, kwnames);
    path = fs_path(a.first());
    const std::optional<CutSpec> cut = py::read_cut(a.get("cut"));
    const IncludeFlags include = include_flags(a);
    std::optional<double> hz = a.optional_double("resample_hz");
    if (hz) hz = py::as_value_error([&] { return py::check_resample_options(*hz, "cubic"); });
    const std::optional<std::int64_t> offset = a.optional_int("utc_offset_us");
    ReadReport report;
    const ReadContext ctx = read_context(a, &report);
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

// One recording read a chunk at a time. Owned by its capsule; used by one thread at a time. The
// reader (and with it the open file) goes when the stream is closed or the capsule freed.
struct ChunkStream {
  std::string path;
  ReadReport report;
  std::optional<BlockColumnReader> reader;
  std::unique_ptr<RecordingSurveyor> surveyor;  // when the read also surveys the recording
  std::optional<MetadataBlock> metadata;
  std::optional<std::int64_t> offset;
  std::uint64_t rows = 0;
  bool finished = false;  // every block has been read
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

constexpr const char* kOpenParams[] = {
    "path",         "include_magnetometer", "include_temperature", "include_light",
    "include_battery", "utc_offset_us",     "skip_bad",            "verify_checksums",
    "survey",       "threads",              "inflater"};
constexpr const char* kNextParams[] = {"stream", "max_blocks"};
constexpr const char* kStreamParams[] = {"stream"};

}  // namespace

// chunks_open(path, *, include_*, utc_offset_us, skip_bad, verify_checksums, survey, threads)
// -> stream
PyObject* chunks_open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("chunks_open", kOpenParams, args, nargs, kwnames);
    path = fs_path(a.first());
    const IncludeFlags include = include_flags(a);
    auto stream = std::make_unique<ChunkStream>();
    stream->path = path;
    stream->offset = a.optional_int("utc_offset_us");
    const ReadContext ctx = read_context(a, &stream->report);
    const bool survey = a.flag("survey", false);
    {
      WithoutGil unlocked;
      BlockRange range = open_block_range(path, BlockSelection{}, ctx);
      if (survey) {
        stream->metadata = parse_metadata_block(range.head->data());
        stream->surveyor = std::make_unique<RecordingSurveyor>(ctx.policy.verify_checksums);
      }
      stream->reader.emplace(std::move(range), include);
      if (survey) stream->reader->observe(stream->surveyor.get());
    }
    OwnedRef capsule = py::check(PyCapsule_New(stream.get(), kChunkCapsule, chunk_stream_free));
    stream.release();
    return capsule.release();
  });
}

// chunks_next(stream, *, max_blocks) -> DataFrame, or None once the recording is read
PyObject* chunks_next_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::guarded(path, [&]() -> PyObject* {
    const Arguments a("chunks_next", kNextParams, args, nargs, kwnames);
    ChunkStream& s = stream_of(a.first());
    path = s.path;
    PyObject* limit = a.get("max_blocks");
    const std::uint64_t max_blocks = limit ? py::arg_u64(limit, "max_blocks") : 8192;
    if (max_blocks == 0) py::raise(PyExc_ValueError, "max_blocks must be at least 1");
    InUse in_use(s);
    if (!s.reader) py::raise(PyExc_ValueError, "the chunked read is closed");
    SampleColumns columns;
    {
      WithoutGil unlocked;
      while (!s.reader->done()) {
        columns = s.reader->read(max_blocks);
        if (!columns.time.empty()) break;
      }
    }
    if (columns.time.empty()) {
      s.finished = true;
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
PyObject* chunks_report_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    const Arguments a("chunks_report", kStreamParams, args, nargs, kwnames);
    ChunkStream& s = stream_of(a.first());
    InUse in_use(s);
    return report_dict(s.report).release();
  });
}

// chunks_survey(stream) -> the survey of the recording once every block has been read, else None;
// it is handed over once
PyObject* chunks_survey_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    const Arguments a("chunks_survey", kStreamParams, args, nargs, kwnames);
    ChunkStream& s = stream_of(a.first());
    InUse in_use(s);
    if (!s.surveyor || !s.finished || !s.metadata) Py_RETURN_NONE;
    // Handed over once: the columns move into the arrays.
    RecordingQuality q = s.surveyor->finish(*s.metadata, s.report);
    s.surveyor.reset();
    return survey_dict(std::move(q)).release();
  });
}

// chunks_close(stream) -> None; drops the reader and closes the file
PyObject* chunks_close_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    const Arguments a("chunks_close", kStreamParams, args, nargs, kwnames);
    ChunkStream& s = stream_of(a.first());
    InUse in_use(s);
    s.reader.reset();
    Py_RETURN_NONE;
  });
}

}  // namespace morvane::tools
