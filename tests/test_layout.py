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
# Files of api/ itself (not of one front end) that every front end shares.
API_SHARED = {"api/api.hpp", "api/fields.hpp"}

# Includes against the direction that remain, each with the reason it is not gone yet.
EXCEPTIONS = {
    # The record operations (count_records, load_records, ...) are defined beside the
    # bigjson functions that run them; the other front ends run the same ones.
    ("api/toplevel/operations.cpp", "api/bigjson/operations.hpp"): "record operations",
    ("api/split/register.cpp", "api/bigjson/operations.hpp"): "record operations",
    # The reader builds each record's value with the Python object sink.
    ("records/reader.hpp", "binding/pysink.hpp"): "values are Python objects",
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
                if a != "api" or mine == theirs or target in API_SHARED:
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
