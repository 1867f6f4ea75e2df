#!/usr/bin/env bash
# Checks a built wheel as a user gets it: a fresh venv of an interpreter of the wheel's
# version, the wheel installed with no compiler to fall back on (CC=false CXX=false, no
# index for quarn itself), then
#   - build_info() names the linked decoders (zlib-ng linked for gzip, zstd linked, bz2, xz),
#   - the kernel sets offered are those this CPU has (a build that lost the run-time choice
#     would offer the scalar one alone),
#   - on a free-threaded interpreter, the GIL is still off after the import,
#   - the decompression and core tests, run from a copy of tests/ outside the checkout so
#     that only the installed package can be imported.
#
#   scripts/wheel_check.sh WHEEL [PYTEST-ARGS...]
#
# The interpreter: QUARN_PYTHON (a path), else python3.X on PATH or a pyenv version of the
# wheel's tag, else one of the Debian roots of scripts/matrix.sh (the check then runs inside
# an overlay of that root; needs root). An aarch64 wheel is checked inside an arm64 Debian
# root of QUARN_CI_CACHE (bookworm-arm64 for 3.11; scripts/arm64_root.sh makes it), every
# program run by qemu: the same steps, slower (QUARN_TEST_TIMEOUT bounds the tests, 1800 s,
# and PYTEST-ARGS may pick a subset). Exits non-zero on the first failed check.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -ge 1 ] && [ -f "$1" ] || {
  echo "usage: scripts/wheel_check.sh WHEEL [PYTEST-ARGS...]" >&2
  exit 2
}
wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
shift
note() { printf 'wheel_check: %s\n' "$*" >&2; }

# cp311-cp311 -> 3.11, cp313-cp313t -> 3.13t; ..._aarch64 -> aarch64
tag="$(basename "$wheel" .whl | awk -F- '{ print $(NF-1) }')"
version="3.${tag#cp3}"
arch="$(basename "$wheel" .whl | awk -F- '{ print $NF }' | sed 's/.*linux_//; s/^[0-9_]*//')"
ci_cache="${QUARN_CI_CACHE:-/var/cache/quarn-ci}"
# (and the free-threaded interpreters scripts/python_ft.sh builds for forky, kept outside it)
wheels_cache="${QUARN_WHEELS_CACHE:-/var/cache/quarn-wheels}"
roots=("trixie /usr/bin/python$version" "trixie /opt/python$version/bin/python$version"
  "forky /usr/bin/python$version" "forky /opt/python$version/bin/python$version"
  "forky $wheels_cache/python$version/bin/python$version")
python="${QUARN_PYTHON:-}"
if [ "$arch" != "$(uname -m)" ] && [ -z "${QUARN_IN_ROOT:-}" ]; then
  # Another processor's wheel: the interpreter of a Debian root of that processor, which
  # qemu runs (scripts/arm64_root.sh makes one); nothing of this machine's.
  python=""
  roots=()
  for s in bookworm trixie forky; do roots+=("$s-arm64 /usr/bin/python$version"); done
  [ "$arch" = aarch64 ] || {
    note "no way to run $arch programs here"
    exit 2
  }
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || {
    note "aarch64 programs do not run here: scripts/arm64_root.sh registers qemu for them"
    exit 2
  }
elif [ -z "$python" ]; then
  root="$(pyenv root 2> /dev/null || echo "$HOME/.pyenv")"
  # One that runs: pyenv's shims are on the path for every version, installed or not.
  for p in "$(command -v "python$version" || true)" "$root/versions/${version%t}".*/bin/"python$version"; do
    [ -z "$python" ] && [ -x "$p" ] && "$p" -c pass 2> /dev/null && python="$p"
  done
