"""Fuzz target for the four functions of quarn.bigjson over arbitrary file contents.

Each input is written to a file and read with every function, in both formats and with
format detection. Nothing may crash or raise anything but the documented ValueError and
RuntimeError texts; where `load` accepts the file, everything else must agree with it and
with Python's json module.

    python fuzz/api_fuzz.py [libFuzzer options] [corpus dirs or files]   # with atheris
    python fuzz/api_fuzz.py --random SECONDS [seed dirs or files]       # without it

Input layout: one control byte (bits 0-1 pick the file name ending, bits 2-3 a padding
that pushes the rest of the input across the 64 KiB read block, bits 4-7 the sample
size), then the file contents.
"""

import atexit
import json
import os
import random
import shutil
import struct
import sys
import tempfile
import time

from quarn import bigjson

# Unicode White_Space: what the record reader trims from records and lines.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + (
    "\u2028\u2029\u202f\u205f\u3000"
)
ENDINGS = (".json", ".jsonl", ".txt", ".NDJSON")
PADDING = (0, 65536 - 17, 65536 - 45, 0)
VALUE_PREFIXES = ("invalid JSON: ", "invalid JSONL line: ", "invalid JSON element: ")
RUNTIME_TEXTS = ("read error: stream did not contain valid UTF-8",)

_workdir = []


def workdir():
    """A scratch directory for the input file, made on first use and removed at exit."""
    if not _workdir:
        _workdir.append(tempfile.mkdtemp(prefix="quarn-api-fuzz-"))
        atexit.register(shutil.rmtree, _workdir[0], True)
    return _workdir[0]


class Mismatch(AssertionError):
    pass


def check(cond, what):
    if not cond:
        raise Mismatch(what)


def expected_error(e):
    """Only the documented exceptions, with their documented texts."""
    text = str(e)
    if type(e) is ValueError:
        check(text.startswith(VALUE_PREFIXES), f"ValueError text: {text!r}")
        check(" at line " in text and " column " in text, f"no position: {text!r}")
    elif type(e) is RuntimeError:
        check(text in RUNTIME_TEXTS, f"RuntimeError text: {text!r}")
    else:
        raise e


def attempt(fn, *args, **kwargs):
    """(True, result) or (False, exception) for the documented exceptions."""
    try:
        return True, fn(*args, **kwargs)
    except (ValueError, RuntimeError) as e:
        expected_error(e)
        return False, e


def drain(path, fmt, limit):
    """Every record and error of an iterator, continuing after errors as documented."""
    it = bigjson.iter_records(path, fmt)
    total = it.total_bytes
    check(it.bytes_read == 0, "bytes_read before the first next()")
    out, last = [], 0
    for _ in range(limit):
        try:
            out.append(("ok", next(it)))
        except StopIteration:
            check(it.bytes_read <= total, "bytes_read beyond the file size")
            return out, it.bytes_read, total
        except (ValueError, RuntimeError) as e:
            expected_error(e)
            out.append(("error", e))
        check(it.bytes_read >= last, "bytes_read went back")
        last = it.bytes_read
    raise Mismatch("the iterator does not end")


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def agree(mine, theirs):
    """Whether quarn's object equals json's, allowing for quarn's documented differences:
    dict keys in UTF-8 byte order, integers outside 64 bits as float, -0 as -0.0."""
    if theirs is None or isinstance(theirs, bool):
        return mine is theirs
    if isinstance(theirs, int):
        if -(2**63) <= theirs < 2**64 and type(mine) is int:
            return mine == theirs
        return type(mine) is float and mine == float(theirs)
    if isinstance(theirs, float):
        return type(mine) is float and same_float(mine, theirs)
    if isinstance(theirs, str):
        return type(mine) is str and mine == theirs
    if isinstance(theirs, list):
        return (type(mine) is list and len(mine) == len(theirs)
                and all(agree(a, b) for a, b in zip(mine, theirs)))
    order = sorted(theirs, key=lambda k: k.encode("utf-8", "surrogatepass"))
    return (type(mine) is dict and list(mine) == order
            and all(agree(mine[k], theirs[k]) for k in order))


def reference_lines(text):
    """json's reading of each non-blank line of a JSON Lines text."""
    out = []
    for line in text.split("\n"):
        line = line.strip(WHITE_SPACE)
        if line:
            out.append(json.loads(line))
    return out


