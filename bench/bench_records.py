"""records=: the elements of an array nested in a document (a GeoJSON
FeatureCollection, a {"meta", "data"} export), against ijson's prefix
iteration and `wc -l`; and schema of such documents against an 8 MiB one.

Each measurement runs in its own interpreter, which reports its time and its
peak resident memory above the same interpreter's baseline (quarn imported).
"""

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
import ijson
case, path, pointer = sys.argv[1:4]
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


def child(case, path, pointer):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, case, path, pointer],
        check=True,
        capture_output=True,
        text=True,
    )
    t, mem, n = out.stdout.split()
    return float(t), float(mem), int(n)


def best(case, path, pointer, repeat):
    runs = [child(case, path, pointer) for _ in range(repeat)]
    return statistics.median(r[0] for r in runs), max(r[1] for r in runs), runs[0][2]


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


def run(ctx):
    directory = getattr(ctx, "keep", None) or os.environ.get("QUARN_BENCH_DIR", "/tmp")
    os.makedirs(directory, exist_ok=True)
    size = "256M"
    paths = files(directory, size)
    repeat = 3 if ctx.quick else 5
    for shape, pointer in SHAPES.items():
        big, small = paths[shape, size], paths[shape, "8M"]
        mb = os.path.getsize(big) / 1e6
        it, it_mem, n = best("iter", big, pointer, repeat)
        ij, ij_mem, n2 = best("ijson", big, pointer, 1)
        ijd, _, _ = best("ijson-decimal", big, pointer, 1)
        cnt, _, n3 = best("count", big, pointer, repeat)
        w = wc(big, repeat)
        print(f"{shape} {mb:.0f} MB, {n} records at {pointer} (ijson {n2}, count {n3})")
        print(f"  iter_records  {it:.3f} s  {mb / it:.0f} MB/s  peak +{it_mem:.1f} MiB")
        print(
            f"  ijson.items   {ij:.3f} s  peak +{ij_mem:.1f} MiB   -> quarn {ij / it:.1f}x faster (target >= 5)"
        )
        print(f"  ijson, Decimal numbers (its default) {ijd:.3f} s -> quarn {ijd / it:.1f}x faster")
        print(
            f"  count         {cnt:.3f} s   wc -l {w:.3f} s   -> {cnt / w:.2f}x wc -l (target <= 2)"
        )
        for case in ("schema", "schema-records"):
            large, _, _ = best(case, big, pointer, repeat)
            eight, _, _ = best(case, small, pointer, repeat)
            print(
                f"  {case:15} {large * 1e3:.2f} ms vs 8 MiB {eight * 1e3:.2f} ms -> {large / eight:.2f}x (target <= 1.2)"
            )


if __name__ == "__main__":

    class Ctx:
        quick = "--quick" in sys.argv
        keep = None

    run(Ctx())
