"""schema: structure of the first 100 records; its cost must not grow with the file."""

import os
import statistics
import subprocess
import sys

from harness import MEASURE_HEADER, check, file_label, measure_row, ratio, run_case, table

SMALL = "10M"


def run(ctx):
    repeat = 10 if ctx.quick else 30
    rows, notes = [], []
    for fmt in ("jsonl", "json"):
        small, large = ctx.files.get(fmt, SMALL), ctx.files.get(fmt, ctx.size)
        quarn_small = run_case("quarn.schema", small, repeat)
        quarn_large = run_case("quarn.schema", large, repeat)
        genson = run_case("genson.schema", large, repeat)
        rows += [
            measure_row(m, file_label(p), 0)
            for m, p in ((quarn_small, small), (quarn_large, large), (genson, large))
        ]
        notes.append(
            f"{fmt}: quarn {ctx.size} / {SMALL} = "
            f"{check(ratio(quarn_large.median, quarn_small.median), 1.2, True)}"
        )
        notes.append(
            f"{fmt}: genson / quarn = "
            f"{check(ratio(genson.median, quarn_large.median), 20.0, False)}"
        )
    table(f"schema (sample=100): median of {repeat} runs (ratios of times)", MEASURE_HEADER, rows)
    for note in notes:
        print("  " + note)
    directory = getattr(ctx, "keep", None) or os.environ.get("QUARN_BENCH_DIR", "/tmp")
    id_map(directory, os.environ.get("QUARN_BENCH_BASE"), 3 if ctx.quick else 7)


# One document that is an object keyed by id: described as a map from a few of its members,
# the rest skipped within a budget, so its time and memory do not grow with the file.
ID_MAP_SIZES = ("8M", "256M")
ID_MAP_CHILD = r"""
import resource, sys, time
import quarn
path = sys.argv[1]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
n = len(quarn.schema(path))
t = time.perf_counter() - t
print(t, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024, n)
"""


def id_map_files(directory):
    out = {}
    for size in ID_MAP_SIZES:
        path = os.path.join(directory, f"idmap-{size}.json")
        if not os.path.exists(path):
            subprocess.run(
                [
                    sys.executable,
                    os.path.join(os.path.dirname(__file__), "make_id_map.py"),
                    size,
                    path,
                ],
                check=True,
            )
        out[size] = path
    return out


def id_map(directory, base=None, repeat=7):
    """Prints quarn.schema of the 8 MiB and 256 MiB id maps, with `base` (another build's
    interpreter) taking turns with this one."""
    pythons = [sys.executable] + ([base] if base else [])
    paths = id_map_files(directory)
    runs = {(p, s): [] for p in pythons for s in ID_MAP_SIZES}
    for _ in range(repeat):
        for s in ID_MAP_SIZES:
            for p in pythons:
                out = subprocess.run(
                    [p, "-c", ID_MAP_CHILD, paths[s]], check=True, capture_output=True, text=True
                ).stdout.split()
                runs[p, s].append((float(out[0]), float(out[1]), int(out[2])))
    print(f"schema of one object keyed by id: median of {repeat} runs")
    for p in pythons:
        label = "this" if p == sys.executable else "base"
        got = {}
        for s in ID_MAP_SIZES:
            t = statistics.median(r[0] for r in runs[p, s])
            peak = max(r[1] for r in runs[p, s])
            got[s] = t
            print(
                f"  {label} {s:>5}: {t * 1e3:9.2f} ms  peak +{peak:7.1f} MiB  "
                f"description {runs[p, s][0][2]:,} chars"
            )
        print(f"  {label} 256M / 8M = {got['256M'] / got['8M']:.2f}x (target <= 1.2)")


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="schema of an object keyed by id")
    parser.add_argument("--dir", default=os.environ.get("QUARN_BENCH_DIR", "/tmp"))
    parser.add_argument("--base", help="the interpreter of a venv with another build of quarn")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    id_map(args.dir, args.base, args.repeat)
