#!/usr/bin/env bash
# The interpreters and machines beyond this one's: the test suite on CPython 3.13 and a
# free-threaded 3.13t (Debian trixie root), on 3.14 and 3.15 (Debian forky root), and the
# C++ tests cross-compiled for aarch64 and run under qemu. On every interpreter the
# count/iter/schema/records tests run again once per kernel set the CPU supports.
#
#   scripts/matrix.sh                 # every target
#   scripts/matrix.sh 3.13t arm64     # some: 3.13 3.13t 3.14 3.15 arm64
#   scripts/matrix.sh roots           # only make the roots and the 3.13t build
#
# Needs root (debootstrap, chroot, mounts in a private namespace). The Debian roots and the
# 3.13t build are kept in QUARN_CI_CACHE (default /var/cache/quarn-ci) and reused; a machine
# without them makes them first (a few minutes each, the 3.13t build about a quarter hour).
# Debian packages come from the mirror this machine's apt uses (QUARN_DEBIAN_MIRROR names
# another), Python packages from pip's configured index. The roots are entered with a clean
# environment; the source is copied in (tracked and new files), so nothing of this
# checkout's build is reused, and builds inside a root are incremental between runs.
#
# Prints one line per step with its time and the pytest summary; exits non-zero when any
# step failed (after running the rest).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${QUARN_CI_CACHE:-/var/cache/quarn-ci}"
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(3.13 3.13t 3.14 3.15 arm64)

[ "$(id -u)" = 0 ] || {
  echo "matrix: needs root" >&2
  exit 2
}
mkdir -p "$cache"
# One run at a time per cache: runs would share the roots' venvs and temporary folders.
exec 9> "$cache/.lock"
flock 9
export DEBIAN_FRONTEND=noninteractive
failed=0
summary=()

note() { printf 'matrix: %s\n' "$*" >&2; }

# step NAME COMMAND...: runs it, records its time and its pytest summary line.
step() {
  local name="$1" log start status line
  shift
  log="$cache/logs/$name.log"
  mkdir -p "$cache/logs"
  start=$(date +%s)
  note "$name ..."
  set +e
  (
    set -e
    "$@"
  ) > "$log" 2>&1
  status=$?
  set -e
  line="$(grep -a -E '^=*( *[0-9]+ (passed|failed|skipped|error|errors|deselected|xfailed))' "$log" |
    tail -n 1 | tr -d '=' | sed 's/^ *//' || true)"
  [ "$status" -eq 0 ] || {
    failed=1
    tail -n 40 "$log" >&2
  }
  summary+=("$(printf '%-28s %5ss  %s  %s' "$name" "$(($(date +%s) - start))" \
    "$([ "$status" -eq 0 ] && echo ok || echo "FAILED($status)")" "$line")")
  note "${summary[-1]}"
  return 0
}

host_install() {  # host packages, only what is missing
  local missing=()
  for p in "$@"; do dpkg -s "$p" > /dev/null 2>&1 || missing+=("$p"); done
  [ "${#missing[@]}" -eq 0 ] && return 0
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" > /dev/null
}

# run_in ROOT COMMAND...: the command inside the root, with a clean environment and /proc,
# /dev and /sys mounted in a mount namespace of its own (gone when the command ends).
run_in() {
  local root="$1"
  shift
  unshare --mount --propagation private -- /bin/sh -c '
    r="$1"; shift
    mount -t proc proc "$r/proc" && mount --rbind /dev "$r/dev" && mount -t sysfs sys "$r/sys" &&
    mount -t tmpfs -o size=256m shm "$r/dev/shm" &&
    exec chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      PIP_DEFAULT_TIMEOUT=180 PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"' sh "$root" "$@"
}

# shellcheck source=scripts/debian_mirror.sh
. "$repo/scripts/debian_mirror.sh"

