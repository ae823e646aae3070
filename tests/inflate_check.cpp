// Drives the core's byte sources for tests/test_inflate.py, which compiles it with or without
// ISA-L and compares what it prints with Python's own zlib.
//
//   inflate_check read PATH INFLATER THREADS OUT STEP [OFFSET:COUNT ...]
//     Opens PATH as gzip (INFLATER auto or zlib; THREADS 1 = no read-ahead), then for each
//     segment seeks to OFFSET and reads up to COUNT bytes (COUNT "all": to the end), STEP bytes
//     or fewer per call (the step grows by one each call, to vary the cuts). The bytes go to
//     OUT; one line per segment: "seg GOT end", "seg GOT more", "seg GOT damaged TEXT" or
//     "seg GOT io TEXT". The first line names the inflater.
//   inflate_check script THREADS SCRIPT
//     A scripted inner source (SCRIPT: "d5 e f d3 a d2 ." = 5 bytes, an I/O error, a failure to
//     allocate, ...; "." ends), read directly or through the read-ahead; prints what the caller
//     sees, one line per call.
//   inflate_check cwa PATH INFLATER THREADS START_BLOCK
//     A tolerant read (bad blocks skipped) of a recording, from START_BLOCK on; prints the rows,
//     a digest of the samples and the report, or the error.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <zlib.h>

#include "package/pipeline.hpp"
#include "packet/error.hpp"
#include "packet/source.hpp"

namespace {

using morvane::ByteSource;
using morvane::Inflater;
using morvane::ReaderError;

Inflater inflater_of(const std::string& s) {
  if (s == "zlib") return Inflater::zlib;
  if (s == "auto") return Inflater::automatic;
  std::fprintf(stderr, "unknown inflater %s\n", s.c_str());
  std::exit(2);
}

std::string one_line(std::string s) {
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s;
}

int run_read(int argc, char** argv) {
  if (argc < 7) return 2;
  morvane::InputFile file(argv[2]);
  std::unique_ptr<ByteSource> source = morvane::make_gzip_source(file, inflater_of(argv[3]));
  if (std::atoi(argv[4]) > 1) source = morvane::make_read_ahead_source(std::move(source));
  std::printf("inflater %s\n", source->inflater());
  std::FILE* out = std::fopen(argv[5], "wb");
  if (!out) return 2;
  std::size_t step = static_cast<std::size_t>(std::atoll(argv[6]));
  std::vector<std::string> segments(argv + 7, argv + argc);
  if (segments.empty()) segments.push_back("0:all");
  std::vector<unsigned char> buf(step + segments.size() * 4096 + 65536);
  for (const std::string& seg : segments) {
    const std::size_t colon = seg.find(':');
    const std::uint64_t offset = std::strtoull(seg.c_str(), nullptr, 10);
    const std::string count_text = seg.substr(colon + 1);
    const bool all = count_text == "all";
    const std::uint64_t count = all ? 0 : std::strtoull(count_text.c_str(), nullptr, 10);
    std::uint64_t got = 0;
    std::string status = "more";
    try {
      source->seek(offset);
      while (all || got < count) {
        std::size_t want = step < buf.size() ? step : buf.size();
        if (!all && count - got < want) want = static_cast<std::size_t>(count - got);
        const std::size_t n = source->read_some(buf.data(), want);
        if (n == 0) {
          status = "end";
          break;
        }
        if (n > want) {
          std::printf("broken read_some returned %zu of %zu\n", n, want);
          return 1;
        }
        std::fwrite(buf.data(), 1, n, out);
        got += n;
        step = step % 70000 + 1;
      }
    } catch (const ReaderError& e) {
      status = std::string(e.kind() == ReaderError::Kind::damaged ? "damaged " : "io ") + one_line(e.text());
    }
    std::printf("seg %llu %s\n", static_cast<unsigned long long>(got), status.c_str());
  }
  std::fclose(out);
  return 0;
}

// A source that plays a script: dN hands out N bytes (0, 1, 2, ... mod 251 over the whole
// script), e throws an I/O error, f std::bad_alloc, "." the end; after the script, the end.
class ScriptSource final : public ByteSource {
 public:
  explicit ScriptSource(std::vector<std::string> steps) : steps_(std::move(steps)) {}
  std::size_t read_some(unsigned char* dst, std::size_t n) override {
    if (at_ >= steps_.size() || steps_[at_] == ".") return 0;
    const std::string& s = steps_[at_];
    if (s == "e") {
      ++at_;
      throw ReaderError::os(EIO);
    }
    if (s == "f") {
      ++at_;
      throw std::bad_alloc();
    }
    const std::size_t left = std::strtoull(s.c_str() + 1, nullptr, 10) - done_;
    const std::size_t k = left < n ? left : n;
    for (std::size_t i = 0; i < k; ++i) dst[i] = static_cast<unsigned char>(counter_++ % 251);
    done_ += k;
    if (done_ == std::strtoull(s.c_str() + 1, nullptr, 10)) {
      ++at_;
      done_ = 0;
    }
    return k;
  }
  void seek(std::uint64_t) override {
    at_ = done_ = 0;
    counter_ = 0;
  }
  bool compressed() const noexcept override { return true; }
  std::optional<std::uint64_t> size_hint() override { return std::nullopt; }

