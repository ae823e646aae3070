#!/usr/bin/env bash
# Builds bench/inflate_bench.cpp against the core (Release, ISA-L when found) and runs it on the
# week-long recording gzip-compressed (bench/data/week_3ax.cwa.gz, made by bench/run.py --tools).
# Usage: bench/inflate_bench.sh [FILE.gz] [RUNS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/inflate-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANE_MODULE=OFF >/dev/null
ninja -C "$build" inflate_bench >/dev/null
"$build/inflate_bench" "${1:-$root/bench/data/week_3ax.cwa.gz}" "${2:-5}"