# make_root NAME SUITE [SCRIPT]: a minimal Debian root in $cache/NAME, made once.
make_root() {
  local name="$1" suite="$2" script="${3:-}" root="$cache/$1" mirror
  if [ ! -e "$root/.quarn-ready" ]; then
    mirror="${QUARN_DEBIAN_MIRROR:-$(apt_mirror)}"
    host_install debootstrap
    rm -rf "$root.tmp"
    debootstrap --variant=minbase --include=python3,python3-dev,python3-venv,g++,make,ca-certificates \
      "$suite" "$root.tmp" "$mirror" ${script:+"$script"}
    # Forky's Release files may outlive their Valid-Until between mirror pushes.
    echo 'Acquire::Check-Valid-Until "false";' > "$root.tmp/etc/apt/apt.conf.d/99quarn"
    echo "deb-src $mirror $suite main" >> "$root.tmp/etc/apt/sources.list"
    rm -rf "$root"
    mv "$root.tmp" "$root"
    touch "$root/.quarn-ready"
  fi
  # This machine's certificate authorities (a proxy may sign what the mirrors and PyPI
  # serve), every run: they may have changed since the root was made.
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  fi
  run_in "$root" sh -c 'update-ca-certificates > /dev/null 2>&1; apt-get update -qq'
  # The decompressors quarn links (zlib, libbz2, liblzma) and loads (libzstd), as a fresh
  # machine has them.
  root_install "$root" zlib1g-dev libbz2-dev liblzma-dev libzstd1
}

root_install() {  # root_install ROOT PACKAGE...: installs those not yet installed
  local root="$1"
  shift
  run_in "$root" sh -c 'missing=""; for p in "$@"; do dpkg -s "$p" > /dev/null 2>&1 ||
    missing="$missing $p"; done; [ -z "$missing" ] || apt-get install -y -qq $missing' sh "$@"
}

# CPython 3.13 without the global lock, from Debian's own source package, installed into
# /opt/python3.13t of the trixie root and kept there (about 6 minutes on 2 cores). The
# upstream source of the package, without Debian's patches: those are made for Debian's own
# layout (dist-packages) and drop the free-threaded "t" from a venv's site-packages path.
# Its bundled pip is not shipped either; venvs get pip from Debian's pip wheel.
build_313t() {
  local root="$1"
  [ -x "$root/opt/python3.13t/bin/python3.13t" ] && return 0
  root_install "$root" dpkg-dev pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev \
    libbz2-dev liblzma-dev libsqlite3-dev uuid-dev
  run_in "$root" sh -euc '
    rm -rf /var/tmp/py313t && mkdir -p /var/tmp/py313t && cd /var/tmp/py313t
    apt-get source -qq --download-only python3.13 > /dev/null
    dpkg-source --skip-patches -x python3.13_*.dsc > /dev/null
    cd python3.13-*/
    ./configure -q --disable-gil --prefix=/opt/python3.13t --with-ensurepip=no
    make -s -j"$(nproc)" > /dev/null
    make -s altinstall > /dev/null
    cd / && rm -rf /var/tmp/py313t'
}

# copy_source ROOT: this checkout's files into ROOT/quarn/src (its build/ kept for
# incremental builds); the shared test data read-only beside it when there is some.
copy_source() {
  local dst="$1/quarn/src"
  mkdir -p "$dst"
  find "$dst" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  (cd "$repo" && git ls-files -co --exclude-standard -z | tar -c --null -T - -f -) |
    tar -x -C "$dst" -f -
  if [ -d "$repo/../shared/data" ]; then
    mkdir -p "$1/quarn/shared/data"
    cp -ru "$repo/../shared/data/." "$1/quarn/shared/data/"
  fi
}

# The suite on one interpreter of a root, then count/iter/schema/records per kernel set.
# `linked`: whether the build must have linked libzstd (the root has its development files)
# or loaded it at run time (it has not). Debian, forky included, has no zlib-ng development package:
# gzip is inflated by zlib-ng where the test extra installs its package (before 3.13), else by
# zlib.
suite_in() {
  local root="$1" python="$2" tag="$3" linked="$4"
  copy_source "$root"
  step "$tag install" run_in "$root" sh -euc '
    cd /quarn/src && rm -rf "/quarn/venv-$2" && "$1" -m venv --without-pip "/quarn/venv-$2"
    . "/quarn/venv-$2/bin/activate"
    # Free-threaded: the newest releases of hypothesis, a mypy dependency, pyarrow, pandas
    # and numpy may have no wheel for it yet, and building them needs a Rust toolchain or
    # a long while: take their newest wheels.
    case "$2" in *t) export PIP_ONLY_BINARY=hypothesis,ast-serialize,pyarrow,pandas,numpy ;; esac
    python "$(ls /usr/share/python-wheels/pip-*.whl | tail -n 1)/pip" install -q --upgrade pip
    # No warning may come from any header, the interpreter'"'"'s included.
    python -m pip install -v -C cmake.define.CMAKE_CXX_FLAGS=-Wsystem-headers ".[test]" \
      > /quarn/install.log 2>&1 || { tail -n 50 /quarn/install.log; exit 1; }
    # (only in the module'"'"'s own build: from its first compile to its link). One is not
    # ours: GCC 14'"'"'s <semaphore>, which <thread> brings in, leaves a parameter unused.
    ! awk "/Building CXX object/ { on = 1 } on; /Linking CXX/ { on = 0 }" /quarn/install.log |
      grep -E "warning:" | grep -v "atomic_base.h:[0-9:]* warning: unused parameter .*__ignore_padding"' sh "$python" "$tag"
  step "$tag decoders" run_in "$root" "/quarn/venv-$tag/bin/python" -c '
