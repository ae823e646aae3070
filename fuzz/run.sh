#!/usr/bin/env bash
# Builds the reader fuzz target with clang (libFuzzer, ASan, UBSan), refreshes the seed corpus and
# fuzzes for the given number of seconds (default 60). fuzz/corpus holds the seeds (seed-*, made
# by make_corpus.py from tests/cwagen.py) plus the fewest found inputs that reach every edge the
# seeds do not; it is rebuilt that way after each run. A crashing, leaking, hanging or memory-hungry input is kept in fuzz/regressions/,
# where tests/test_fuzz_regressions.py replays it through the Python module.
#
# Usage: fuzz/run.sh [SECONDS]
# Needs clang with its libFuzzer runtime (Debian: apt-get install clang).
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
build="$here/build"
corpus="$here/corpus"
regressions="$here/regressions"
work="$build/work-corpus"
log="$build/fuzz.log"

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ not found (apt-get install clang)" >&2
  exit 2
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVANE_FUZZ=ON -DMORVANE_MODULE=OFF >/dev/null
ninja -C "$build" fuzz_reader >/dev/null

seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$corpus" "$regressions" "$work"
python3 "$here/make_corpus.py" "$seeds"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

# Fuzz into a scratch corpus so that fuzz/corpus only receives what the merge below keeps.
# Progress goes to the log (tail -f it); the summary is printed at the end.
echo "fuzz/run.sh: fuzzing for $seconds s, log in $log"
set +e
"$build/fuzz_reader" -max_len=65536 -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$regressions/" "$work" "$corpus" "$seeds" >"$log" 2>&1
status=$?
set -e
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^==[0-9]+==|^SUMMARY|^stat::|Test unit written|^Done' "$log" || true

# Rebuild fuzz/corpus: the current seeds, then a greedy set cover of the edges (hit counts
# ignored, which keeps the corpus at a few dozen files) that the seeds leave uncovered.
before=$(find "$corpus" -type f | wc -l)
merged="$build/merged-corpus"
rm -rf "$merged"
cp -r "$seeds" "$merged"
"$build/fuzz_reader" -set_cover_merge=1 -use_counters=0 -max_len=65536 -timeout=60 -rss_limit_mb=2048 \
  -artifact_prefix="$regressions/" "$merged" "$corpus" "$work" >"$build/merge.log" 2>&1 \
  || { echo "fuzz/run.sh: merge failed, fuzz/corpus left as it was; see $build/merge.log" >&2; exit 1; }
find "$corpus" -type f -delete
cp "$merged"/* "$corpus"/
after=$(find "$corpus" -type f | wc -l)
echo "fuzz/run.sh: corpus $before -> $after files ($(du -sk "$corpus" | cut -f1) KiB)"

if [ "$status" -ne 0 ]; then
  echo "fuzz/run.sh: the fuzzer stopped with status $status; see $regressions and $log" >&2
fi
exit "$status"
