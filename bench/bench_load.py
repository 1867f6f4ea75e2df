"""load: whole files into Python objects, quarn against orjson, json and msgspec."""

import os
import statistics

from harness import (
    CORPUS,
    MEASURE_HEADER,
    baseline_row,
    file_label,
    measure_row,
    ratio,
    run_case,
    seconds,
    table,
    times_x,
)

PEERS = ["quarn.load", "orjson.load", "json.load", "msgspec.load"]
JSONL_PEERS = ["quarn.load", "orjson.lines", "json.lines"]
CLASSIC = ["twitter", "citm_catalog", "canada", "github_events", "gsoc-2018"]


def corpus(ctx):
    files = sorted(CORPUS.glob("*.json"))
    if not files:
        print(f"  classic files skipped: none in {CORPUS}")
        return
    repeat = 5 if ctx.quick else 15
    rows, quarn_orjson, json_quarn = [], {}, {}
    for path in files:
        print(f"  {path.name}", flush=True)
        ms = [run_case(case, path, repeat) for case in PEERS]
        quarn, orjson, std, _ = ms
        quarn_orjson[path.stem] = ratio(quarn.median, orjson.median)
        json_quarn[path.stem] = ratio(std.median, quarn.median)
        times = [f"error: {m.name}: {m.error}" if m.error else seconds(m.median) for m in ms]
        rows.append(
            [
                path.stem,
                f"{os.path.getsize(path) / 1e3:,.0f} kB",
                *times,
                times_x(quarn_orjson[path.stem]),
                times_x(json_quarn[path.stem]),
            ]
        )
    header = ["file", "size", *[c.split(".")[0] for c in PEERS], "quarn/orjson", "json/quarn"]
    table(f"load, shared corpus: median of {repeat} runs (ratios of times)", header, rows)
    for name, ratios in (("quarn/orjson", quarn_orjson), ("json/quarn", json_quarn)):
        classic = [ratios[n] for n in CLASSIC if ratios.get(n)]
        median = statistics.median(classic) if classic else None
        print(f"  median {name} over {', '.join(CLASSIC)}: {times_x(median)}")


def big(ctx, fmt, cases):
    path = ctx.files.get(fmt, ctx.load_size)
    size, label = os.path.getsize(path), file_label(path)
    ms = {case: run_case(case, path, ctx.repeat) for case in cases}
    rows = [
        baseline_row(ctx),
        *[measure_row(m, label, size, ctx.baseline(), True) for m in ms.values()],
    ]
    table(
        f"load, {label}: median of {ctx.repeat} runs, each case in its own process",
        MEASURE_HEADER,
        rows,
    )
    quarn = ms["quarn.load"].median
    for case, m in ms.items():
        if case != "quarn.load":
            print(f"  {case} / quarn: {times_x(ratio(m.median, quarn))}")


def run(ctx):
    corpus(ctx)
    big(ctx, "json", PEERS)
    big(ctx, "jsonl", JSONL_PEERS)