import quarn, sys
info = quarn.build_info()
print(info)
linked = [k for k in ("gzip", "zstd") if info[k].endswith("(linked)")]
sys.exit(linked != (["zstd"] if sys.argv[1] == "yes" else []))' "$linked"
  # pytest takes about 1.3 GB of temporary files per run: on disk, not in a tmpfs.
  step "$tag pytest" run_in "$root" sh -euc '
    cd /quarn/src && . "/quarn/venv-$1/bin/activate" && rm -rf "/var/tmp/pytest-$1"
    python -c "import sys, quarn; print(sys.version); print(\"gil\", getattr(sys, \"_is_gil_enabled\", lambda: True)())"
    python -m pytest -q -p no:cacheprovider --basetemp="/var/tmp/pytest-$1"
    rm -rf "/var/tmp/pytest-$1" || true' sh "$tag"
  local sets
  sets="$(run_in "$root" "/quarn/venv-$tag/bin/python" -c \
    'from quarn.lib import _quarn; print(*_quarn._testing.kernels())' 2> /dev/null || true)"
  for k in $sets; do
    step "$tag kernels=$k" run_in "$root" sh -euc '
      cd /quarn/src && . "/quarn/venv-$1/bin/activate" && rm -rf "/var/tmp/pytest-$1-$2"
      QUARN_TEST_KERNELS="$2" python -m pytest -q -p no:cacheprovider \
        --basetemp="/var/tmp/pytest-$1-$2" tests/test_count.py tests/test_iter.py \
        tests/test_schema.py tests/test_records.py tests/test_split.py
      rm -rf "/var/tmp/pytest-$1-$2" || true' sh "$tag" "$k"
  done
}

# The C++ tests for aarch64: cross-compiled, run by qemu against the cross toolchain's
# libraries. Only the tests: pytest itself runs here.
arm64_native() {
  host_install qemu-user-static g++-aarch64-linux-gnu
  local venv="$cache/host-venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q pytest hypothesis
  step "arm64 native" env QUARN_NATIVE_CXX=aarch64-linux-gnu-g++ \
    QUARN_NATIVE_RUN="qemu-aarch64-static -L /usr/aarch64-linux-gnu" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$cache/pytest-arm64" \
    "$repo/tests/test_native.py"
  rm -rf "$cache/pytest-arm64"
}

trixie() { [ -n "${trixie_done:-}" ] || step "trixie root" make_root trixie trixie; trixie_done=1; }
# debootstrap has no script of its own for forky; sid's fits. Its builds link libzstd
# (trixie's load it, as a machine without its development files does).
forky() {
  [ -n "${forky_done:-}" ] || {
    step "forky root" make_root forky forky /usr/share/debootstrap/scripts/sid
    step "forky dev files" root_install "$cache/forky" pkg-config libzstd-dev
  }
  forky_done=1
}

for target in "${targets[@]}"; do
  case "$target" in
    roots)
      trixie
      step "3.13t build" build_313t "$cache/trixie"
      forky
      step "3.15 install" root_install "$cache/forky" python3.15-dev python3.15-venv
      ;;
    3.13 | 3.13t)
      trixie
      if [ "$target" = 3.13 ]; then
        suite_in "$cache/trixie" python3.13 3.13 no
      else
        step "3.13t build" build_313t "$cache/trixie"
        suite_in "$cache/trixie" /opt/python3.13t/bin/python3.13t 3.13t no
      fi
      ;;
    3.14 | 3.15)
      forky
      [ "$target" = 3.14 ] || root_install "$cache/forky" python3.15-dev python3.15-venv
      suite_in "$cache/forky" "python$target" "$target" yes
      ;;
    arm64) arm64_native ;;
    *)
      echo "matrix: unknown target $target" >&2
      exit 2
      ;;
  esac
done

printf '%s\n' "${summary[@]}"
exit "$failed"
