"""Side-by-side benchmarks of quarn against its peers.

    python bench/run.py [count|load|load-e2e|iter|schema|dask|records|sources|fields|calls|all]
                        [--size 1G] [--quick] [--keep DIR]

See bench/README.md for what each case measures.
"""

import argparse
import importlib.metadata
import importlib.util
import os
import platform
import re
import sys
import time

import bench_calls
import bench_count
import bench_dask
import bench_e2e
import bench_fields
import bench_iter
import bench_load
import bench_records
import bench_schema
import bench_sources
from harness import Context, Files

CASES = {
    "count": bench_count,
    "load": bench_load,
    "load-e2e": bench_e2e,
    "iter": bench_iter,
    "schema": bench_schema,
    "dask": bench_dask,
    "records": bench_records,
    "sources": bench_sources,
    "fields": bench_fields,
    "calls": bench_calls,
}
PEERS = ["orjson", "msgspec", "ijson", "genson"]


def version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def size(text):
    if not re.fullmatch(r"[1-9][0-9]*[KMG]?", text):
        raise argparse.ArgumentTypeError(f"bad size {text!r} (try 1G, 200M, 512K)")
    return text


def machine_info():
    with open("/proc/cpuinfo") as f:
        models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
    print(
        f"cpu: {models[0] if models else platform.machine()}; "
        f"cores: {os.cpu_count()} ({len(os.sched_getaffinity(0))} usable)"
    )
    print(
        f"python: {platform.python_implementation()} {platform.python_version()}; "
        f"os: {platform.system()} {platform.release()}"
    )
    try:
        from quarn import bigjson
    except ImportError as exc:
        print(
            f"quarn: NOT IMPORTABLE ({exc}); its rows will show errors. "
            "Install it first: pip install ."
        )
    else:
        kernel = getattr(bigjson, "kernel", None)
        kernel = kernel() if callable(kernel) else kernel
        print(f"quarn: {version('quarn')}; scan kernel: {kernel or 'not exposed'}")
    import ijson

    print(
        "peers: "
        + ", ".join(f"{p} {version(p)}" for p in PEERS)
        + f"; ijson backend {ijson.backend}"
    )


def main():
    parser = argparse.ArgumentParser(description="Benchmarks quarn against its peers.")
    parser.add_argument("case", nargs="?", default="all", choices=[*CASES, "all"])
    parser.add_argument(
        "--quick", action="store_true", help="small files and few runs, for a fast check"
    )
    parser.add_argument(
        "--size", type=size, help="big files for count, iter, schema (default 1G; quick 50M)"
    )
    parser.add_argument(
        "--load-size", type=size, help="big files for load (default 200M; quick 20M)"
    )
    parser.add_argument(
        "--repeat",
        type=int,
        help="timed runs per big-file case, after one warm-up (default 3; quick 2)",
    )
    parser.add_argument(
        "--keep", metavar="DIR", help="make the big files in DIR, reuse them there and keep them"
    )
    args = parser.parse_args()

    missing = [p for p in PEERS if importlib.util.find_spec(p) is None]
    if missing:
        sys.exit(f"error: missing peers {', '.join(missing)}: pip install '.[bench]'")
    machine_info()
    files = Files(args.keep)
    ctx = Context(
        files=files,
        quick=args.quick,
        size=args.size or ("50M" if args.quick else "1G"),
        load_size=args.load_size or ("20M" if args.quick else "200M"),
        repeat=args.repeat or (2 if args.quick else 3),
    )
    start = time.perf_counter()
    try:
        for name, module in CASES.items():
            if args.case in (name, "all"):
                print(f"\n== {name}", flush=True)
                module.run(ctx)
    finally:
        files.close()
    print(f"\ntotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
