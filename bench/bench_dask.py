"""dask and --jobs: one file split across workers against one reader per file.

- A JSON array and a JSON Lines file of tweets on a LocalCluster of 2 worker processes, one
  thread each: quarn.dask.read_records(p, blocksize="64 MiB").count() against blocksize=None
  (one partition), and against dask.bag.read_text(p, blocksize="64 MiB").map(json.loads).
- `quarn count --jobs 2` and `quarn validate --jobs 2` against `--jobs 1`, as commands.
- DataFrames on the same cluster: quarn.dask.read_dataframe of the JSON array against
  read_records(...).to_dataframe() of it and dask.dataframe.read_json(lines=True,
  blocksize="64 MiB") of the JSON Lines twin, each summed over one column.

Cases run side by side, alternating, best of the runs. Standalone:
    python bench/bench_dask.py [--dir DIR] [--size 512M] [--cli-size 1G] [--repeat 3]
"""

import argparse
import json
import sys
import time

from harness import Files, check, run_command, seconds, table


def _interleaved(cases, repeat):
    """Best time and result of each case; the cases take turns, so that a change in the
    machine's load falls on all of them alike."""
    for fn in cases.values():
        fn()  # warm-up: page cache, worker start-up, imports in the workers
    best, out = {}, {}
    for _ in range(repeat):
        for name, fn in cases.items():
            start = time.perf_counter()
            out[name] = fn()
            took = time.perf_counter() - start
            best[name] = min(best.get(name, took), took)
    return best, out


def bench_scaling(paths, repeat):
    """64 MiB partitions on a cluster of 1 worker process against 2 (one thread each)."""
    import quarn.dask
    from distributed import Client, LocalCluster

    rows = []
    for fmt, path in paths.items():
        best = {}
        for workers in (1, 2):
            with (
                LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
                ) as cluster,
                Client(cluster) as client,
            ):
                got, _ = _interleaved(
                    {
                        "split": lambda p=path, c=client: c.compute(
                            quarn.dask.read_records(p, blocksize="64 MiB").count()
                        ).result()
                    },
                    repeat,
                )
            best[workers] = got["split"]
            rows.append([f"{fmt}: {workers} worker(s)", seconds(got["split"])])
        rows.append([f"{fmt}: 1 worker / 2 workers", f"{best[1] / best[2]:.2f}x"])
    table(
        "dask: 64 MiB partitions on 1 and 2 worker processes, best of runs", ["case", "best"], rows
    )


def bench_cluster(paths, repeat):
    import dask.bag
    import quarn.dask
    from distributed import Client, LocalCluster

    rows, ratios = [], {}
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        for fmt, path in paths.items():
            cases = {
                "64 MiB partitions": lambda p=path: quarn.dask.read_records(p, blocksize="64 MiB"),
                "one partition": lambda p=path: quarn.dask.read_records(p, blocksize=None),
            }
            if fmt == "jsonl":
                cases["read_text+json.loads"] = lambda p=path: dask.bag.read_text(
                    p, blocksize="64 MiB"
                ).map(json.loads)
            got, counts = _interleaved(
                {k: lambda m=m: client.compute(m().count()).result() for k, m in cases.items()},
                repeat,
            )
            rows += [[f"{fmt}: {k}", seconds(got[k]), str(counts[k])] for k in cases]
            split = got["64 MiB partitions"]
            ratios[f"{fmt}: one partition / 64 MiB partitions"] = (
                got["one partition"] / split,
                1.6,
            )
            if "read_text+json.loads" in got:
                ratios[f"{fmt}: read_text+json.loads / 64 MiB partitions"] = (
                    got["read_text+json.loads"] / split,
                    3.0,
                )
    table(
        "dask: LocalCluster, 2 processes x 1 thread, best of runs",
        ["case", "best", "records"],
        rows,
    )
    for name, (value, target) in ratios.items():
        print(f"  {name}: {check(value, target, at_most=False)}")


def bench_frames(paths, repeat):
    import dask.dataframe as dd
    import quarn.dask
    from distributed import Client, LocalCluster

    array, lines = paths["json"], paths["jsonl"]
    cases = {
        "quarn read_dataframe (array)": lambda: quarn.dask.read_dataframe(
            array, blocksize="64 MiB", fields=["id", "lang"]
        ),
        "quarn read_dataframe, whole records (array)": lambda: quarn.dask.read_dataframe(
            array, blocksize="64 MiB"
        ),
        "read_records().to_dataframe() (array)": lambda: quarn.dask.read_records(
            array, blocksize="64 MiB", fields=["id", "lang"]
        ).to_dataframe(),
        "dask read_json(lines=True) (lines)": lambda: dd.read_json(
            lines, lines=True, blocksize=64 << 20
        )[["id", "lang"]],
    }
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        # A peer that cannot read the file is reported as such, not timed.
        failed = {}
        for name, make in list(cases.items()):
            try:
                client.compute(make()["id"].count()).result()
            except Exception as exc:  # noqa: BLE001 (any failure of a peer is its result)
                failed[name] = f"fails: {type(exc).__name__}: {str(exc).splitlines()[0][:80]}"
                del cases[name]
        got, out = _interleaved(
            {k: lambda m=m: client.compute(m()["id"].count()).result() for k, m in cases.items()},
            repeat,
        )
    quarn_time = got["quarn read_dataframe (array)"]
    rows = [[k, seconds(got[k]), str(out[k]), f"{got[k] / quarn_time:.2f}x"] for k in cases]
    rows += [[k, why, "", ""] for k, why in failed.items()]
    table(
        "dask DataFrames: LocalCluster, 2 processes x 1 thread, count of one column, best of runs",
        ["case", "best", "rows", "ratio"],
        rows,
    )


