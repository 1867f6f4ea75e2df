"""quarn convert: a JSON array to Parquet and to JSON Lines, against DuckDB, polars, jq and orjson.

    python bench/bench_convert.py [--rounds N] [--dir DIR] [--threads one|all] [--out DIR]

Each case runs in a fresh interpreter (so that its peak memory is its own; a command's peak is
that of the command itself), the cases of a round one after the other and the rounds repeated,
so that every side meets the same machine load; the median time and the largest peak are
reported, with the ratios against quarn. One thread each by default (quarn's --jobs 1, DuckDB's
threads, POLARS_MAX_THREADS); --threads all gives quarn --jobs N (N = the cores, where its
read_arrow has jobs=) and leaves the others their defaults.

- To Parquet: `quarn convert` of the tweets array, DuckDB's COPY of read_json(format='array')
  of the same file, polars' scan_ndjson(...).sink_parquet of its JSON Lines twin (polars cannot
  stream an array).
- To Arrow IPC: `quarn convert` of the array against polars' sink_ipc of the twin (polars
  cannot write these records to Parquet: an object without keys has no Parquet form).
- To JSON Lines: `quarn convert` of a 64 MB slice (the array of that size) against `jq -c '.[]'`
  (where jq is installed) and orjson load then one dumps per record; and `quarn convert` of the
  big array, for its memory.

Files from make_data.py in DIR (made when missing): tweets-512M.json, tweets-512M.jsonl and
tweets-64M.json. Outputs go to --out (default: a temporary folder), each removed after its case.
"""

import argparse
import inspect
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("QUARN_BENCH_DATA", "/work/benchdata")

# A Python case: its code sets `n`, a count of what it wrote (rows, or bytes for a command).
CHILD = """import resource, time
{setup}t0 = time.perf_counter()
{body}dt = time.perf_counter() - t0
self_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
child_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(dt, (child_kib if COMMAND else self_kib) // 1024, n)
"""
# A command: timed and measured from a small interpreter that only starts it.
COMMAND = """import subprocess
with open({out!r}, "wb") as f:
    subprocess.run({argv!r}, stdout=f, check=True)
n = __import__("os").path.getsize({out!r})
"""


def quarn_convert(src, dst, jobs):
    argv = [sys.executable, "-m", "quarn", "convert", "--no-progress", src, dst]
    if jobs > 1:
        argv += ["--jobs", str(jobs)]
    return argv


def quarn_jobs(threads):
    """quarn's --jobs for `threads`: every core where its read_arrow takes jobs=."""
    if threads == "one":
        return 1
    try:
        import quarn
    except ImportError:
        return 1
    if "jobs" not in inspect.signature(quarn.read_arrow).parameters:
        return 1
    return os.cpu_count() or 1


def parquet_cases(array, lines, out, threads):
    one = threads == "one"
    jobs = quarn_jobs(threads)
    target = os.path.join(out, "out.parquet")
    duck_threads = "con.execute('SET threads=1')\n" if one else ""
    return {
        f"quarn convert (jobs {jobs})": (
            "command",
            COMMAND.format(argv=quarn_convert(array, target, jobs), out=os.devnull),
        ),
        "duckdb COPY read_json(format='array')": (
            "python",
            "import duckdb\ncon = duckdb.connect()\n"
            + duck_threads
            + f"con.execute(\"COPY (select * from read_json('{array}', format='array')) "
            f"TO '{target}' (FORMAT parquet)\")\n"
            "n = 0\n",
        ),
        "polars scan_ndjson(JSONL twin).sink_parquet": (
            "python",
            ("import os; os.environ['POLARS_MAX_THREADS'] = '1'\n" if one else "")
            + "import polars as pl\n"
            f"pl.scan_ndjson({lines!r}).sink_parquet({target!r})\n"
            "n = 0\n",
        ),
    }


