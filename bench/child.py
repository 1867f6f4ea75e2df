"""One benchmark case in a fresh interpreter: `python child.py CASE PATH REPEAT`.

Prints one JSON line: the REPEAT timed runs (after one untimed warm-up run), the record count the
case saw and the process's peak RSS. Every child imports all libraries before anything else, the
"baseline" case included, so baseline's peak RSS is the floor that the other cases are read
against: what a case adds above it is the memory the case itself needed.
"""

import gc
import itertools
import json
import re
import resource
import sys
import time

import genson
import ijson
import msgspec
import orjson

try:
    from quarn import bigjson
except ImportError as exc:
    bigjson, QUARN_MISSING = None, f"quarn is not importable ({exc})"

try:
    IJSON = ijson.get_backend("yajl2_c")
except ImportError:
    IJSON = None

CHUNK = 1 << 16
SPACE = re.compile(r"[ \t\n\r]*")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def json_load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def count(records):
    n = 0
    for _ in records:
        n += 1
    return n


def load_lines(path, loads):
    with open(path, "rb") as f:
        return [loads(line) for line in f]


def each_line(path, loads):
    with open(path, "rb") as f:
        return count(loads(line) for line in f)


def ijson_items(path):
    if IJSON is None:
        raise RuntimeError("ijson's yajl2_c backend is not available")
    # use_float gives plain floats like the other parsers; Decimal would only slow the peer down.
    with open(path, "rb") as f:
        return count(IJSON.items(f, "item", use_float=True))


def array_records(f):
    """Elements of a top-level JSON array, decoded one by one from 64 KiB text chunks."""
    decoder = json.JSONDecoder()
    buf = f.read(CHUNK)
    pos = buf.index("[") + 1
    while True:
        pos = SPACE.match(buf, pos).end()
        if buf.startswith("]", pos):
            return
        try:
            value, end = decoder.raw_decode(buf, pos)
            after = SPACE.match(buf, end).end()
            # A number cut at the chunk's end decodes "successfully"; only a visible separator
            # proves the element is whole.
            if after == len(buf):
                raise ValueError("element may continue in the next chunk")
        except ValueError:
            more = f.read(CHUNK)
            if not more:
                raise
            buf, pos = buf[pos:] + more, 0
            continue
        yield value
        pos = after + 1 if buf[after] == "," else after


def genson_schema(path, sample=100):
    builder = genson.SchemaBuilder()
    with open(path, encoding="utf-8") as f:
        if path.endswith(".json"):
            records = array_records(f)
        else:
            records = (json.loads(line) for line in f if line.strip())
        for record in itertools.islice(records, sample):
            builder.add_object(record)
    return builder.to_json(indent=2)


CASES = {
    "baseline": lambda p: None,
    "quarn.count": lambda p: bigjson.count(p),
    "quarn.load": lambda p: bigjson.load(p),
    "quarn.iter": lambda p: count(bigjson.iter_records(p)),
    "quarn.schema": lambda p: bigjson.schema(p),
    "orjson.load": lambda p: orjson.loads(read_bytes(p)),
    "orjson.lines": lambda p: load_lines(p, orjson.loads),
    "orjson.iter": lambda p: each_line(p, orjson.loads),
    "json.load": json_load,
    "json.lines": lambda p: load_lines(p, json.loads),
    "json.iter": lambda p: each_line(p, json.loads),
    "msgspec.load": lambda p: msgspec.json.decode(read_bytes(p)),
    "ijson.iter": ijson_items,
    "genson.schema": genson_schema,
}


# End to end: the call, then the program goes on (SMALL_DICTS allocations) and collects once. What
# the collector still owes for the result shows in the two steps after the call.
E2E = {"quarn.e2e": "quarn.load", "orjson.e2e": "orjson.load", "orjson.lines-e2e": "orjson.lines"}
SMALL_DICTS = 100_000


def measure_e2e(case, path, repeat):
    run = CASES[E2E[case]]
    times, calls, records = [], [], None
    for i in range(repeat + 1):
        start = time.perf_counter()
        value = run(path)
        called = time.perf_counter()
        rows = [{"id": n, "name": "row"} for n in range(SMALL_DICTS)]
        gc.collect()
        elapsed = time.perf_counter() - start
        if i:
            times.append(elapsed)
            calls.append(called - start)
        records = len(value)
        del value, rows
        # Each run starts from the same heap: the garbage of the one before is gone.
        gc.collect()
    return {"times": times, "call_times": calls, "records": records}


def measure(case, path, repeat):
    """Timed runs of one case; a peer that rejects a file raises, and the parent shows why."""
    if case.startswith("quarn.") and bigjson is None:
        return {"error": QUARN_MISSING}
    if case in E2E:
        return measure_e2e(case, path, repeat)
    run = CASES[case]
    times, records = [], None
    for i in range(repeat + 1):
        start = time.perf_counter()
        value = run(path)
        elapsed = time.perf_counter() - start
        if i:
            times.append(elapsed)
        if isinstance(value, int):
            records = value
        elif isinstance(value, list):
            records = len(value)
        # Freed outside the timed span and before the next run, so two results never coexist.
        del value
    return {"times": times, "records": records}


def main():
    case, path, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
    result = measure(case, path, repeat)
    result["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(result))


if __name__ == "__main__":
    main()
