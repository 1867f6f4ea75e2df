"""dask: many files through a Dask bag, quarn's streamed partitions against read_text + json."""

import json
import time

from harness import seconds, table, times_x


def _timed(make_bag, scheduler, repeat):
    # `scheduler` is "sync" or a distributed Client.
    make_bag().count().compute(scheduler=scheduler)  # warm-up: page cache, worker start-up
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        n = make_bag().count().compute(scheduler=scheduler)
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    return best, n


def run(ctx):
    try:
        import dask.bag
        import quarn.dask
        from distributed import Client, LocalCluster
    except ImportError as e:
        print(f"  skipped: {e} (pip install 'quarn[dask]')")
        return
    # Four partitions of the JSON Lines file of the iter case (the same file four times).
    paths = [ctx.files.get("jsonl", ctx.load_size)] * 4
    rows = []
    results = {}
    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = Client(cluster)
    for scheduler in ("sync", client):
        q, nq = _timed(lambda: quarn.dask.read_records(paths), scheduler, ctx.repeat)
        d, nd = _timed(lambda: dask.bag.read_text(paths).map(json.loads), scheduler, ctx.repeat)
        where = "sync" if scheduler == "sync" else "LocalCluster 2x1"
        results[where] = (q, d)
        rows.append([f"quarn.dask ({where})", seconds(q), str(nq)])
        rows.append([f"read_text+json ({where})", seconds(d), str(nd)])
    client.close()
    cluster.close()
    table("dask: best of runs, 4 partitions", ["case", "best", "records"], rows)
    for scheduler, (q, d) in results.items():
        print(f"  {scheduler}: read_text+json / quarn.dask = {times_x(d / q)}")