def ipc_cases(array, lines, out, threads):
    # polars writes no Parquet for these records (an object column without keys): its
    # Arrow IPC output is the nearest like-for-like.
    one = threads == "one"
    jobs = quarn_jobs(threads)
    target = os.path.join(out, "out.arrow")
    return {
        f"quarn convert (jobs {jobs})": (
            "command",
            COMMAND.format(argv=quarn_convert(array, target, jobs), out=os.devnull),
        ),
        "polars scan_ndjson(JSONL twin).sink_ipc": (
            "python",
            ("import os; os.environ['POLARS_MAX_THREADS'] = '1'\n" if one else "")
            + "import polars as pl\n"
            f"pl.scan_ndjson({lines!r}).sink_ipc({target!r})\n"
            "n = 0\n",
        ),
    }


def lines_cases(slice_, array, out):
    target = os.path.join(out, "out.jsonl")
    cases = {
        "quarn convert (64 MB slice)": (
            "command",
            COMMAND.format(argv=quarn_convert(slice_, target, 1), out=os.devnull),
        ),
    }
    if shutil.which("jq"):
        cases["jq -c '.[]' (64 MB slice)"] = (
            "command",
            COMMAND.format(argv=["jq", "-c", ".[]", slice_], out=target),
        )
    cases["orjson load + dumps per record (64 MB slice)"] = (
        "python",
        (
            "import orjson\n"
            f"with open({slice_!r}, 'rb') as f:\n    records = orjson.loads(f.read())\n"
            f"with open({target!r}, 'wb') as f:\n"
            "    for r in records:\n        f.write(orjson.dumps(r) + b'\\n')\n"
            "n = len(records)\n"
        ),
    )
    cases["quarn convert (512 MB array)"] = (
        "command",
        COMMAND.format(argv=quarn_convert(array, target, 1), out=os.devnull),
    )
    return cases


def run(kind, body, out):
    code = ("COMMAND = True\n" if kind == "command" else "COMMAND = False\n") + CHILD.format(
        setup="", body=body
    )
    done = subprocess.run(
        ["nice", sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=900,
        check=False,
    )
    for name in os.listdir(out):
        os.unlink(os.path.join(out, name))
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
        print(f"    failed: {tail}", file=sys.stderr)
        return None
    # The last line: a library may print before it (a progress bar).
    t, rss, n = done.stdout.strip().splitlines()[-1].split()
    return float(t), int(rss), int(n)


def make(path, size, fmt):
    if os.path.exists(path):
        return
    subprocess.run(
        [
            sys.executable,
            os.path.join(HERE, "make_data.py"),
            "--size",
            size,
            "--format",
            fmt,
            "--kind",
            "tweets",
            "--seed",
            "0",
            path,
        ],
        check=True,
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=DATA)
    parser.add_argument("--threads", choices=["one", "all"], default="one")
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    array = os.path.join(args.dir, "tweets-512M.json")
    lines = os.path.join(args.dir, "tweets-512M.jsonl")
    slice_ = os.path.join(args.dir, "tweets-64M.json")
    for path, size, fmt in (
        (array, "512M", "json"),
        (lines, "512M", "jsonl"),
        (slice_, "64M", "json"),
    ):
        make(path, size, fmt)
    out = args.out or tempfile.mkdtemp(prefix="quarn-convert-")
    os.makedirs(out, exist_ok=True)
    print(f"{args.threads} thread(s) each, median of {args.rounds} rounds")
    tables = {
        "512 MB JSON array to Parquet": parquet_cases(array, lines, out, args.threads),
        "512 MB JSON array to Arrow IPC": ipc_cases(array, lines, out, args.threads),
        "JSON array to JSON Lines": lines_cases(slice_, array, out),
    }
    try:
        for title, table in tables.items():
            results = {name: [] for name in table}
            for _ in range(args.rounds):
                for name, (kind, body) in table.items():
                    results[name].append(run(kind, body, out))
            print(f"\n{title}")
            quarn_time = None
            for name, runs in results.items():
                if any(r is None for r in runs):
                    print(f"  {name:46} not run (missing or failed)")
                    continue
                t = statistics.median(r[0] for r in runs)
                rss = max(r[1] for r in runs)
                quarn_time = quarn_time or t
                ratio = "" if name.startswith("quarn") else f"  {t / quarn_time:5.1f}x quarn's time"
                print(f"  {name:46} {t:7.3f} s  peak {rss:5d} MiB{ratio}", flush=True)
    finally:
        if args.out is None:
            shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
