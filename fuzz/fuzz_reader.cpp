// libFuzzer target over the Python-free core: every input is a candidate CWA file that goes
// through the metadata parse, the header scan, the three kinds of cut, the block read with its
// time filter, the resampling read and both CSV writers; then through the tolerant reads (bad
// blocks skipped, checksums verified or not) of the file itself and of a gzip copy of it, the
// quality scan and the block table, and the gzip inflater over the input as compressed data,
// read with ISA-L (where the build has it) and zlib, on one thread and with the read-ahead.
//
// A thrown ReaderError is an expected outcome for malformed input, and so is std::bad_alloc from
// the column growth guard. Anything else (a sanitizer report, another exception, a broken
// invariant checked below) aborts and is a finding.
//
// The cut, the resample rates, the include flags and the UTC offset are taken from bytes 42..63
// of the metadata block, which no reader interprets: the fuzzer can vary them without disturbing
// the parsed metadata, and a seed's values stay put while its data blocks mutate.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "header/metadata.hpp"
#include "header/scan.hpp"
#include "package/csv.hpp"
#include "package/survey.hpp"
#include "package/pipeline.hpp"
#include "packet/error.hpp"
#include "packet/timing.hpp"

namespace {

using morvane::BlockSelection;
using morvane::CutSpec;
using morvane::IncludeFlags;
using morvane::ReaderError;
using morvane::SampleColumns;
using morvane::TimeWindow;

// Resampled outputs are kept below this many rows: a timestamp jump of years at a high rate would
// otherwise ask for billions of rows, which is the caller's choice, not a defect. Each row costs
// microseconds under the sanitizers, and executions per second matter more than long outputs.
constexpr double kMaxRows = 5000.0;
// Block times come from a packed date-time (years 2000..2063) plus an offset of under four days,
// so no two samples of any file lie further apart than this.
constexpr double kWorstSpreadSeconds = 2.1e9;

constexpr std::size_t kParamOffset = 42;
constexpr std::size_t kParamSize = 22;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "fuzz_reader: invariant broken: %s\n", what);
  std::abort();
}

struct Params {
  unsigned char b[kParamSize] = {};
  explicit Params(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < kParamSize && kParamOffset + i < size; ++i) b[i] = data[kParamOffset + i];
  }
  std::uint16_t u16(std::size_t i) const { return static_cast<std::uint16_t>(b[i] | (b[i + 1] << 8)); }
  bool bit(std::size_t byte, int n) const { return (b[byte] >> n) & 1; }
};

// Mostly seconds within the first minutes of a recording, now and then a value the cut
// validation or the window check has to refuse.
double seconds_value(std::uint16_t v) {
  switch (v >> 12) {
    case 0xF: {
      static constexpr double odd[] = {0.0,    -0.0, 1e-9, 1e300, 1.7e308, -1.0, 1e-300, 4e9,
                                       2.5e-7, 1e6,  86400.0, 3600.5, 0.5, 1.0, 1.2, 60.0};
      return odd[v & 15];
    }
    case 0xE:
      return std::numeric_limits<double>::quiet_NaN();
    default:
      return static_cast<double>(v) / 128.0;
  }
}

// A rate in (0, 10000], the range the module accepts.
double rate_value(std::uint16_t v) {
  if (v == 0) return 10000.0;
  const double hz = (v & 0x8000) ? static_cast<double>(v & 0x7FFF) / 3.0 : static_cast<double>(v) / 512.0;
  if (!(hz > 0.0)) return 1e-3;
  return hz > 10000.0 ? 10000.0 : hz;
}

struct TempPaths {
  std::string input;
  std::string output;
  std::string packed;  // the input gzip-compressed, or raw behind a gzip header
  TempPaths() {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string stem = std::string(dir) + "/morvane-fuzz-" + std::to_string(::getpid());
    input = stem + ".cwa";
    output = stem + ".csv";
    packed = stem + ".cwa.gz";
  }
  ~TempPaths() {
    ::unlink(input.c_str());
    ::unlink(output.c_str());
    ::unlink(packed.c_str());
  }
};

const TempPaths& paths() {
  static const TempPaths p;
  return p;
}

