#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time (see fuzz/README.md).
#
#   fuzz/run.sh                  # every target, FUZZ_SECONDS each (default 30)
#   fuzz/run.sh json scan        # only these: json, scan, api
#
# Environment: FUZZ_SECONDS, FUZZ_OUT (build and corpus directory, default build/fuzz),
# CLANGXX (clang++ with libFuzzer), PYTHON (interpreter with quarn installed, for `api`).
# Exits non-zero when a target finds a crash; the input is saved under
# $FUZZ_OUT/artifacts/ and replayed by passing it to the target binary.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

seconds="${FUZZ_SECONDS:-30}"
out="${FUZZ_OUT:-$root/build/fuzz}"
python="${PYTHON:-python3}"
shared="$root/../shared/data"
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(json scan api)

find_clang() {
  if [ -n "${CLANGXX:-}" ]; then echo "$CLANGXX"; return; fi
  local c
  for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$c" > /dev/null && echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
        | "$c" -x c++ -fsanitize=fuzzer - -o /dev/null 2> /dev/null; then
      echo "$c"; return
    fi
  done
}

mkdir -p "$out/obj" "$out/artifacts"
src="$root/src/lib"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -I"$src" -I"$root/fuzz")

# compile NAME SOURCE [FLAGS...]: one object, rebuilt when the source is newer.
compile() {
  local obj="$out/obj/$1.o" source="$2"
  shift 2
  if [ ! -e "$obj" ] || [ -n "$(find "$src" "$root/fuzz" -newer "$obj" -name '*.[ch]pp' | head -1)" ]; then
    "$clangxx" "${flags[@]}" "$@" -c "$source" -o "$obj"
  fi
  echo "$obj"
}

isa_avx2=(-mavx2 -mbmi -mbmi2 -mlzcnt -mpclmul)
isa_avx512=(-mavx512f -mavx512bw -mavx512vl -mavx512dq -mbmi -mbmi2 -mlzcnt -mpclmul)

scan_objects() {
  compile scan_scalar "$src/scan/scan_scalar.cpp"
  compile scan_dispatch "$src/scan/dispatch.cpp"
  if [ "$(uname -m)" = x86_64 ]; then
    compile scan_avx2 "$src/scan/scan_avx2.cpp" "${isa_avx2[@]}"
    compile scan_avx512 "$src/scan/scan_avx512.cpp" "${isa_avx512[@]}"
  fi
}

link() {
  local exe="$out/$1"
  shift
  "$clangxx" -fsanitize=fuzzer,address,undefined "$@" -o "$exe"
  echo "$exe"
}

build_json() {
  local objs=(
    "$(compile json_fuzz "$root/fuzz/json_fuzz.cpp")"
    "$(compile parser "$src/json/parser.cpp")"
    "$(compile pow5 "$src/json/pow5.cpp")"
    "$(compile render "$src/json/render.cpp")"
    "$(compile infer "$src/json/infer.cpp")"
    "$(compile parser_portable "$src/json/parser.cpp" -Dquarn=quarn_portable -DQUARN_PORTABLE_SCAN)"
    "$(compile pow5_portable "$src/json/pow5.cpp" -Dquarn=quarn_portable -DQUARN_PORTABLE_SCAN)"
    "$(compile portable_parse "$root/fuzz/portable_parse.cpp" -Dquarn=quarn_portable -DQUARN_PORTABLE_SCAN)"
  )
  link json_fuzz "${objs[@]}"
}

build_scan() {
  local objs
  mapfile -t objs < <(scan_objects)
  objs+=("$(compile scan_fuzz "$root/fuzz/scan_fuzz.cpp")" "$(compile text "$src/json/text.cpp")")
  link scan_fuzz "${objs[@]}"
}

