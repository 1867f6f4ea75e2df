"""The native sources' include graph runs one way: the front ends in api/ over the record
source in records/, over the byte sources, codec and scanners in io/, json/ and scan/;
binding/ (the call boundary) sits beside api/. A front end never reads another's files."""

import re
from pathlib import Path

LIB = Path(__file__).resolve().parent.parent / "src" / "lib"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)

# Higher floors may include lower ones, never the reverse.
FLOOR = {"io": 0, "json": 0, "arrow": 0, "scan": 0, "records": 1, "binding": 2, "api": 3, "": 4}
# What of the boundary every floor may use: the result type, which is Python-free; the
# owner of a PyObject*, for the sources that read a Python stream, call a callback or hold a
# record's value; the scope that lets go of the interpreter lock while a file is read.
SHARED = {"binding/result.hpp", "binding/ref.hpp", "binding/unlocked.hpp"}
# Files of api/ itself (not of one front end) that every front end shares, and the record
# operations (count, load, iterate, describe) that every front end runs.
API_SHARED = {"api/api.hpp", "api/fields.hpp", "api/capsules.hpp"}
OPERATIONS = "api/operations/"

# Includes against the direction that remain, each with the reason it is not gone yet.
EXCEPTIONS = {
    # A Python stream's failure is noted as the source's (add_processing_note).
    ("io/stream.cpp", "binding/boundary.hpp"): "processing note",
    # The decoders register their build_info function (the libraries they read with).
    ("io/libraries.cpp", "binding/boundary.hpp"): "build_info",
}


def area(rel: str) -> str:
    parts = rel.split("/")
    return parts[0] if len(parts) > 1 else ""


def front_end(rel: str) -> str | None:
    parts = rel.split("/")
    return parts[1] if parts[0] == "api" and len(parts) > 2 else None


def violations():
    for path in sorted(LIB.rglob("*.[ch]pp")):
        rel = path.relative_to(LIB).as_posix()
        for target in INCLUDE.findall(path.read_text()):
            if not (LIB / target).exists():
                target = (path.parent / target).relative_to(LIB).as_posix()
            if (rel, target) in EXCEPTIONS or target in SHARED:
                continue
            a, b = area(rel), area(target)
            if a == b:
                mine, theirs = front_end(rel), front_end(target)
                shared = target in API_SHARED or target.startswith(OPERATIONS)
                if a != "api" or mine == theirs or shared:
                    continue
            elif FLOOR[b] < FLOOR[a] or (FLOOR[a] == FLOOR[b] == 0):
                continue
            yield f"{rel} includes {target}"


def test_includes_run_one_way():
    assert list(violations()) == []


def test_exceptions_are_still_needed():
    found = {
        (p.relative_to(LIB).as_posix(), t)
        for p in LIB.rglob("*.[ch]pp")
        for t in INCLUDE.findall(p.read_text())
    }
    assert set(EXCEPTIONS) <= found


# The engine below the call boundary knows nothing of the interpreter, apart from these
# files: the quoting of names in messages (the interpreter's Unicode database decides what
# is printable, as repr() does) and the opening of what a caller passes (path objects,
# Python streams). The interpreter is reached through binding/unlocked.hpp only.
PYTHON_FREE = ("json/", "scan/", "records/")
NEEDS_PYTHON = {"records/format.cpp", "records/open.hpp", "records/open.cpp"}


def uses_python(rel, seen):
    if rel not in seen:
        seen[rel] = False  # a cycle does not make a file use Python
        path = LIB / rel
        text = path.read_text()
        targets = []
        for target in INCLUDE.findall(text):
            if not (LIB / target).exists():
                target = (path.parent / target).relative_to(LIB).as_posix()
            targets.append(target)
        seen[rel] = "<Python.h>" in text or any(uses_python(t, seen) for t in targets)
    return seen[rel]


def test_the_engine_needs_no_interpreter():
    seen = {}
    files = [p.relative_to(LIB).as_posix() for p in sorted(LIB.rglob("*.[ch]pp"))]
    assert [
        rel
        for rel in files
        if rel.startswith(PYTHON_FREE) and rel not in NEEDS_PYTHON and uses_python(rel, seen)
    ] == []
    assert all(uses_python(rel, seen) for rel in NEEDS_PYTHON)
