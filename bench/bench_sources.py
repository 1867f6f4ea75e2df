"""sources: compressed files and pipes, quarn's top-level functions against the peers.

    python bench/bench_sources.py [DATA] [--repeat N] [--out DIR] [--base PYTHON]

DATA is a JSON Lines file of tweets, or a directory holding `tweets.jsonl` (from bench/run.py
it is made with the other big files); the compressed copies (`gzip -6`, zstd level 3) are taken
from beside it or made in `--out` (default: beside it) on first use. Every case runs in its own
interpreter, with one untimed warm-up, and the median of the timed runs is shown. `--base`
names another interpreter with an earlier quarn installed: every quarn case runs with it too,
in the same run, for a side-by-side ratio. Targets: `quarn.count` of the gzip file at most 1.1x
the fastest gzip decompression alone, of the zstd file at most 1.2x zstandard's; iteration of
the gzip file at least 1.35x faster than the fastest decompressor's `open` + orjson; a pipe at
most 1.1x the file by name; nothing slower than the base.
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Each case is the body of `def case(path)`, run in a fresh interpreter; it returns a count.
CASES = {
    "zcat": None,  # the command, timed from outside
    "gzip.decompress": """
    import zlib
    d, n = zlib.decompressobj(31), 0
    with open(path, "rb") as f:
        while b := f.read(1 << 18):
            while b:
                n += len(d.decompress(b, 1 << 18)); b = d.unconsumed_tail
    return n""",
    "isal.decompress": """
    from isal import isal_zlib as z
    d, n = z.decompressobj(31), 0
    with open(path, "rb") as f:
        while b := f.read(1 << 18):
            while b:
                n += len(d.decompress(b, 1 << 18)); b = d.unconsumed_tail
    return n""",
    "zlib-ng.decompress": """
    from zlib_ng import zlib_ng as z
    d, n = z.decompressobj(31), 0
    with open(path, "rb") as f:
        while b := f.read(1 << 18):
            while b:
                n += len(d.decompress(b, 1 << 18)); b = d.unconsumed_tail
    return n""",
    "isal.IGzipFile.read1": """
    from isal import igzip
    n = 0
    with igzip.IGzipFile(path, "rb") as f:
        while b := f.read1(1 << 20):
            n += len(b)
    return n""",
    "zlib-ng.GzipNGFile.read1": """
    from zlib_ng import gzip_ng
    n = 0
    with gzip_ng.GzipNGFile(path, "rb") as f:
        while b := f.read1(1 << 20):
            n += len(b)
    return n""",
    "zstandard.decompress": """
    import zstandard
    n = 0
    with open(path, "rb") as f:
        r = zstandard.ZstdDecompressor().stream_reader(f, read_across_frames=True)
        while b := r.read(1 << 18):
            n += len(b)
    return n""",
    "quarn.count": """
    import quarn
    return quarn.count(path)""",
    "quarn.iter": """
    import quarn
    n = 0
    for _ in quarn.iter_records(path):
        n += 1
    return n""",
    "polars.count": """
    import polars as pl
    return pl.scan_ndjson(path).select(pl.len()).collect().item()""",
    "gzip.open+orjson": """
    import gzip, orjson
    n = 0
    with gzip.open(path, "rb") as f:
        for line in f:
            orjson.loads(line); n += 1
    return n""",
    "isal.open+orjson": """
    import orjson
    from isal import igzip
    n = 0
    with igzip.open(path, "rb") as f:
        for line in f:
            orjson.loads(line); n += 1
    return n""",
    "zlib-ng.open+orjson": """
    import orjson
    from zlib_ng import gzip_ng
    n = 0
    with gzip_ng.open(path, "rb") as f:
        for line in f:
            orjson.loads(line); n += 1
    return n""",
    "zstandard.open+orjson": """
    import io, orjson, zstandard
    n = 0
    with zstandard.open(path, "rb") as f:
        for line in io.BufferedReader(f, 1 << 16):
            orjson.loads(line); n += 1
    return n""",
    "quarn.count(-)": """
    import quarn
    return quarn.count("-")""",
    "quarn.iter(-)": """
    import quarn
    n = 0
    for _ in quarn.iter_records("-"):
        n += 1
    return n""",
}

CHILD = """
import json, sys, time
def case(path):
{body}
path, repeat = sys.argv[1], int(sys.argv[2])
times = []
for i in range(repeat + 1):
    start = time.perf_counter()
    n = case(path)
    if i:
        times.append(time.perf_counter() - start)