def _spin(n):
    x = 0
    for i in range(n):
        x += i
    return x


def calibrate():
    """How much two CPU-bound processes slow each other down on this machine right now: 1.0x
    on two free cores, 2.0x on one."""
    import multiprocessing

    n = 10_000_000
    start = time.perf_counter()
    _spin(n)
    one = time.perf_counter() - start
    start = time.perf_counter()
    procs = [multiprocessing.Process(target=_spin, args=(n,)) for _ in range(2)]
    for p in procs:
        p.start()
    for p in procs:
        p.join()
    two = time.perf_counter() - start
    print(
        f"  machine: two CPU-bound processes take {two / one:.2f}x the time of one "
        "(1.0x: two free cores)"
    )


def bench_threads(paths, repeat):
    """In-process, without interpreter start-up: 1 against 2 threads on the same pieces."""
    import quarn
    from quarn import _ranges

    rows = []
    for fmt, path in paths.items():
        kind, start, _, depth = _ranges.native.plan(path, None, None)
        cases = {
            "count, 1 thread": lambda p=path: quarn.count(p),
            "count, 2 threads": lambda p=path: quarn.count(p, jobs=2),
            "validate, 1 thread": lambda p=path, k=kind, s=start, d=depth: (
                _ranges.native.validate_piece(
                    p, k == "array", True, 0 if k == "lines" else s, 0, False, d
                )
            ),
            "validate, 2 threads": lambda p=path: _ranges._validate(p, None, None, 2),
        }
        best, out = _interleaved(cases, repeat)
        assert out["count, 1 thread"] == out["count, 2 threads"]
        assert out["validate, 1 thread"] == out["validate, 2 threads"]
        for what in ("count", "validate"):
            one, two = best[f"{what}, 1 thread"], best[f"{what}, 2 threads"]
            rows.append(
                [
                    f"{fmt}: {what}, 1 / 2 threads",
                    seconds(one),
                    seconds(two),
                    check(one / two, 1.6, False),
                ]
            )
    table(
        "the same split in-process (validation without objects in both), best of runs",
        ["case", "1 thread", "2 threads", "ratio"],
        rows,
    )


def bench_jobs(paths, repeat):
    quarn = [sys.executable, "-m", "quarn"]
    rows = []
    for fmt, path in paths.items():
        for command in ("count", "validate"):
            got = {}
            for jobs in ("1", "2"):
                m = run_command([*quarn, command, "--no-progress", "--jobs", jobs, path], repeat)
                got[jobs] = min(m.times)
                rows.append([f"{fmt}: {command} --jobs {jobs}", seconds(got[jobs])])
            value = got["1"] / got["2"]
            rows.append([f"{fmt}: {command} --jobs 1 / --jobs 2", check(value, 1.6, False)])
    table(
        "quarn count / validate --jobs, best of runs (process start included)",
        ["case", "best"],
        rows,
    )


def run(ctx):
    try:
        import distributed  # noqa: F401
        import quarn.dask  # noqa: F401
    except ImportError as e:
        print(f"  skipped: {e} (pip install 'quarn[dask]')")
        return
    size = "64M" if ctx.quick else "512M"
    bench_cluster({f: ctx.files.get(f, size) for f in ("json", "jsonl")}, ctx.repeat)
    cli_size = "64M" if ctx.quick else "1G"
    bench_jobs({f: ctx.files.get(f, cli_size) for f in ("json", "jsonl")}, ctx.repeat)
    bench_frames({f: ctx.files.get(f, size) for f in ("json", "jsonl")}, ctx.repeat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", help="where the data files are made and kept")
    parser.add_argument("--size", default="512M")
    parser.add_argument("--cli-size", default="1G")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("cluster", "scaling", "jobs", "threads", "frames"))
    args = parser.parse_args()
    files = Files(args.dir)
    calibrate()
    try:
        if args.only in (None, "cluster"):
            bench_cluster({f: files.get(f, args.size) for f in ("json", "jsonl")}, args.repeat)
        if args.only in (None, "scaling"):
            bench_scaling({f: files.get(f, args.size) for f in ("json", "jsonl")}, args.repeat)
        if args.only in (None, "threads"):
            bench_threads({f: files.get(f, args.cli_size) for f in ("json", "jsonl")}, args.repeat)
        if args.only in (None, "jobs"):
            bench_jobs({f: files.get(f, args.cli_size) for f in ("json", "jsonl")}, args.repeat)
        if args.only in (None, "frames"):
            bench_frames({f: files.get(f, args.size) for f in ("json", "jsonl")}, args.repeat)
    finally:
        files.close()


if __name__ == "__main__":
    main()
