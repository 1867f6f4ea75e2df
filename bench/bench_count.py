"""count: record counting against the fastest possible line scan (wc -l) and a plain read (cat)."""

import os

from harness import (
    MEASURE_HEADER,
    check,
    file_label,
    measure_row,
    ratio,
    run_case,
    run_command,
    table,
    times_x,
)

TARGETS = {"jsonl": 1.5, "json": 2.0}


def run(ctx):
    rows, notes = [], []
    for fmt, target in TARGETS.items():
        path = ctx.files.get(fmt, ctx.size)
        size, label = os.path.getsize(path), file_label(path)
        quarn = run_case("quarn.count", path, ctx.repeat)
        wc = run_command(["wc", "-l", path], ctx.repeat)
        cat = run_command(["cat", path], ctx.repeat, output=False)
        rows += [measure_row(m, label, size) for m in (quarn, wc, cat)]
        notes.append(
            f"{fmt}: count / wc -l = {check(ratio(quarn.median, wc.median), target, True)}"
            f"; count / cat = {times_x(ratio(quarn.median, cat.median))}"
        )
    table(
        "count: bigjson.count vs wc -l vs cat > /dev/null (time ratios, lower is better)",
        MEASURE_HEADER,
        rows,
    )
    for note in notes:
        print("  " + note)
