#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (GCC) into its own
# directory and runs the pytest suite against that build; before it, the gzip inflaters and the
# read-ahead thread through tools/inflate_threads.sh, under ASan/UBSan and then ThreadSanitizer.
# The first sanitizer report ends the run with a non-zero status.
#
# Usage: tools/sanitize.sh [PYTEST ARGS...]   (default: the whole tests/ directory)
# Environment: MORVANE_SANITIZE_BUILD  build directory (default build/sanitize, ignored by git)
#              PYTHON                  interpreter to build for and test with (default python3)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MORVANE_SANITIZE_BUILD:-$root/build/sanitize}"
# The interpreter itself, not a launcher script: the preload below must reach the process that
# loads the extension.
python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"

start=$(date +%s)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" morvane morvane_tools_native morvane_tools_python inflate_check >/dev/null
# The read-ahead thread and the inflaters on their own (the Python suite reads gzip with both too): under
# ASan/UBSan here, then under ThreadSanitizer in a build of the core alone (skipped where the
# compiler has no TSan runtime).
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  bash "$root/tools/inflate_threads.sh" "$build/inflate_check"
tsan_build="$build-thread"
if echo 'int main(){}' | g++ -fsanitize=thread -x c++ - -o /dev/null 2>/dev/null; then
  cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_TSAN=ON \
    -DMORVANE_MODULE=OFF >/dev/null
  ninja -C "$tsan_build" inflate_check >/dev/null
  TSAN_OPTIONS="halt_on_error=1:abort_on_error=1" bash "$root/tools/inflate_threads.sh" \
    "$tsan_build/inflate_check"
else
  echo "tools/sanitize.sh: no ThreadSanitizer here; the read-ahead ran under ASan only"
fi
built=$(date +%s)
echo "tools/sanitize.sh: built in $((built - start)) s"

# The extension is linked against GCC's shared ASan runtime, which has to be loaded before
# anything else in the interpreter. The C++ runtime comes right after it: ASan wraps
# __cxa_throw, and a libstdc++ that arrives later with the extension leaves that wrapper without
# a target, so the first C++ exception would abort.
asan="$(gcc -print-file-name=libasan.so)"
cxx="$(g++ -print-file-name=libstdc++.so.6)"
for lib in "$asan" "$cxx"; do
  if [ ! -e "$lib" ]; then
    echo "tools/sanitize.sh: $lib not found" >&2
    exit 2
  fi
done
export LD_PRELOAD="$asan:$cxx${LD_PRELOAD:+:$LD_PRELOAD}"
# CPython keeps its interned objects until the process dies, which LeakSanitizer would report.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Every Python object through malloc, so that ASan also sees overruns into them.
export PYTHONMALLOC=malloc
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
# ASan keeps freed memory in quarantine and shadow pages grow with use, so tests that watch the
# process's resident size for leaks can read this and leave that one check out.
export MORVANE_SANITIZED=1

# A stale install elsewhere on the path would make a clean run meaningless.
for module in morvane morvane_tools._native; do
  loaded="$("$python" -c "import $module; print($module.__file__)")"
  echo "tools/sanitize.sh: testing $loaded"
  case "$loaded" in
    "$build"/*) ;;
    *)
      echo "tools/sanitize.sh: imported $loaded instead of the sanitizer build in $build" >&2
      exit 2
      ;;
  esac
done

cd "$root"
set +e
if [ "$#" -eq 0 ]; then set -- tests; fi
# Sanitizer reports go straight to the stderr descriptor; pytest must not capture it there, or
# the abort would swallow the report.
"$python" -m pytest -q -p no:cacheprovider --capture=sys "$@"
status=$?
set -e
echo "tools/sanitize.sh: tests took $(( $(date +%s) - built )) s, status $status"
exit "$status"
