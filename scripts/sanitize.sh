#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into a venv of
# its own and runs the Python test suite against that build. Any sanitizer report fails the
# run.
#
#   scripts/sanitize.sh                 # the whole suite
#   scripts/sanitize.sh tests/test_reliability.py -k leak    # arguments go to pytest
#
# Environment: PYTHON (interpreter for the venv, default python3), SANITIZE_VENV (venv
# directory, kept between runs so that rebuilds are incremental), CMAKE_BUILD_PARALLEL_LEVEL
# (compile jobs, default 1).
#
# The interpreter itself is not instrumented, so the sanitizer runtime is preloaded. What
# the interpreter keeps until exit would drown a leak report at exit, so leak detection is
# off here; tests/test_reliability.py runs the leak checker itself, before and after many
# calls, and compares. PYTHONMALLOC=malloc routes every Python object through the
# sanitizer's allocator, so a reference dropped once too often shows up as a use after
# free, not as silent reuse of a pymalloc arena.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-python3}"
venv="${SANITIZE_VENV:-${TMPDIR:-/tmp}/quarn-sanitize-venv}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-1}"

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet 'scikit-build-core>=0.10' pytest hypothesis
# zlib-ng's inflate as the test extra brings it (loaded from the zlib-ng package), so that the
# gzip tests run the path most installs take.
"$venv/bin/python" -m pip install --quiet "zlib-ng>=0.4,<1.2; python_version < '3.13'"
"$venv/bin/python" -m pip install --quiet --no-build-isolation \
  -C build-dir=build/sanitize \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.QUARN_SANITIZE=ON .

# The extension was linked by the default C++ compiler: preload that compiler's runtime.
cxx="${CXX:-c++}"
libasan="$("$cxx" -print-file-name=libasan.so)"
if [ ! -e "$libasan" ]; then
  echo "sanitize.sh: no libasan.so for $cxx" >&2
  exit 1
fi

# pytest captures the descriptors of a running test, and a sanitizer that stops the process
# would take its report with it: capture at the Python level only, so reports reach the
# terminal and the log searched below. AddressSanitizer also writes its reports to files,
# which collects those of child processes (the command line tests, a process pool).
reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
export PYTHONMALLOC=malloc

if [ "$#" -eq 0 ]; then
  # The C++ unit tests build their own sanitized binaries (and a compiler under a preloaded
  # runtime only gets slower); the typing test checks stubs, not native code.
  set -- tests --ignore=tests/test_native.py --ignore=tests/test_typing.py
fi

status=0
LD_PRELOAD="$libasan" "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "$@" \
  2>&1 | tee "$reports/output" || status=$?
if grep -q -E 'runtime error:|ERROR: AddressSanitizer' "$reports/output" || ls "$reports"/asan* > /dev/null 2>&1; then
  cat "$reports"/asan* >&2 2> /dev/null || true
  echo "sanitize.sh: sanitizer report" >&2
  exit 1
fi
exit "$status"
