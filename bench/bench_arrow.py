"""Arrow tables: quarn.read_arrow against pyarrow's JSON reader, polars and DuckDB.

    python bench/bench_arrow.py [--rounds N] [--dir DIR] [--threads all]

Each case runs in a fresh interpreter (so that its peak memory is its own), the cases of a
round one after the other and the rounds repeated, so that every side meets the same
machine load; the median time and the largest peak are reported, with the ratios against
quarn next to the targets. One thread each by default (pyarrow's CPU and I/O pools,
POLARS_MAX_THREADS, DuckDB's threads); --threads all leaves every library its default and
gives quarn jobs=os.cpu_count(). The last table sets read_arrow's jobs=2 beside jobs=1.

Files from make_data.py in DIR (made when missing): tweets-256M.jsonl and tweets-200M.json.
"""

import argparse
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("QUARN_BENCH_DATA", "/work/benchdata")
FOUR = ["id", "lang", "/user/screen_name", "/entities/hashtags"]

ONE_THREAD = {
    "pyarrow": "import pyarrow as pa; pa.set_cpu_count(1); pa.set_io_thread_count(1)\n",
    "polars": "import os; os.environ['POLARS_MAX_THREADS'] = '1'\n",
    "duckdb": "SET_THREADS = True\n",
}


def cases(lines, array, jobs):
    duck = (
        "import duckdb\ncon = duckdb.connect()\n"
        "if globals().get('SET_THREADS'): con.execute('SET threads=1')\n"
    )
    q = (
        "import quarn\n"
        f"r = quarn.read_arrow({{src!r}}{{opt}}, jobs={jobs})\n"
        "t = r.read_all()\nn = t.num_rows\n"
    )
    return {
        "JSON Lines, whole records": {
            "quarn.read_arrow": ("", q.format(src=lines, opt="")),
            "pyarrow.json.read_json": (
                "pyarrow",
                f"import pyarrow.json as pj\nn = pj.read_json({lines!r}).num_rows\n",
            ),
            "duckdb read_json": (
                "duckdb",
                duck + f"n = con.execute(\"select * from read_json('{lines}')\").to_arrow_table()"
                ".num_rows\n",
            ),
            "polars.read_ndjson": (
                "polars",
                f"import polars as pl\nn = pl.read_ndjson({lines!r}).height\n",
            ),
        },
        "JSON Lines, 4 columns": {
            "quarn.read_arrow": ("", q.format(src=lines, opt=f", fields={FOUR!r}")),
            "quarn.iter_records(fields=)": (
                "",
                f"import quarn\nn = sum(1 for _ in quarn.iter_records({lines!r}, fields={FOUR!r}))\n",
            ),
            "duckdb select": (
                "duckdb",
                duck + 'n = con.execute("select id, lang, user.screen_name, entities.hashtags '
                f"from read_json('{lines}')\").to_arrow_table().num_rows\n",
            ),
            "polars.scan_ndjson select": (
                "polars",
                (
                    "import polars as pl\n"
                    f"n = pl.scan_ndjson({lines!r}).select(['id', 'lang', "
                    "pl.col('user').struct.field('screen_name'), "
                    "pl.col('entities').struct.field('hashtags')]).collect().height\n"
                ),
            ),
        },
        "JSON array, whole records": {
            "quarn.read_arrow": ("", q.format(src=array, opt="")),
            "duckdb read_json(format='array')": (
                "duckdb",
                duck + f"n = con.execute(\"select * from read_json('{array}', format='array')\")"
                ".to_arrow_table().num_rows\n",
            ),
        },
        "JSON array, whole records, builder threads": {
            name: ("", q.replace(f"jobs={jobs}", f"jobs={n}").format(src=array, opt=""))
            for name, n in (("quarn.read_arrow jobs=1", 1), ("quarn.read_arrow jobs=2", 2))
        },
    }


CHILD = """import resource, time
{setup}t0 = time.perf_counter()
{body}dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024, n)
"""


def run(setup, body):
    code = CHILD.format(setup=setup, body=body)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=900, check=False
    )
    if done.returncode != 0:
        return None
    t, rss, n = done.stdout.split()[-3:]  # after anything a library printed
    return float(t), int(rss), int(n)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=DATA)
    parser.add_argument("--threads", choices=["one", "all"], default="one")
    args = parser.parse_args()
    lines = os.path.join(args.dir, "tweets-256M.jsonl")
    array = os.path.join(args.dir, "tweets-200M.json")
    for path, size, fmt in ((lines, "256M", "jsonl"), (array, "200M", "json")):
        if not os.path.exists(path):
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
    print(f"{args.threads} thread(s) each, median of {args.rounds} rounds")
    jobs = 1 if args.threads == "one" else os.cpu_count() or 1
    for title, table in cases(lines, array, jobs).items():
        results = {name: [] for name in table}
        for _ in range(args.rounds):
            for name, (lib, body) in table.items():
                setup = ONE_THREAD.get(lib, "") if args.threads == "one" else ""
                results[name].append(run(setup, body))
        print(f"\n{title}")
        quarn_time = None
        for name, runs in results.items():
            if any(r is None for r in runs):
                print(f"  {name:34} not run (missing or failed)")
                continue
            t = statistics.median(r[0] for r in runs)
            rss = max(r[1] for r in runs)
            quarn_time = quarn_time or t
            ratio = "" if t == quarn_time else f"  {t / quarn_time:5.1f}x quarn's time"
            print(f"  {name:34} {t:7.3f} s  peak {rss:5d} MiB  ({runs[0][2]} rows){ratio}")


if __name__ == "__main__":
    main()
