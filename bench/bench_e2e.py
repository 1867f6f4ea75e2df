"""load-e2e: what a program pays for loading a big file, the collector's later work included.

Each run times the call, then 100,000 small dicts made afterwards, then one gc.collect(): a
result that the collector has not finished with shows in the two steps after the call.
"""

from harness import (
    baseline_row,
    file_label,
    ratio,
    run_case,
    seconds,
    table,
    times_x,
)

TARGET = 0.6  # quarn's end-to-end time over orjson's, at most
HEADER = ["case", "file", "call", "end to end", "best", "records", "RSS MiB", "+base"]


def row(m, label, base):
    if m.error:
        return [m.name, label, "error: " + m.error, "", "", "", "", ""]
    rss = m.rss_kib / 1024
    return [
        m.name,
        label,
        seconds(m.call_median),
        seconds(m.median),
        seconds(m.best),
        "-" if m.records is None else f"{m.records:,}",
        f"{rss:.0f}",
        f"{rss - base.rss_kib / 1024:+.0f}" if base.rss_kib else "-",
    ]


def one(ctx, fmt, size):
    path = ctx.files.get(fmt, size)
    label = file_label(path)
    peer = "orjson.e2e" if fmt == "json" else "orjson.lines-e2e"
    quarn, orjson = run_case("quarn.e2e", path, ctx.repeat), run_case(peer, path, ctx.repeat)
    rows = [baseline_row(ctx)[:2] + ["-"] * 4 + baseline_row(ctx)[-2:]]
    rows += [row(m, label, ctx.baseline()) for m in (quarn, orjson)]
    table(
        f"load end to end, {label}: median of {ctx.repeat} runs, each in its own process",
        HEADER,
        rows,
    )
    e2e = ratio(quarn.median, orjson.median)
    call = ratio(quarn.call_median, orjson.call_median)
    ok = e2e is not None and e2e <= TARGET
    print(
        f"  quarn/orjson end to end: {times_x(e2e)} (target <= {TARGET}x: "
        f"{'ok' if ok else 'MISS'}); the call alone: {times_x(call)}"
    )
    if quarn.rss_kib and orjson.rss_kib:
        ok = quarn.rss_kib <= orjson.rss_kib
        print(
            f"  peak RSS quarn/orjson: {quarn.rss_kib / orjson.rss_kib:.2f} "
            f"(target <= 1: {'ok' if ok else 'MISS'})"
        )


def run(ctx):
    for fmt, size in (
        [("json", "16M"), ("jsonl", "16M")]
        if ctx.quick
        else [("json", "64M"), ("json", "256M"), ("jsonl", "256M")]
    ):
        one(ctx, fmt, size)