print(json.dumps({{"times": times, "n": n}}))
"""

PIPE_CHILD = """
import json, sys, time
def case(path):
{body}
start = time.perf_counter()
n = case("-")
print(json.dumps({{"times": [time.perf_counter() - start], "n": n}}))
"""


def run_case(
    name: str, path: Path, repeat: int, python: str = sys.executable
) -> tuple[float | None, str]:
    if name == "zcat":
        times = []
        for i in range(repeat + 1):
            start = _now()
            subprocess.run(["zcat", str(path)], stdout=subprocess.DEVNULL, check=True)
            if i:
                times.append(_now() - start)
        return statistics.median(times), ""
    body = CASES[name]
    assert body is not None
    if name.endswith("(-)"):
        # A pipe: cat feeds the interpreter's stdin; one process per run.
        times = []
        for i in range(repeat + 1):
            code = PIPE_CHILD.format(body=body)
            with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
                out = subprocess.run(
                    [python, "-c", code],
                    stdin=cat.stdout,
                    capture_output=True,
                    text=True,
                    check=False,
                )
            if out.returncode:
                return None, out.stderr.strip().splitlines()[-1]
            if i:
                times.append(json.loads(out.stdout)["times"][0])
        return statistics.median(times), ""
    code = CHILD.format(body=body)
    out = subprocess.run(
        [python, "-c", code, str(path), str(repeat)],
        capture_output=True,
        text=True,
        check=False,
    )
    if out.returncode:
        return None, (out.stderr.strip().splitlines() or ["failed"])[-1]
    return statistics.median(json.loads(out.stdout)["times"]), ""


def _now() -> float:
    import time

    return time.perf_counter()


def compressed(plain: Path, out: Path | None = None) -> tuple[Path, Path]:
    gz, zst = plain.with_name(plain.name + ".gz"), plain.with_name(plain.name + ".zst")
    if out is not None:
        gz = gz if gz.exists() else out / gz.name
        zst = zst if zst.exists() else out / zst.name
    if not gz.exists():
        with open(gz, "wb") as sink:
            subprocess.run(["gzip", "-6", "-c", str(plain)], stdout=sink, check=True)
    if not zst.exists():
        import zstandard

        with open(plain, "rb") as f, open(zst, "wb") as sink:
            zstandard.ZstdCompressor(level=3).copy_stream(f, sink)
    return gz, zst


def measure(plain: Path, repeat: int, out: Path | None = None, base: str | None = None) -> None:
    gz, zst = compressed(plain, out)
    print(
        f"{plain.name}: {plain.stat().st_size / 2**20:.0f} MiB; gzip -6 "
        f"{gz.stat().st_size / 2**20:.1f} MiB; zstd -3 {zst.stat().st_size / 2**20:.1f} MiB"
    )
    # A case measured twice (count by name again beside the pipe) counts with the mean of
    # its medians.
    results: dict[tuple[str, str], list[float]] = {}

    def row(label: str, name: str, path: Path) -> float | None:
        t, err = run_case(name, path, repeat)
        if t is not None:
            results.setdefault((label, name), []).append(t)
        line = f"  {label:5} {name:24} {f'{t:.3f} s' if t is not None else 'n/a: ' + err}"
        if base is not None and name.startswith("quarn"):
            b, err = run_case(name, path, repeat, base)
            if b is not None:
                results.setdefault((label, name + "@base"), []).append(b)
            line += f"   base {f'{b:.3f} s' if b is not None else 'n/a: ' + err}"
            if t is not None and b is not None:
                line += f"  ({b / t:.2f}x faster)" if b >= t else f"  ({t / b:.2f}x SLOWER)"
        print(line, flush=True)
        return t

    for name in (
        "zcat",
        "gzip.decompress",
        "isal.decompress",
        "zlib-ng.decompress",
        "isal.IGzipFile.read1",
        "zlib-ng.GzipNGFile.read1",
        "quarn.count",
        "polars.count",
        "gzip.open+orjson",
        "isal.open+orjson",
        "zlib-ng.open+orjson",
        "quarn.iter",
    ):
        if name != "zcat" or shutil.which("zcat"):
            row("gzip", name, gz)
    for name in ("zstandard.decompress", "quarn.count", "zstandard.open+orjson", "quarn.iter"):
        row("zstd", name, zst)
    for name in ("quarn.count", "quarn.count(-)", "quarn.iter", "quarn.iter(-)"):
        row("plain", name, plain)
    for name in ("quarn.count", "quarn.count(-)"):
        row("gzip", name, gz)

    def get(label: str, name: str) -> float | None:
        times = results.get((label, name))
        return statistics.mean(times) if times else None

    def note(text: str, num: float | None, den: float | None, target: float, at_most: bool):
        if num is None or den is None:
            print(f"  {text}: n/a")
            return
        value = num / den
        ok = value <= target if at_most else value >= target
        print(
            f"  {text}: {value:.2f}x (target {'<=' if at_most else '>='} {target}x: "
            f"{'ok' if ok else 'MISS'})"
        )

    fastest_gz = min(
        filter(
            None,
            [
                get("gzip", n)
                for n in (
                    "gzip.decompress",
                    "isal.decompress",
                    "zlib-ng.decompress",
                    "isal.IGzipFile.read1",
                    "zlib-ng.GzipNGFile.read1",
                )
            ],
        ),
        default=None,
    )
    fastest_open = min(
        filter(None, [get("gzip", n) for n in ("isal.open+orjson", "zlib-ng.open+orjson")]),
        default=None,
    )
    print("targets:")
    note("gzip count / fastest decompression", get("gzip", "quarn.count"), fastest_gz, 1.1, True)
    note(
        "gzip.open+orjson / quarn iter",
        get("gzip", "gzip.open+orjson"),
        get("gzip", "quarn.iter"),
        1.6,
        False,
    )
    note("fastest open+orjson / quarn iter", fastest_open, get("gzip", "quarn.iter"), 1.35, False)
    note(
        "zstd count / decompression",
        get("zstd", "quarn.count"),
        get("zstd", "zstandard.decompress"),
        1.2,
        True,
    )
    note(
        "zstandard.open+orjson / quarn iter",
        get("zstd", "zstandard.open+orjson"),
        get("zstd", "quarn.iter"),
        1.6,
        False,
    )
    note(
        "plain count pipe / by name",
        get("plain", "quarn.count(-)"),
        get("plain", "quarn.count"),
        1.1,
        True,
    )
    note(
        "plain iter pipe / by name",
        get("plain", "quarn.iter(-)"),
        get("plain", "quarn.iter"),
        1.1,
        True,
    )
    note(
        "gzip count pipe / by name",
        get("gzip", "quarn.count(-)"),
        get("gzip", "quarn.count"),
        1.1,
        True,
    )


def run(ctx) -> None:
    """From bench/run.py: a 256 MiB JSON Lines file of tweets (--quick: the quick size),
    compressed beside it."""
    plain = Path(ctx.files.get("jsonl", ctx.size if ctx.quick else "256M"))
    measure(plain, ctx.repeat)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("data", nargs="?", default=".", help="directory with tweets.jsonl")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--out", type=Path, help="where to make the compressed copies")
    parser.add_argument("--base", help="an interpreter with an earlier quarn, run beside")
    args = parser.parse_args()
    data = Path(args.data)
    measure(data if data.is_file() else data / "tweets.jsonl", args.repeat, args.out, args.base)


if __name__ == "__main__":
    main()