def check_json(path, data, sample):
    ok, loaded = attempt(bigjson.load, path, "json")
    records, read, total = drain(path, "json", len(data) + 4)
    check(total == len(data), "total_bytes is not the file size")
    ok_count, counted = attempt(bigjson.count, path, "json")
    check(ok_count, "count failed on a regular file")
    attempt(bigjson.schema, path, sample, "json")
    if not ok:
        return
    theirs = json.loads(data.decode("utf-8-sig"))  # one leading BOM is skipped
    check(agree(loaded, theirs), "load differs from json.loads")
    items = loaded if isinstance(loaded, list) else [loaded]
    check(counted == len(items), f"count {counted} for {len(items)} records")
    check([r for _, r in records] == items and all(k == "ok" for k, _ in records),
          "iter_records differs from load")
    check(read == total, "bytes_read short of the size after the last record")
    ok_schema, text = attempt(bigjson.schema, path, len(items) + 1, "json")
    check(ok_schema, "schema failed where load succeeded")
    json.loads(text)


def check_jsonl(path, data, sample):
    ok, loaded = attempt(bigjson.load, path, "jsonl")
    records, read, total = drain(path, "jsonl", data.count(b"\n") + 4)
    ok_count, counted = attempt(bigjson.count, path, "jsonl")
    attempt(bigjson.schema, path, sample, "jsonl")
    if not ok:
        return
    theirs = reference_lines(data.decode("utf-8-sig"))
    check(agree(loaded, theirs), "load differs from json.loads per line")
    check(ok_count and counted == len(loaded), "count differs from load")
    check([r for _, r in records] == loaded and all(k == "ok" for k, _ in records),
          "iter_records differs from load")
    check(read == total == len(data), "bytes_read short of the size after the last line")
    ok_schema, text = attempt(bigjson.schema, path, len(loaded), "jsonl")
    check(ok_schema, "schema failed where load succeeded")
    json.loads(text)


def test_one_input(raw):
    if not raw:
        return
    control, data = raw[0], raw[1:]
    pad = PADDING[(control >> 2) & 3]
    if pad and data:
        # Blanks after the first byte: inside an array or a first line they change
        # nothing but where the rest falls relative to the reader's blocks.
        data = data[:1] + b" " * pad + data[1:]
    path = os.path.join(workdir(), "input" + ENDINGS[control & 3])
    with open(path, "wb") as f:
        f.write(data)
    sample = control >> 4
    check_json(path, data, sample)
    check_jsonl(path, data, sample)
    # Detection by name or by content, then the same reading as above.
    for fn in (bigjson.load, bigjson.count):
        attempt(fn, path)
    attempt(bigjson.schema, path, sample)
    drain(path, None, len(data) + 4)


def inputs_from(paths):
    for p in paths:
        if os.path.isdir(p):
            for name in sorted(os.listdir(p)):
                full = os.path.join(p, name)
                if os.path.isfile(full):
                    yield full
        elif os.path.isfile(p):
            yield p


def mutate(rng, data, pool):
    data = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        op = rng.randrange(6)
        at = rng.randint(0, len(data))
        if op == 0 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 1:
            data[at:at] = rng.choice([b"[", b"]", b"{", b"}", b",", b'"', b"\\", b"\n", b" ",
                                      b"\xff", b"\xc3\xa9", b"\xe2\x80\xa8", b"1e999", b"-0",
                                      b"\\u", b"\\ud83d", b"[" * 127, b"]" * 127, b"\x00"])
        elif op == 2 and data:
            del data[at:at + rng.randint(1, 64)]
        elif op == 3:
            other = rng.choice(pool)
            start = rng.randint(0, len(other))
            data[at:at] = other[start:start + rng.randint(1, 256)]
        elif op == 4:
            data = data[:at]
        else:
            piece = data[at:at + rng.randint(1, 32)]
            data[at:at] = piece * rng.randint(1, 4)
    return bytes(data[:70000])


def run_random(seconds, paths):
    """Mutates the seeds at random for `seconds`; stops at the first failure, writing the
    input next to the working directory."""
    rng = random.Random(int(os.environ.get("FUZZ_SEED", "0")) or None)
    pool = []
    for p in inputs_from(paths):
        with open(p, "rb") as f:
            pool.append(bytes([rng.randrange(256)]) + f.read(70000))
    pool = pool or [b"\x00[1, {\"a\": [true, null]}, \"x\"]"]
    for data in pool:  # the seeds and kept regressions first, as they are
        test_one_input(data)
    deadline, runs = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        data = mutate(rng, rng.choice(pool), pool)
        try:
            test_one_input(data)
        except BaseException:
            crash = os.path.join(os.getcwd(), "crash-api-random")
            with open(crash, "wb") as f:
                f.write(data)
            print(f"failing input written to {crash}", file=sys.stderr)
            raise
        runs += 1
    print(f"api_fuzz: {runs} random inputs, no failure", file=sys.stderr)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--random":
        run_random(float(sys.argv[2]), sys.argv[3:])
        return
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
