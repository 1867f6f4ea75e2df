"""Shared pieces of the benchmarks: test files, child runs, timing and tables."""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# The classic files of the load case's first table, when a checkout of the shared data sits
# next to the repository; the other cases need nothing outside it.
CORPUS = REPO.parent / "shared" / "data" / "bench"
MAKE_DATA = Path(__file__).with_name("make_data.py")
CHILD = Path(__file__).with_name("child.py")
MIB = 1 << 20


@dataclass
class Measure:
    name: str
    times: list[float] = field(default_factory=list)
    call_times: list[float] = field(default_factory=list)
    rss_kib: int | None = None
    records: int | None = None
    error: str | None = None

    @property
    def median(self):
        return statistics.median(self.times) if self.times else None

    @property
    def call_median(self):
        return statistics.median(self.call_times) if self.call_times else None

    @property
    def best(self):
        return min(self.times) if self.times else None


def run_case(case, path, repeat):
    """Runs one case of child.py in its own interpreter, so its peak RSS is its own."""
    proc = subprocess.run(
        [sys.executable, str(CHILD), case, str(path), str(repeat)],
        check=False,
        capture_output=True,
        text=True,
    )
    lines = proc.stdout.splitlines()
    if proc.returncode or not lines:
        tail = (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]
        return Measure(case, error=tail)
    data = json.loads(lines[-1])
    return Measure(
        case,
        times=data.get("times", []),
        call_times=data.get("call_times", []),
        rss_kib=data["maxrss_kib"],
        records=data.get("records"),
        error=data.get("error"),
    )


def run_command(argv, repeat, output=True):
    """Times an external command from here: one warm-up run, then `repeat` timed runs.

    Without `output` the command writes to /dev/null. Its output must never be collected here:
    the parent's high-water RSS passes into every child's ru_maxrss (Linux keeps the maximum
    across vfork and exec), so this process must stay below the baseline child: it imports no
    more than that child does and holds no file contents.
    """
    times, out = [], b""
    stdout = subprocess.PIPE if output else subprocess.DEVNULL
    for i in range(repeat + 1):
        start = time.perf_counter()
        out = subprocess.run(argv, stdout=stdout, check=True).stdout or b""
        if i:
            times.append(time.perf_counter() - start)
    words = out.split()
    records = int(words[0]) if words and words[0].isdigit() else None
    return Measure(" ".join(argv[:-1]), times=times, records=records)


class Files:
    """Big tweet files made once per run with make_data.py, and removed at the end unless kept."""

    def __init__(self, keep=None):
        self.keep = keep is not None
        self.dir = Path(keep) if keep else Path(tempfile.mkdtemp(prefix="quarn-bench-"))
        self.dir.mkdir(parents=True, exist_ok=True)

    def get(self, fmt, size):
        path = self.dir / f"tweets-{size}.{fmt}"
        if not path.exists():
            print(f"  making {path} ...", flush=True)
            # Written under another name first, so an interrupted run never leaves a short file
            # that a later --keep run would take for a finished one.
            partial = path.with_suffix(".partial")
            argv = [sys.executable, str(MAKE_DATA), "--format", fmt, "--size", size]
            subprocess.run(
                [*argv, "--kind", "tweets", str(partial)], check=True, stdout=subprocess.DEVNULL
            )
            partial.replace(path)
        return str(path)

    def close(self):
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


@dataclass
class Context:
    files: Files
    quick: bool
    size: str
    load_size: str
    repeat: int
    _baseline: Measure | None = None

    def baseline(self):
        if self._baseline is None:
            self._baseline = run_case("baseline", os.devnull, 0)
        return self._baseline


def seconds(value):
    if value is None:
        return "-"
    return f"{value * 1e3:.2f} ms" if value < 1 else f"{value:.3f} s"


def ratio(num, den):
    return num / den if num and den else None


def times_x(value):
    return "n/a" if value is None else f"{value:.2f}x"


def check(value, target, at_most):
    """`value` against its target, e.g. '1.23x (target <= 1.5x: ok)'."""
    if value is None:
        return "n/a"
    ok = value <= target if at_most else value >= target
    sign = "<=" if at_most else ">="
    return f"{value:.2f}x (target {sign} {target}x: {'ok' if ok else 'MISS'})"


def measure_row(m, label, size, baseline=None, rate=False):
    """One line of the standard table; `rate` adds records/s (only meaningful for parsing)."""
    if m.error:
        return [m.name, label, "error: " + m.error, "", "", "", "", "", ""]
    rss = m.rss_kib / 1024 if m.rss_kib else None
    extra = rss - baseline.rss_kib / 1024 if rss and baseline and baseline.rss_kib else None
    return [
        m.name,
        label,
        seconds(m.median),
        seconds(m.best),
        f"{size / 1e6 / m.median:.0f}" if m.median and size else "-",
        f"{m.records / m.median:,.0f}" if rate and m.records and m.median else "-",
        "-" if m.records is None else f"{m.records:,}",
        "-" if rss is None else f"{rss:.0f}",
        "-" if extra is None else f"{extra:+.0f}",
    ]


MEASURE_HEADER = ["case", "file", "median", "best", "MB/s", "rec/s", "records", "RSS MiB", "+base"]


def baseline_row(ctx):
    base = ctx.baseline()
    rss = f"{base.rss_kib / 1024:.0f}" if base.rss_kib else "error: " + str(base.error)
    return ["baseline", "(imports only)", "-", "-", "-", "-", "-", rss, "+0"]


def table(title, header, rows):
    """Prints rows under a header; cells "error: TEXT" become numbered notes below the table."""
    notes = []
    for row in rows:
        for j, cell in enumerate(row):
            if str(cell).startswith("error: "):
                text = cell[len("error: ") :]
                if text not in notes:
                    notes.append(text)
                row[j] = f"error [{notes.index(text) + 1}]"
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    print(f"\n{title}")
    for i, row in enumerate([header, *rows]):
        cells = [
            str(c).ljust(w) if j < 2 else str(c).rjust(w)
            for j, (c, w) in enumerate(zip(row, widths))
        ]
        print("  " + "  ".join(cells).rstrip())
        if i == 0:
            print("  " + "  ".join("-" * w for w in widths))
    for i, note in enumerate(notes, 1):
        print(f"  [{i}] {note}")


def file_label(path):
    return f"{Path(path).name} ({os.path.getsize(path) / MIB:.0f} MiB)"
