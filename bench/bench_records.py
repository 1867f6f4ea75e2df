"""records=: the elements of an array nested in a document (a GeoJSON
FeatureCollection, a {"meta", "data"} export), against ijson's prefix
iteration and `wc -l`; and schema of such documents against an 8 MiB one.

    python bench/bench_records.py [--dir DIR] [--base PYTHON] [--quick]

Each measurement runs in its own interpreter, which reports its time and its
peak resident memory above the same interpreter's baseline (quarn imported).
With --base (or QUARN_BENCH_BASE), the interpreter of another build (a venv
with an earlier commit installed) runs every quarn case too, alternating
with this one in the same run, and the table shows both and their ratio: on
a machine shared with other work, only such side-by-side figures compare.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHAPES = {"geojson": "/features", "export": "/data"}

CHILD = r"""
import resource, sys, time
import quarn
case, path, pointer = sys.argv[1:4]
if case.startswith("ijson"):
    import ijson
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
if case == "iter":
    n = sum(1 for _ in quarn.iter_records(path, records=pointer))
elif case in ("ijson", "ijson-decimal"):
    with open(path, "rb") as f:
        items = ijson.items(f, pointer.strip("/") + ".item", use_float=case == "ijson")
        n = sum(1 for _ in items)
elif case == "count":
    n = quarn.count(path, records=pointer)
elif case == "schema":
    n = len(quarn.schema(path))
elif case == "schema-records":
    n = len(quarn.schema(path, records=pointer))
t = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(t, (peak - base) / 1024, n)
"""


def child(python, case, path, pointer):
    out = subprocess.run(
        [python, "-c", CHILD, case, path, pointer],
        check=True,
        capture_output=True,
        text=True,
    )
    t, mem, n = out.stdout.split()
    return float(t), float(mem), int(n)


def side_by_side(pythons, case, path, pointer, repeat):
    """{python: (median s, peak MiB, n)}, the interpreters taking turns run by run."""
    runs = {p: [] for p in pythons}
    for _ in range(repeat):
        for p in pythons:
            runs[p].append(child(p, case, path, pointer))
    return {
        p: (statistics.median(r[0] for r in rs), max(r[1] for r in rs), rs[0][2])
        for p, rs in runs.items()
    }


def wc(path, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        subprocess.run(["wc", "-l", path], check=True, capture_output=True)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def files(directory, size):
    out = {}
    for shape in SHAPES:
        for s in ("8M", size):
            path = os.path.join(directory, f"{shape}-{s}.json")
            if not os.path.exists(path):
                subprocess.run(
                    [sys.executable, os.path.join(HERE, "make_nested.py"), shape, s, path],
                    check=True,
                )
            out[shape, s] = path
    return out


def has_ijson():
    try:
        import ijson  # noqa: F401
    except ImportError:
        return False
    return True


def run(ctx):
    directory = getattr(ctx, "keep", None) or os.environ.get("QUARN_BENCH_DIR", "/tmp")
    os.makedirs(directory, exist_ok=True)
    base = getattr(ctx, "base", None) or os.environ.get("QUARN_BENCH_BASE")
    pythons = [sys.executable] + ([base] if base else [])
    size = "256M"
    paths = files(directory, size)
    repeat = 3 if ctx.quick else 5

    def line(label, got, unit=1.0, fmt="{:.3f} s", target=""):
        this = got[sys.executable]
        text = f"  {label:15} {fmt.format(this[0] * unit)}  peak +{this[1]:.1f} MiB"
        if base:
            other = got[base]
            text += (
                f"   base {fmt.format(other[0] * unit)}  peak +{other[1]:.1f} MiB"
                f"   -> base / this {other[0] / this[0]:.2f}x"
            )
        print(text + target)

    for shape, pointer in SHAPES.items():
        big, small = paths[shape, size], paths[shape, "8M"]
        mb = os.path.getsize(big) / 1e6
        it = side_by_side(pythons, "iter", big, pointer, repeat)
        cnt = side_by_side(pythons, "count", big, pointer, repeat)
        w = wc(big, repeat)
        n = it[sys.executable][2]
        print(f"{shape} {mb:.0f} MB, {n} records at {pointer} (count {cnt[sys.executable][2]})")
        line("iter_records", it, target=f"  ({mb / it[sys.executable][0]:.0f} MB/s)")
        line("count", cnt, target=f"  (wc -l {w:.3f} s: {cnt[sys.executable][0] / w:.2f}x)")
        if has_ijson():
            ij = side_by_side([sys.executable], "ijson", big, pointer, 1)[sys.executable]
            print(f"  ijson.items    {ij[0]:.3f} s -> quarn {ij[0] / it[sys.executable][0]:.1f}x")
        for case in ("schema", "schema-records"):
            large = side_by_side(pythons, case, big, pointer, repeat)
            eight = side_by_side(pythons, case, small, pointer, repeat)
            ratio = large[sys.executable][0] / eight[sys.executable][0]
            line(case, large, 1e3, "{:.2f} ms", f"  (vs 8 MiB: {ratio:.2f}x, target <= 1.2)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", dest="keep", help="where the data files are (made if missing)")
    parser.add_argument("--base", help="the interpreter of a venv with another build of quarn")
    parser.add_argument("--quick", action="store_true")
    run(parser.parse_args())
