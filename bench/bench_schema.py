"""schema: structure of the first 100 records; its cost must not grow with the file."""

from harness import MEASURE_HEADER, check, file_label, measure_row, ratio, run_case, table

SMALL = "10M"


def run(ctx):
    repeat = 10 if ctx.quick else 30
    rows, notes = [], []
    for fmt in ("jsonl", "json"):
        small, large = ctx.files.get(fmt, SMALL), ctx.files.get(fmt, ctx.size)
        quarn_small = run_case("quarn.schema", small, repeat)
        quarn_large = run_case("quarn.schema", large, repeat)
        genson = run_case("genson.schema", large, repeat)
        rows += [
            measure_row(m, file_label(p), 0)
            for m, p in ((quarn_small, small), (quarn_large, large), (genson, large))
        ]
        notes.append(
            f"{fmt}: quarn {ctx.size} / {SMALL} = "
            f"{check(ratio(quarn_large.median, quarn_small.median), 1.2, True)}"
        )
        notes.append(
            f"{fmt}: genson / quarn = "
            f"{check(ratio(genson.median, quarn_large.median), 20.0, False)}"
        )
    table(f"schema (sample=100): median of {repeat} runs (ratios of times)", MEASURE_HEADER, rows)
    for note in notes:
        print("  " + note)