 private:
  std::vector<std::string> steps_;
  std::size_t at_ = 0;
  std::size_t done_ = 0;
  std::uint64_t counter_ = 0;
};

int run_script(int argc, char** argv) {
  if (argc < 4) return 2;
  std::vector<std::string> steps;
  for (int i = 3; i < argc; ++i) steps.emplace_back(argv[i]);
  std::unique_ptr<ByteSource> source = std::make_unique<ScriptSource>(steps);
  if (std::atoi(argv[2]) > 1) source = morvane::make_read_ahead_source(std::move(source));
  // Reads until two ends in a row, asking for 1, 2, 3, ... bytes; after each call prints what it
  // saw. Bytes are checked
  // against the running counter here, so a lost or doubled byte shows as "wrong".
  std::uint64_t expect = 0;
  int ends = 0;
  std::vector<unsigned char> buf(8192);
  for (std::size_t calls = 0; calls < 10'000'000 && ends < 2; ++calls) {
    try {
      const std::size_t n = source->read_some(buf.data(), 1 + calls % buf.size());
      if (n == 0) {
        ++ends;
        std::printf("end\n");
        continue;
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (buf[i] != expect++ % 251) {
          std::printf("wrong byte\n");
          return 1;
        }
      }
      std::printf("bytes %zu\n", n);
    } catch (const ReaderError& e) {
      std::printf("io %d\n", e.os_errno());
    } catch (const std::bad_alloc&) {
      std::printf("nomem\n");
    }
  }
  return 0;
}

int run_cwa(int argc, char** argv) {
  if (argc < 6) return 2;
  morvane::ReadReport report;
  morvane::ReadContext ctx;
  ctx.policy.tolerant_input = true;
  ctx.policy.skip_bad = true;
  ctx.policy.inflater = inflater_of(argv[3]);
  ctx.threads = static_cast<unsigned>(std::atoi(argv[4]));
  ctx.report = &report;
  morvane::BlockSelection sel;
  sel.has_first = true;
  sel.first = std::strtoull(argv[5], nullptr, 10);
  try {
    const morvane::SampleColumns c =
        morvane::read_block_columns(argv[2], sel, morvane::IncludeFlags{}, ctx);
    uLong digest = crc32(0, nullptr, 0);
    digest = crc32(digest, reinterpret_cast<const Bytef*>(c.time.data()),
                   static_cast<uInt>(c.rows() * sizeof c.time[0]));
    for (const auto& a : c.acc) {
      digest = crc32(digest, reinterpret_cast<const Bytef*>(a.data()),
                     static_cast<uInt>(c.rows() * sizeof a[0]));
    }
    std::printf("rows %zu digest %08lx\n", c.rows(), digest);
  } catch (const ReaderError& e) {
    std::printf("error %s\n", one_line(e.text()).c_str());
  }
  std::printf("compressed %d inflater %s truncated %s trailing %llu skipped %zu\n",
              report.compressed ? 1 : 0, report.inflater.empty() ? "-" : report.inflater.c_str(),
              report.truncated ? one_line(*report.truncated).c_str() : "-",
              static_cast<unsigned long long>(report.trailing_bytes), report.skipped.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  try {
    if (mode == "read") return run_read(argc, argv);
    if (mode == "script") return run_script(argc, argv);
    if (mode == "cwa") return run_cwa(argc, argv);
  } catch (const ReaderError& e) {
    std::printf("error %s\n", one_line(e.text()).c_str());
    return 0;
  }
  return 2;
}