void write_input(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror("fuzz_reader: cannot create input file");
    std::abort();
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror("fuzz_reader: cannot write input file");
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Runs one step; only the reader's own failures are expected.
template <class F>
bool attempt(F&& f) {
  try {
    f();
    return true;
  } catch (const ReaderError& e) {
    if (e.text().empty()) broken("ReaderError without a message");
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void check_shape(const SampleColumns& c, const IncludeFlags* include) {
  const std::size_t rows = c.rows();
  for (const auto& a : c.acc) {
    if (a.size() != rows) broken("accelerometer column length differs from time");
  }
  for (const auto* group : {&c.gyro, &c.mag}) {
    for (const auto& col : *group) {
      if (col && col->size() != rows) broken("gyroscope/magnetometer column length differs from time");
    }
  }
  for (const auto* col : {&c.temperature, &c.light, &c.battery}) {
    if (*col && (*col)->size() != rows) broken("auxiliary column length differs from time");
  }
  if (include) {
    if (c.temperature.has_value() != include->temperature || c.light.has_value() != include->light ||
        c.battery.has_value() != include->battery) {
      broken("auxiliary columns do not follow the include flags");
    }
    if (!include->magnetometer && (c.mag[0] || c.mag[1] || c.mag[2])) {
      broken("magnetometer column despite include_magnetometer off");
    }
  }
}

// Seconds between the earliest and latest sample of a read, or nothing for an empty read.
std::optional<double> spread_seconds(const SampleColumns& c) {
  if (c.rows() == 0) return std::nullopt;
  std::int64_t lo = c.time[0];
  std::int64_t hi = c.time[0];
  for (std::size_t i = 1; i < c.rows(); ++i) {
    if (c.time[i] < lo) lo = c.time[i];
    if (c.time[i] > hi) hi = c.time[i];
  }
  return (static_cast<double>(hi) - static_cast<double>(lo)) / 1e6;
}

double bounded_rate(double hz, std::optional<double> spread) {
  const double s = spread ? *spread : kWorstSpreadSeconds;
  if (s * hz > kMaxRows) hz = kMaxRows / s;
  return hz;
}

// `spread` is that of the whole file: every selection reads a subset of its samples, with the
// same times, so it bounds them all, and tests/test_fuzz_regressions.py can compute it the same
// way through the module to replay an input with the same rates.
void exercise_selection(const std::string& in, const std::string& out, const BlockSelection& sel,
                        const IncludeFlags& include, double hz, std::int64_t offset_us,
                        std::optional<double> spread) {
  std::optional<SampleColumns> block_columns;
  attempt([&] {
    SampleColumns c = morvane::read_block_columns(in, sel, include);
    if (c.rows() == 0) broken("read_block_columns returned no rows without an error");
    check_shape(c, &include);
    block_columns.emplace(std::move(c));
  });

  if (block_columns) {
    attempt([&] {
      morvane::check_time_window(sel.window);
      SampleColumns kept = morvane::apply_time_range(std::move(*block_columns), sel.window);
      if (kept.rows() == 0) broken("apply_time_range kept no rows without an error");
      check_shape(kept, &include);
      for (std::size_t i = 0; i < kept.rows(); ++i) {
        if (!sel.window.contains(morvane::micros_to_seconds(kept.time[i]))) {
          broken("apply_time_range kept a row outside the window");
        }
      }
    });
  }

  const double rate = bounded_rate(hz, spread);
  attempt([&] {
    morvane::check_time_window(sel.window);
    SampleColumns r = morvane::read_resampled_columns(in, sel, include, rate, sel.window);
    if (r.rows() == 0) broken("read_resampled_columns returned no rows without an error");
    check_shape(r, nullptr);
    for (std::size_t i = 1; i < r.rows(); ++i) {
      if (r.time[i] < r.time[i - 1]) broken("resampled times go backwards");
    }
    // Grid rows lie between the first and the last sample, one grid step apart.
    if (spread && static_cast<double>(r.rows()) > *spread * rate + 2.0) {
      broken("more resampled rows than the sample span allows");
    }
  });

  // The streaming writer serves an unbounded window without resampling; a bounded window makes
  // the same call collect columns first.
  attempt([&] { morvane::write_csv(in, out, sel, include, std::nullopt, offset_us); });
  attempt([&] { morvane::write_csv(in, out, sel, include, rate, offset_us); });
}

// The input as one gzip member, compressed fast.
std::vector<std::uint8_t> gzip_of(const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(size)) + 32);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

bool same_samples(const SampleColumns& a, const SampleColumns& b) {
  if (a.rows() != b.rows()) return false;
  for (std::size_t i = 0; i < a.rows(); ++i) {
    if (a.time[i] != b.time[i]) return false;
    for (int k = 0; k < 3; ++k) {
      if (std::memcmp(&a.acc[k][i], &b.acc[k][i], sizeof(float)) != 0) return false;
    }
  }
  return true;
}

// The tolerant reads: a plain read that succeeds strictly reads the same when bad blocks are
// skipped; a gzip copy reads like the plain file; the header-only views agree with each other.
void exercise_tolerant(const TempPaths& tmp, const std::uint8_t* data, std::size_t size,
                       const Params& p, const IncludeFlags& include,
                       const std::optional<CutSpec>& cut) {
  morvane::ReadContext ctx;
  ctx.policy.tolerant_input = true;
  ctx.policy.skip_bad = true;
  ctx.policy.verify_checksums = p.bit(15, 1);

  std::optional<SampleColumns> strict;
  attempt([&] { strict = morvane::read_block_columns(tmp.input, BlockSelection{}, include); });
  std::optional<SampleColumns> plain;
  morvane::ReadReport plain_report;
  attempt([&] {
    morvane::ReadContext c = ctx;
    c.report = &plain_report;
    plain = morvane::read_block_columns(tmp.input, BlockSelection{}, include, c);
    check_shape(*plain, &include);
  });
  if (strict && !ctx.policy.verify_checksums && (!plain || !same_samples(*strict, *plain))) {
    broken("skipping bad blocks changed a read that succeeds strictly");
  }
  if (plain) {
    for (std::size_t i = 1; i < plain_report.skipped.size(); ++i) {
      if (plain_report.skipped[i].block <= plain_report.skipped[i - 1].block) {
        broken("skipped blocks out of file order");
      }
    }
  }

  // The input compressed (bit 0 of byte 15 clear), or taken as the compressed data itself.
  if (p.bit(15, 0)) {
    std::vector<std::uint8_t> raw = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    raw.insert(raw.end(), data, data + size);
    write_input(tmp.packed, raw.data(), raw.size());
  } else {
    const std::vector<std::uint8_t> packed = gzip_of(data, size);
    write_input(tmp.packed, packed.data(), packed.size());
  }
  std::optional<SampleColumns> inflated;
  attempt([&] {
    morvane::ReadReport report;
    morvane::ReadContext c = ctx;
    c.report = &report;
    const BlockSelection sel = morvane::resolve_cut(tmp.packed, cut, c);
    inflated = morvane::apply_time_range(morvane::read_block_columns(tmp.packed, sel, include, c),
                                         sel.window);
    check_shape(*inflated, &include);
    if (!report.compressed) broken("gzip input not reported as compressed");
  });
  if (!p.bit(15, 0) && !cut && plain.has_value() != inflated.has_value()) {
    broken("a gzip copy reads differently from the plain file");
  }
  if (!p.bit(15, 0) && !cut && plain && !same_samples(*plain, *inflated)) {
    broken("a gzip copy yields other samples than the plain file");
  }
  // Every inflater and thread count reads the packed file exactly as ISA-L alone (or zlib, in
  // a build without it) did above: the same samples, or the same error, and the same report.
  struct Outcome {
    std::optional<SampleColumns> columns;
    std::string error;
    std::optional<std::string> truncated;
    std::uint64_t trailing = 0;
  };
  const auto read_packed = [&](morvane::Inflater inflater, unsigned threads) {
    Outcome o;
    morvane::ReadReport report;
    morvane::ReadContext c = ctx;
    c.policy.inflater = inflater;
    c.threads = threads;
    c.report = &report;
    try {
      o.columns = morvane::read_block_columns(tmp.packed, BlockSelection{}, include, c);
    } catch (const ReaderError& e) {
      o.error = e.text();
    } catch (const std::bad_alloc&) {
      o.error = "bad_alloc";
    }
    o.truncated = report.truncated;
    o.trailing = report.trailing_bytes;
    return o;
  };
  const Outcome first = read_packed(morvane::Inflater::automatic, 1);
  for (const auto& [inflater, threads] : {std::pair{morvane::Inflater::zlib, 1u},
                                          std::pair{morvane::Inflater::automatic, 2u},
                                          std::pair{morvane::Inflater::zlib, 2u}}) {
    const Outcome other = read_packed(inflater, threads);
    // The one documented difference (gzip.cpp): a Huffman code set that zlib refuses and ISA-L
    // decodes far past zlib's stopping point.
    const std::string& why = other.truncated ? *other.truncated : other.error;
    const auto ends_with = [&](const char* tail) {
      const std::size_t n = std::strlen(tail);
      return why.size() >= n && why.compare(why.size() - n, n, tail) == 0;
    };
    if (inflater == morvane::Inflater::zlib &&
        (ends_with(": invalid code lengths set") || ends_with(": invalid literal/lengths set") ||
         ends_with(": invalid distances set"))) {
      continue;
    }
    if (first.error != other.error || first.truncated != other.truncated ||
        first.trailing != other.trailing || first.columns.has_value() != other.columns.has_value() ||
        (first.columns && !same_samples(*first.columns, *other.columns))) {
      broken("inflaters or thread counts read the packed file differently");
    }
  }
  if (!p.bit(15, 0) && !cut && plain && (!first.columns || !same_samples(*plain, *first.columns))) {
    broken("a gzip copy read with ISA-L yields other samples than the plain file");
  }

  attempt([&] {
    const double rate = bounded_rate(rate_value(p.u16(17)), std::nullopt);
    morvane::read_resampled_columns(tmp.packed, BlockSelection{}, include, rate, TimeWindow{}, ctx);
  });

  for (const std::string* path : {&tmp.input, &tmp.packed}) {
    std::optional<morvane::RecordingQuality> q;
    attempt([&] { q = morvane::assess_recording(*path, morvane::survey_context(ctx.policy.verify_checksums)); });
    std::optional<morvane::BlockTable> t;
    attempt([&] { t = morvane::tabulate_blocks(*path, morvane::survey_context(ctx.policy.verify_checksums)); });
    if (q.has_value() != t.has_value()) broken("quality scan and block table disagree on failing");
    if (!q) continue;
    if (q->blocks != t->block.size()) broken("quality scan and block table count other blocks");
    if (q->data_blocks + q->erased_blocks + q->empty_blocks + q->bad_blocks != q->blocks) {
      broken("block kinds do not add up");
    }
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i < t->status.size(); ++i) {
      if (t->status[i] == static_cast<std::uint8_t>(morvane::BlockKind::data)) {
        samples += static_cast<std::uint64_t>(t->samples[i]);
      }
    }
    if (samples != q->range.sample_count) broken("block table and quality scan count other samples");
    if (path == &tmp.input && plain && samples != plain->rows()) {
      broken("the quality scan counts other samples than the tolerant read");
    }
    // A whole read that watches its blocks go by makes the header pass's report.
    attempt([&] {
      morvane::ReadReport report;
      morvane::ReadContext read_ctx = morvane::survey_context(ctx.policy.verify_checksums);
      read_ctx.report = &report;
      morvane::BlockRange range = morvane::open_block_range(*path, BlockSelection{}, read_ctx);
      const morvane::MetadataBlock metadata = morvane::parse_metadata_block(range.head->data());
      morvane::RecordingSurveyor surveyor(ctx.policy.verify_checksums);
      morvane::BlockColumnReader reader(std::move(range), include);
      reader.observe(&surveyor);
      while (!reader.done()) reader.read(37);
      const morvane::RecordingQuality seen = surveyor.finish(metadata, report);
      if (seen.blocks != q->blocks || seen.data_blocks != q->data_blocks ||
          seen.bad_blocks != q->bad_blocks || seen.gaps != q->gaps ||
          seen.gap_seconds != q->gap_seconds || seen.range.sample_count != q->range.sample_count ||
          seen.range.last_sample_us != q->range.last_sample_us ||
          seen.span_start.size() != q->span_start.size() || seen.axes != q->axes) {
        broken("a read's survey differs from the header pass");
      }
    });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TempPaths& tmp = paths();
  write_input(tmp.input, data, size);
  const Params p(data, size);

  attempt([&] {
    const morvane::MetadataBlock m = morvane::read_metadata_block(tmp.input);
    if (m.packet_header != "MD") broken("metadata parsed without an MD header");
  });
  attempt([&] {
    const morvane::DataTimeRange r = morvane::scan_data_time_range(tmp.input);
    if (r.first_sample_us.has_value() != r.last_sample_us.has_value()) {
      broken("scan reports only one end of the data");
    }
  });

  IncludeFlags include;
  include.magnetometer = p.bit(0, 4);
  include.temperature = p.bit(0, 5);
  include.light = p.bit(0, 6);
  include.battery = p.bit(0, 7);
  const std::int64_t offset_us = static_cast<std::int16_t>(p.u16(13)) * std::int64_t{1000003};

  std::optional<CutSpec> cuts[3];
  CutSpec blocks;
  blocks.kind = CutSpec::Kind::blocks;
  if (p.bit(0, 0)) blocks.start_block = p.b[1];
  if (p.bit(0, 1)) blocks.end_block = p.b[2];
  cuts[1] = blocks;
  CutSpec seconds;
  seconds.kind = CutSpec::Kind::seconds;
  if (p.bit(0, 2)) seconds.start_seconds = seconds_value(p.u16(3));
  if (p.bit(0, 3)) seconds.end_seconds = seconds_value(p.u16(5));
  cuts[2] = seconds;

  std::optional<double> spread;
  attempt([&] { spread = spread_seconds(morvane::read_block_columns(tmp.input, BlockSelection{}, include)); });

  for (int k = 0; k < 3; ++k) {
    std::optional<BlockSelection> sel;
    attempt([&] { sel = morvane::resolve_cut(tmp.input, cuts[k]); });
    if (!sel) continue;
    if (k == 2 && (!sel->has_first || !sel->has_count || sel->count == 0)) {
      broken("seconds cut resolved to no block range");
    }
    const double hz = rate_value(p.u16(7 + 2 * static_cast<std::size_t>(k)));
    exercise_selection(tmp.input, tmp.output, *sel, include, hz, offset_us, spread);
  }
  exercise_tolerant(tmp, data, size, p, include, cuts[p.b[16] % 3]);
  return 0;
}
