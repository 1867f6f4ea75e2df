"""Builds and runs the interpreter-free C++ tests of the parser, scanners,
renderer and inference, with AddressSanitizer and UBSan.

The binaries are kept in build/native-tests, named by a hash of everything that goes into
them (sources, every header of the tree, flags, the compiler's identity), so a run rebuilds
only what changed. QUARN_NATIVE_CXX picks another compiler (a cross compiler) and
QUARN_NATIVE_RUN a command prefix that runs its binaries (an emulator), e.g.
QUARN_NATIVE_CXX=aarch64-linux-gnu-g++ QUARN_NATIVE_RUN="qemu-aarch64-static -L
/usr/aarch64-linux-gnu"."""

import hashlib
import os
import shlex
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SRC = ROOT / "src" / "lib"
NATIVE = Path(__file__).resolve().parent / "native"
CACHE = ROOT / "build" / "native-tests"
CXX = os.environ.get("QUARN_NATIVE_CXX") or shutil.which("g++") or shutil.which("c++")
RUN = shlex.split(os.environ.get("QUARN_NATIVE_RUN", ""))
EMULATED = bool(RUN)

pytestmark = pytest.mark.skipif(CXX is None, reason="no C++ compiler")


def compiler_identity():
    out = subprocess.run([CXX, "-dumpmachine"], capture_output=True, text=True, check=True)
    version = subprocess.run([CXX, "--version"], capture_output=True, text=True, check=True)
    return out.stdout.strip(), version.stdout


TARGET, VERSION = compiler_identity() if CXX else ("", "")
X86 = TARGET.startswith("x86_64")
SANITIZE = ["-fsanitize=address,undefined"]
COMMON = ["-std=c++20", "-O1", "-g", *SANITIZE, f"-I{SRC}"]


def isa_flags(source):
    if source.name.endswith("_avx2.cpp"):
        return ["-mavx2", "-mbmi", "-mbmi2", "-mlzcnt", "-mpclmul"] if X86 else []
    if source.name.endswith("_avx512.cpp"):
        return (
            [
                "-mavx512f",
                "-mavx512bw",
                "-mavx512vl",
                "-mavx512dq",
                "-mbmi",
                "-mbmi2",
                "-mlzcnt",
                "-mpclmul",
            ]
            if X86
            else []
        )
    return []


def build_key(sources, defines):
    h = hashlib.sha256()
    h.update(repr((CXX, TARGET, VERSION, COMMON, sorted(defines))).encode())
    headers = sorted(SRC.rglob("*.hpp")) + sorted(NATIVE.glob("*.hpp"))
    for path in [*sources, *headers]:
        h.update(str(path.relative_to(ROOT)).encode() + b"\0" + path.read_bytes())
    return h.hexdigest()[:20]


def build(name, sources, defines=()):
    """The test binary for these sources: from the cache, or compiled (each source with its
    own ISA flags) and linked into it."""
    exe = CACHE / f"{name}-{TARGET}-{build_key(sources, defines)}"
    if exe.exists():
        return exe
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        objects = []
        for i, src in enumerate(sources):
            obj = Path(tmp) / f"{i}.o"
            subprocess.run(
                [
                    CXX,
                    *COMMON,
                    *[f"-D{d}" for d in defines],
                    *isa_flags(src),
                    "-c",
                    str(src),
                    "-o",
                    str(obj),
                ],
                check=True,
            )
            objects.append(str(obj))
        subprocess.run([CXX, *SANITIZE, *objects, "-o", f"{tmp}/exe"], check=True)
        for old in CACHE.glob(f"{name}-{TARGET}-*"):  # earlier builds of this test
            old.unlink(missing_ok=True)
        os.replace(f"{tmp}/exe", exe)  # atomic: a parallel run sees all of it or nothing
    return exe


def run(exe, *args):
    # LeakSanitizer cannot run under an emulator (it stops the process like a debugger).
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0") if EMULATED else None
    result = subprocess.run(
        [*RUN, str(exe), *map(str, args)], capture_output=True, text=True, check=False, env=env
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


def test_render_and_infer(tmp_path):
    sources = ["json/render.cpp", "json/parser.cpp", "json/pow5.cpp", "json/infer.cpp"]
    exe = build("render", [SRC / s for s in sources] + [NATIVE / "test_render_infer.cpp"])
    dump = tmp_path / "doubles.txt"
    run(exe, dump)
    # The digits of every rendered double are those of repr(); only the layout differs.
    for line in dump.read_text().splitlines():
        bits, text = line.split()
        value = struct.unpack("<d", struct.pack("<Q", int(bits, 16)))[0]
        mine = text.lstrip("-").split("e")[0].replace(".", "").strip("0")
        theirs = repr(value).lstrip("-").split("e")[0].replace(".", "").strip("0")
        assert (mine, float(text)) == (theirs, value), (text, repr(value))


@pytest.mark.parametrize("defines", [(), ("QUARN_PORTABLE_SCAN",)], ids=["simd", "portable"])
def test_parser(defines):
    exe = build(
        "parser-" + "-".join(defines or ["simd"]),
        [
            SRC / "json/parser.cpp",
            SRC / "json/pow5.cpp",
            SRC / "json/pointer.cpp",
            NATIVE / "test_parser.cpp",
        ],
        defines,
    )
    suite = ROOT.parent / "shared" / "data" / "jsontestsuite"
    run(exe, suite if suite.exists() else "--no-suite")


def test_scanners():
    # Differential: every kernel set the CPU supports against the scalar one.
    sources = sorted((SRC / "scan").glob("*.cpp")) + [NATIVE / "test_scan.cpp"]
    out = run(build("scan", sources))
    # The vector set of the target really ran, not only the scalar one.
    if TARGET.startswith("aarch64"):
        assert "kernel set neon" in out, out
    elif X86 and not EMULATED and " avx2" in Path("/proc/cpuinfo").read_text():
        assert "kernel set avx2" in out, out


def test_arrow_columns():
    sources = [
        "arrow/types.cpp",
        "arrow/builder.cpp",
        "json/parser.cpp",
        "json/pow5.cpp",
        "json/pointer.cpp",
        "json/text.cpp",
    ]
    scan = sorted((SRC / "scan").glob("*.cpp"))
    run(build("arrow", [SRC / s for s in sources] + scan + [NATIVE / "test_arrow.cpp"]))
