#!/usr/bin/env bash
# Runs the gzip sources of one build of tests/inflate_check.cpp (a sanitizer build, from
# tools/sanitize.sh) over a few gzip files: every inflater with and without the read-ahead
# thread must give the bytes and the status lines of zlib read directly, through seeks back and
# forth, a read stopped early and scripted failures inside the thread.
#
# Usage: tools/inflate_threads.sh CHECK_PROGRAM
set -euo pipefail
check="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import gzip, os, random, sys
work = sys.argv[1]
rng = random.Random(4)
data = bytes(rng.getrandbits(8) if rng.random() < 0.3 else 48 + i % 10 for i in range(3_000_000))
clean = gzip.compress(data, 6)
files = {
    "clean": clean,
    "members": gzip.compress(data[:1_000_003], 1) + gzip.compress(data[1_000_003:], 9),
    "cut": clean[: len(clean) * 3 // 4],
    "badcrc": clean[:-8] + bytes([clean[-8] ^ 1]) + clean[-7:],
    "garbage": clean + b"after",
}
for name, blob in files.items():
    with open(os.path.join(work, name + ".gz"), "wb") as f:
        f.write(blob)
PY
fail=0
for f in "$work"/*.gz; do
  for segs in "0:all" "2500000:100000 17:5 0:all" "1:1000"; do
    # shellcheck disable=SC2086
    "$check" read "$f" zlib 1 "$work/want" 5000 $segs >"$work/want.txt"
    for combo in "zlib 2" "auto 1" "auto 2"; do
      # shellcheck disable=SC2086
      "$check" read "$f" $combo "$work/got" 5000 $segs >"$work/got.txt"
      if ! cmp -s "$work/want" "$work/got" || ! diff -q <(tail -n +2 "$work/want.txt") \
          <(tail -n +2 "$work/got.txt") >/dev/null; then
        echo "tools/inflate_threads.sh: $(basename "$f") [$segs] read differently with $combo" >&2
        fail=1
      fi
    done
  done
done
# Byte counts between failures, merged: the thread hands out bigger pieces than the script.
merged() {
  "$check" script "$@" | awk '/^bytes/ { n += $2; next }
    { if (n) print "bytes " n; n = 0; print } END { if (n) print "bytes " n }'
}
for script in "d5 e d3000000 f d7 ." "d2097152 e e ." "f"; do
  # shellcheck disable=SC2086
  if ! diff -q <(merged 1 $script) <(merged 2 $script) >/dev/null; then
    echo "tools/inflate_threads.sh: script [$script] seen differently through the thread" >&2
    fail=1
  fi
done
if [ "$fail" -eq 0 ]; then echo "tools/inflate_threads.sh: read-ahead and inflaters agree ($check)"; fi
exit "$fail"