fi
if [ -z "$python" ] && [ -z "${QUARN_IN_ROOT:-}" ]; then
  # Else the interpreter of a Debian root of scripts/matrix.sh (its glibc is newer than this
  # machine's): the check runs again inside an overlay of the root, which stays untouched.
  for p in "${roots[@]}"; do
    r="$ci_cache/${p%% *}"
    # The interpreter is the root's, or kept outside it (then mounted at the same path).
    outside=""
    case "${p#* }" in
      "$wheels_cache"/*) [ -x "${p#* }" ] && outside="$(dirname "$(dirname "${p#* }")")" ;;
    esac
    { [ -x "$r/${p#* }" ] || [ -n "$outside" ]; } && [ -e "$r/.quarn-ready" ] || continue
    note "python$version of $r"
    ov="$(mktemp -d)"
    mkdir -p "$ov/up" "$ov/work" "$ov/m"
    trap 'rm -rf "$ov"' EXIT
    # Not exec'd: the trap removes the overlay's folders when the check ends.
    unshare --mount --propagation private -- /bin/sh -c '
      r="$1" o="$2" repo="$3" w="$4" py="$5" out="$6"; shift 6; m="$o/m"
      mount -t overlay overlay -o "lowerdir=$r,upperdir=$o/up,workdir=$o/work" "$m" &&
      { [ -z "$out" ] || { mkdir -p "$m$out" && mount --bind "$out" "$m$out"; }; } &&
      mkdir -p "$m$repo" "$m$w" && mount --bind "$repo" "$m$repo" &&
      mount --bind "$w" "$m$w" && mount -t proc proc "$m/proc" && mount --rbind /dev "$m/dev" &&
      { [ ! -d "$repo/../shared" ] || { mkdir -p "$m$repo/../shared" &&
        mount --bind "$repo/../shared" "$m$repo/../shared"; }; } &&
      exec chroot "$m" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
        PIP_DEFAULT_TIMEOUT=180 PIP_DISABLE_PIP_VERSION_CHECK=1 QUARN_IN_ROOT=1 \
        QUARN_PYTHON="$py" bash "$repo/scripts/wheel_check.sh" "$@"' \
      sh "$r" "$ov" "$repo" "$(dirname "$wheel")" "${p#* }" "$outside" "$wheel" "$@"
    exit $?
  done
fi
[ -n "$python" ] || {
  note "no python$version for $arch here: QUARN_PYTHON names one" \
    "$([ "$arch" = "$(uname -m)" ] || echo "(scripts/arm64_root.sh SUITE makes a root)")"
  exit 2
}

work="$(mktemp -d "${TMPDIR:-/tmp}/quarn-wheel-check.XXXXXX")"
trap 'rm -rf "$work"' EXIT
note "$(basename "$wheel") with $python"
# Under qemu, ensurepip alone takes minutes.
timeout 900 "$python" -m venv "$work/venv"
py="$work/venv/bin/python"

start=$(date +%s%N)
# Nothing to compile: a wheel that needed a compiler would fail here.
CC=false CXX=false timeout 300 "$py" -m pip install -q --no-deps --no-index "$wheel"
note "installed in $((($(date +%s%N) - start) / 1000000)) ms"
# The test tools (from the configured index); zstandard, which writes the tests' zstd data,
# only where it has a wheel (its tests skip without it).
# Free-threaded interpreters: the newest hypothesis may need a Rust toolchain to build there.
PIP_ONLY_BINARY=hypothesis,ast-serialize timeout 600 "$py" -m pip install -q pytest hypothesis
timeout 600 "$py" -m pip install -q --only-binary :all: zstandard ||
  note "no zstandard wheel for this interpreter: the tests that need it skip"

(cd "$work" && timeout 120 "$py" - "$repo") <<'EOF'
import platform
import sys
import sysconfig

import quarn
from quarn.lib._quarn import _testing

where = quarn.__file__
assert not where.startswith(sys.argv[1]), f"quarn imported from the checkout: {where}"
info = quarn.build_info()
print("build_info:", info)
assert info["gzip"].startswith("zlib-ng 2.") and info["gzip"].endswith("(linked)"), info
assert info["zstd"].endswith("(linked)"), info
assert info["bz2"].startswith("libbz2 ") and info["xz"].startswith("liblzma "), info

flags = set()
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("flags"):
            flags = set(line.split(":", 1)[1].split())
            break
expected = ["scalar"]
# By the interpreter's processor: under qemu, /proc/cpuinfo is the host's.
if platform.machine() == "x86_64":  # the sets whose instructions this CPU has and the OS saves
    avx2 = {"avx2", "bmi1", "bmi2", "abm", "pclmulqdq", "popcnt"} <= flags
    if avx2:
        expected.append("avx2")
        if {"avx512f", "avx512bw", "avx512vl", "avx512dq"} <= flags:
            expected.append("avx512")
else:  # aarch64's cpuinfo says "Features"; NEON is its baseline
    expected.append("neon")
kernels = _testing.kernels()
print("kernels:", kernels)
assert kernels == expected, f"kernels {kernels}, this CPU has {expected}"

# A free-threaded interpreter turns the lock back on for a module that does not say it
# runs without it (or was built for the other ABI).
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing quarn enabled the GIL"
    print("GIL: off")
EOF

mkdir -p "$work/copy"
cp -r "$repo/tests" "$work/copy/tests"
rm -rf "$work/copy/tests/native" "$work/copy/tests/__pycache__"
# The shared test data, where it lies beside the checkout, as the tests find it.
[ -d "$repo/../shared" ] && ln -s "$(cd "$repo/../shared" && pwd)" "$work/shared"
cd "$work/copy"
start=$(date +%s)
trap 'note "tests: $(($(date +%s) - start)) s"; rm -rf "$work"' EXIT
timeout "${QUARN_TEST_TIMEOUT:-1800}" "$py" -m pytest -q -p no:cacheprovider tests/test_decompress.py tests/test_count.py \
  tests/test_load.py tests/test_iter.py "$@"
