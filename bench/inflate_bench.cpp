// Times the core on a gzip recording, outside Python: inflating alone (zlib or ISA-L, into a
// discarded buffer) and the whole block read (tolerant, bad blocks skipped) with 1 or 2 threads.
// Not a test: numbers on a shared machine are noisy, so each is run several times and the
// median and range are printed.
//
//   build: see bench/inflate_bench.sh
//   usage: inflate_bench FILE.gz [RUNS]

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "package/pipeline.hpp"
#include "packet/source.hpp"

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall and CPU seconds (all threads) of one run: on a loaded machine the CPU time is the steadier.
std::pair<double, double> seconds_of(const std::function<void()>& f) {
  const double c0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  f();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return {wall, cpu_seconds() - c0};
}

void report(const char* what, std::vector<double> wall, std::vector<double> cpu) {
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("%-28s wall median %.3f s (%.3f - %.3f)  cpu median %.3f s (%.3f - %.3f)  %zu runs\n",
              what, wall[wall.size() / 2], wall.front(), wall.back(), cpu[cpu.size() / 2],
              cpu.front(), cpu.back(), wall.size());
  std::fflush(stdout);
}

std::uint64_t inflate_all(const std::string& path, morvane::Inflater inflater, unsigned threads) {
  morvane::InputFile file(path);
  std::unique_ptr<morvane::ByteSource> s = morvane::make_gzip_source(file, inflater);
  if (threads > 1) s = morvane::make_read_ahead_source(std::move(s));
  std::vector<unsigned char> buf(std::size_t{1} << 20);
  std::uint64_t total = 0;
  while (const std::size_t n = s->read_some(buf.data(), buf.size())) total += n;
  return total;
}

std::size_t read_blocks(const std::string& path, morvane::Inflater inflater, unsigned threads) {
  morvane::ReadContext ctx;
  ctx.policy.tolerant_input = true;
  ctx.policy.skip_bad = true;
  ctx.policy.inflater = inflater;
  ctx.threads = threads;
  return morvane::read_block_columns(path, morvane::BlockSelection{}, morvane::IncludeFlags{}, ctx)
      .rows();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.gz [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  std::printf("ISA-L built in: %s\n", morvane::isal_built() ? "yes" : "no");
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  using morvane::Inflater;
  const std::vector<Case> cases = {
      {"inflate zlib", [&] { inflate_all(path, Inflater::zlib, 1); }},
      {"inflate auto", [&] { inflate_all(path, Inflater::automatic, 1); }},
      {"block read zlib, 1 thread", [&] { read_blocks(path, Inflater::zlib, 1); }},
      {"block read zlib, 2 threads", [&] { read_blocks(path, Inflater::zlib, 2); }},
      {"block read auto, 1 thread", [&] { read_blocks(path, Inflater::automatic, 1); }},
      {"block read auto, 2 threads", [&] { read_blocks(path, Inflater::automatic, 2); }},
  };
  std::printf("%s: %llu bytes inflated, %zu rows\n", path.c_str(),
              static_cast<unsigned long long>(inflate_all(path, Inflater::zlib, 1)),
              read_blocks(path, Inflater::automatic, 2));
  for (const Case& c : cases) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
      const auto [w, c2] = seconds_of(c.run);
      wall.push_back(w);
      cpu.push_back(c2);
    }
    report(c.name, wall, cpu);
  }
  return 0;
}
