"""Builds and runs the interpreter-free C++ tests of the parser, scanners,
renderer and inference, with AddressSanitizer and UBSan where available."""

import platform
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SRC = ROOT / "src" / "lib"
NATIVE = Path(__file__).resolve().parent / "native"
CXX = shutil.which("g++") or shutil.which("c++")
X86 = platform.machine() in ("x86_64", "AMD64")

pytestmark = pytest.mark.skipif(CXX is None, reason="no C++ compiler")


def isa_flags(source):
    if source.name.endswith("_avx2.cpp"):
        return ["-mavx2", "-mbmi", "-mbmi2", "-mlzcnt", "-mpclmul"] if X86 else []
    if source.name.endswith("_avx512.cpp"):
        return (["-mavx512f", "-mavx512bw", "-mavx512vl", "-mavx512dq", "-mbmi", "-mbmi2",
                 "-mlzcnt", "-mpclmul"] if X86 else [])
    return []


def build(tmp_path, name, sources, defines=()):
    """Compiles each source to an object (own ISA flags) and links them."""
    common = ["-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", f"-I{SRC}",
              *[f"-D{d}" for d in defines]]
    objects = []
    for i, src in enumerate(sources):
        obj = tmp_path / f"{name}.{i}.o"
        subprocess.run([CXX, *common, *isa_flags(src), "-c", str(src), "-o", str(obj)],
                       check=True)
        objects.append(str(obj))
    exe = tmp_path / name
    subprocess.run([CXX, "-fsanitize=address,undefined", *objects, "-o", str(exe)], check=True)
    return exe


def run(exe, *args):
    result = subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True,
                            check=False)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def test_render_and_infer(tmp_path):
    sources = ["json/render.cpp", "json/parser.cpp", "api/bigjson/infer.cpp"]
    exe = build(tmp_path, "render", [SRC / s for s in sources] + [NATIVE / "test_render_infer.cpp"])
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
def test_parser(tmp_path, defines):
    exe = build(tmp_path, "parser", [SRC / "json/parser.cpp", NATIVE / "test_parser.cpp"], defines)
    suite = ROOT.parent / "shared" / "data" / "jsontestsuite"
    run(exe, suite if suite.exists() else "--no-suite")


def test_scanners(tmp_path):
    # Differential: every kernel set the CPU supports against the scalar one.
    sources = sorted((SRC / "scan").glob("*.cpp")) + [NATIVE / "test_scan.cpp"]
    run(build(tmp_path, "scan", sources))
