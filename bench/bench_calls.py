"""calls: what one call costs, on many small files and on the classic documents.

    python bench/bench_calls.py [--rounds N] [--files N] [--docs DIR]

A directory of API responses is read a file at a time, so the cost of a call (opening,
detecting, the Python layer in front) weighs as much as the parsing. Each table runs every
case in this one interpreter, round-robin, so all sides meet the same machine load; the
median of the rounds is reported per file.

- Small files: 2,000 (``--files``) JSON documents of about 120 bytes, made in a temporary
  directory. quarn's top-level functions against the native ``quarn.bigjson`` ones beneath
  them, and ``load`` against orjson, ssrjson and yyjson (open, read, loads), where installed.
- Whole program: a fresh interpreter that imports the library and loads every small file,
  as a script run by a shell or a scheduler pays it (startup included).
- Classic documents: each file of the JSON benchmark set (``--docs``; by default
  ``../shared/data/bench`` beside the repository, skipped when missing).

Targets: quarn's functions at most 1.1x their bigjson counterparts plus half a microsecond,
and quarn.load of the small files at most orjson's open + read + loads.
"""

import argparse
import importlib.metadata
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import orjson
import quarn
from quarn import bigjson

HERE = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(HERE, "..", "..", "shared", "data", "bench")


def read_with(loads):
    def load(path):
        with open(path, "rb") as f:
            return loads(f.read())

    return load


def peers():
    """Peer loaders that are installed: open, read, loads."""
    found = {"orjson": read_with(orjson.loads)}
    if importlib.util.find_spec("ssrjson"):
        import ssrjson

        found["ssrjson"] = read_with(ssrjson.loads)
    if importlib.util.find_spec("yyjson"):
        import yyjson

        found["yyjson"] = read_with(yyjson.loads)
    return found


def make_files(directory, n):
    rng = random.Random(19)
    paths = []
    for i in range(n):
        record = {
            "id": 1_000_000 + i,
            "user": f"user{rng.randrange(100_000)}",
            "status": rng.choice(["ok", "error", "pending"]),
            "score": round(rng.random() * 100, 3),
            "tags": rng.sample(["a", "bb", "ccc", "dd", "e"], 2),
            "region": rng.choice(["eu-west-1", "us-east-2"]),
            "active": rng.random() < 0.5,
        }
        path = os.path.join(directory, f"{i:05}.json")
        with open(path, "w") as f:
            json.dump(record, f)
        paths.append(path)
    return paths


def table(title, cases, paths, rounds, inner=1):
    """Runs every case over `paths` (`inner` times), round-robin; the median per file, µs."""
    times = {name: [] for name in cases}
    names = list(cases)
    for r in range(rounds):
        # Each round starts with the next case: none always follows the same one.
        for name in names[r % len(names) :] + names[: r % len(names)]:
            fn = cases[name]
            t = time.perf_counter()
            for _ in range(inner):
                for p in paths:
                    fn(p)
            times[name].append((time.perf_counter() - t) / (inner * len(paths)) * 1e6)
    medians = {name: statistics.median(ts) for name, ts in times.items()}
    print(f"\n{title}")
    for name, t in medians.items():
        print(f"  {name:22} {t:9.2f} µs")
    return medians


def against_native(m, top, native):
    """quarn's top-level function against the native one: the ratio, and the target."""
    limit = 1.1 * m[native] + 0.5
    verdict = "ok" if m[top] <= limit else "MISS"
    print(
        f"  {top} / {native}: {m[top] / m[native]:.3f}x, +{m[top] - m[native]:.2f} µs "
        f"(target <= 1.1x + 0.5 µs = {limit:.2f} µs: {verdict})"
    )


def against_peer(m, ours, peer, target=False):
    goal = f" (target <= 1: {'ok' if m[ours] <= m[peer] else 'MISS'})" if target else ""
    print(f"  {ours} / {peer}: {m[ours] / m[peer]:.3f}x{goal}")


PROGRAM = """
import sys, time
t = time.perf_counter()
{imports}
paths = sys.argv[1:]
for p in paths:
    {call}
print(time.perf_counter() - t)
"""


def whole_program(paths, rounds, loaders):
    """Fresh interpreters loading every file: imports and interpreter startup included."""
    programs = {
        "quarn.load": ("import quarn", "quarn.load(p)"),
        "orjson": ("import orjson", "with open(p, 'rb') as f: orjson.loads(f.read())"),
    }
    for name, module in (("ssrjson", "ssrjson"), ("yyjson", "yyjson")):
        if name in loaders:
            programs[name] = (
                f"import {module}",
                f"with open(p, 'rb') as f: {module}.loads(f.read())",
            )
    times = {name: [] for name in programs}
    for _ in range(rounds):
        for name, (imports, call) in programs.items():
            code = PROGRAM.format(imports=imports, call=call)
            t = time.perf_counter()
            subprocess.run([sys.executable, "-c", code, *paths], check=True, capture_output=True)
            times[name].append(time.perf_counter() - t)
    print(f"\nwhole program: a fresh interpreter imports the library and loads {len(paths)} files")
    base = statistics.median(times["orjson"])
    for name, ts in times.items():
        t = statistics.median(ts)
        print(f"  {name:22} {t * 1e3:9.1f} ms  ({t / base:.2f}x orjson)")


def measure(args):
    loaders = peers()
    versions = ", ".join(
        f"{name} {importlib.metadata.version(name)}" for name in ["quarn", *loaders]
    )
    print(f"{versions}; python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory() as directory:
        paths = make_files(directory, args.files)
        size = sum(os.path.getsize(p) for p in paths) / len(paths)
        cases = {
            "quarn.load": quarn.load,
            "bigjson.load": bigjson.load,
            **loaders,
            "quarn.count": quarn.count,
            "bigjson.count": bigjson.count,
        }
        m = table(
            f"{len(paths)} small files of {size:.0f} bytes, per file", cases, paths, args.rounds
        )
        against_native(m, "quarn.load", "bigjson.load")
        against_native(m, "quarn.count", "bigjson.count")
        against_peer(m, "quarn.load", "orjson", target=True)
        for name in loaders:
            if name != "orjson":
                against_peer(m, "quarn.load", name)
        whole_program(paths, args.rounds, loaders)

    if not os.path.isdir(args.docs):
        print(f"\nclassic documents: {args.docs} is missing, skipped")
        return
    docs = sorted(os.path.join(args.docs, f) for f in os.listdir(args.docs) if f.endswith(".json"))
    for path in docs:
        # Enough calls per round for the clock, whatever the document's size.
        inner = max(5, int(2e7 // os.path.getsize(path)))
        m = table(
            f"{os.path.basename(path)} ({os.path.getsize(path) / 1e3:.0f} kB), per call",
            {
                "quarn.load": quarn.load,
                "bigjson.load": bigjson.load,
                **loaders,
                "quarn.count": quarn.count,
                "bigjson.count": bigjson.count,
            },
            [path],
            args.rounds,
            inner,
        )
        against_native(m, "quarn.load", "bigjson.load")
        against_native(m, "quarn.count", "bigjson.count")
        for name in loaders:
            against_peer(m, "quarn.load", name)


def run(ctx):
    """Entry for bench/run.py."""
    measure(argparse.Namespace(rounds=5 if ctx.quick else 11, files=2000, docs=DOCS))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--docs", default=DOCS)
    measure(parser.parse_args())


if __name__ == "__main__":
    main()