# seeds TARGET: the working corpus (first, where new inputs go), the crash
# regressions kept in the repository, and the shared sample data.
seeds() {
  local dirs=("$out/corpus/$1")
  mkdir -p "$out/corpus/$1"
  [ -d "$root/fuzz/regressions/$1" ] && dirs+=("$root/fuzz/regressions/$1")
  [ -d "$shared/jsontestsuite" ] && dirs+=("$shared/jsontestsuite")
  [ -d "$shared/bench" ] && dirs+=("$shared/bench")
  printf '%s\n' "${dirs[@]}"
}

# run_native NAME BINARY MAX_LEN: replays the corpus (kept regressions included), then
# explores.
run_native() {
  local name="$1" exe="$2" max_len="$3" corpus
  mapfile -t corpus < <(seeds "$name")
  "$exe" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$name-" "${corpus[@]}"
}

# The extension once more, built by clang with coverage counters for libFuzzer and with
# AddressSanitizer and UndefinedBehaviorSanitizer, into $out/ext (imported through
# PYTHONPATH, so nothing installed is touched). atheris takes libFuzzer from a preload.
build_api_extension() {
  local rt isolation=()
  rt="$("$clangxx" -print-resource-dir)/lib/linux"
  asan_rt="$("$clangxx" -print-file-name=libclang_rt.asan-x86_64.so)"
  [ -e "$rt/libclang_rt.fuzzer_no_main-x86_64.a" ] && [ -e "$asan_rt" ] || return 1
  "$clangxx" -shared -o "$out/libfuzzer.so" -Wl,--whole-archive \
    "$rt/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread || return 1
  "$python" -c 'import scikit_build_core' 2> /dev/null && isolation=(--no-build-isolation)
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-1}" \
    "$python" -m pip install --quiet "${isolation[@]}" --upgrade --target "$out/ext" \
    -C build-dir="$out/ext-build" -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.CMAKE_CXX_COMPILER="$clangxx" \
    -C cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -C cmake.define.QUARN_SANITIZE=ON "$root"
}

run_api() {
  local corpus options
  mapfile -t corpus < <(seeds api)
  options=(-max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=4096
           -artifact_prefix="$out/artifacts/api-")
  "$python" -c 'import atheris' 2> /dev/null || "$python" -m pip install --quiet atheris || true
  if ! "$python" -c 'import atheris' 2> /dev/null; then
    echo "fuzz/run.sh: atheris is not available; driving the api target with random inputs" >&2
    "$python" "$root/fuzz/api_fuzz.py" --random "$seconds" "${corpus[@]}"
    return
  fi
  [ -n "$clangxx" ] || clangxx="$(find_clang)"
  if [ -n "$clangxx" ] && build_api_extension; then
    # The preload order puts libFuzzer's coverage hooks before the sanitizer's stubs.
    env PYTHONPATH="$out/ext" ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 \
      UBSAN_OPTIONS=print_stacktrace=1 LD_PRELOAD="$out/libfuzzer.so $asan_rt" \
      "$python" "$root/fuzz/api_fuzz.py" "${options[@]}" "${corpus[@]}"
  else
    echo "fuzz/run.sh: no instrumented build; the api target sees Python coverage only" >&2
    "$python" "$root/fuzz/api_fuzz.py" "${options[@]}" "${corpus[@]}"
  fi
}

clangxx=""
for t in "${targets[@]}"; do
  case "$t" in
    json | scan)
      [ -n "$clangxx" ] || clangxx="$(find_clang)"
      if [ -z "$clangxx" ]; then
        echo "fuzz/run.sh: no clang++ with libFuzzer (apt-get install clang); skipping $t" >&2
        continue
      fi
      echo "== $t: building" >&2
      exe="$("build_$t" | tail -1)"
      echo "== $t: fuzzing for ${seconds}s" >&2
      # The parser sees whole texts; the scanners' vector blocks are 64 bytes wide.
      run_native "$t" "$exe" "$([ "$t" = json ] && echo 16384 || echo 4096)"
      ;;
    api)
      echo "== api: fuzzing for ${seconds}s" >&2
      run_api
      ;;
    *)
      echo "fuzz/run.sh: unknown target $t (json, scan, api)" >&2
      exit 2
      ;;
  esac
done
