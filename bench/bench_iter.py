"""iter: record-at-a-time reading of big files, speed and peak memory."""

import os

from harness import (
    MEASURE_HEADER,
    baseline_row,
    check,
    file_label,
    measure_row,
    ratio,
    run_case,
    table,
)

RSS_TARGET_MIB = 64


def run(ctx):
    base = ctx.baseline()
    rows, notes = [baseline_row(ctx)], []
    for fmt, peers, target in (
        ("jsonl", ["orjson.iter", "json.iter"], 2.0),
        ("json", ["ijson.iter"], 6.0),
    ):
        path = ctx.files.get(fmt, ctx.size)
        size, label = os.path.getsize(path), file_label(path)
        quarn = run_case("quarn.iter", path, ctx.repeat)
        ms = [quarn, *[run_case(case, path, ctx.repeat) for case in peers]]
        rows += [measure_row(m, label, size, base, True) for m in ms]
        peer = ms[1]
        notes.append(
            f"{fmt}: quarn speed / {peer.name} = "
            f"{check(ratio(peer.median, quarn.median), target, False)}"
        )
        if quarn.rss_kib and base.rss_kib:
            extra = (quarn.rss_kib - base.rss_kib) / 1024
            verdict = "ok" if extra <= RSS_TARGET_MIB else "MISS"
            notes.append(
                f"{fmt}: quarn peak RSS {extra:+.0f} MiB over baseline "
                f"(target <= {RSS_TARGET_MIB} MiB: {verdict})"
            )
    table(f"iter: median of {ctx.repeat} runs, each case in its own process", MEASURE_HEADER, rows)
    for note in notes:
        print("  " + note)
