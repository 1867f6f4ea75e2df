"""Exact byte ranges of one file, read by several workers at once.

A JSON Lines record belongs to the range its line starts in; a JSON array element to the range
its text starts in (the byte after the '[' or ',' before it). For a JSON array, each range is
summarised natively for each state its first byte could be in (outside a string, inside one,
inside one right after a backslash): where it leaves strings, how its depth moves, its depth-1
commas. `start_states` runs the summaries left to right and fixes every range's true start state
from a handful of integers per range; each worker then cuts its own records from that state with
the record source, parser and sinks that read whole files.

Used by ``quarn.count(jobs=)``, ``quarn validate --jobs`` (threads over one local file; the
scans release the GIL) and ``quarn.dask`` (a task per range, local or remote). Anything these
steps cannot do exactly (a bad record, a file that is not an array or lines) is handed back, and
the caller reads the file in order instead, so results and errors stay those of one reader.
"""

from __future__ import annotations

import itertools
import os
import stat

from quarn.lib import _quarn

# Imported where used: `import quarn` stays light for the programs that read a file or two.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, TypeAlias

native = _quarn._split

# Start states of a range of an array; depth 1 is directly inside the array.
OUTSIDE, INSIDE, ESCAPED = 0, 1, 2
# Below this many bytes per thread, one reader is as fast (tests lower it).
MIN_PIECE = 4 << 20
# Bytes read at a time where the range is read through Python (remote files).
CHUNK = 4 << 20
_JSON_SPACE = b" \t\n\f\r"

# end state, depth change, lowest depth, commas, content
Summary: TypeAlias = "tuple[int, int, int, int, bool]"
ReadAt: TypeAlias = "Callable[[int, int], bytes]"


def cut(start: int, end: int, size: int) -> list[tuple[int, int]]:
    """[start, end) in consecutive ranges of about `size` bytes (at least one range)."""
    n = max(1, -(-(end - start) // max(size, 1)))
    step = (end - start) / n
    bounds = [start + round(i * step) for i in range(n)] + [end]
    return list(itertools.pairwise(bounds))


def start_states(summaries: Sequence[Sequence[Summary]]) -> list[tuple[int, int]]:
    """(state, depth) at the start of each range and after the last, the first range starting
    just after the array's '['."""
    state, depth = OUTSIDE, 1
    out = [(state, depth)]
    for summary in summaries:
        end, change, _, _, _ = summary[state]
        state, depth = end, depth + change
        out.append((state, depth))
    return out


def closing_range(summaries: Sequence[Sequence[Summary]], states: list[tuple[int, int]]) -> int:
    """Index of the range in which the array's depth first falls below 1 (len when none): no
    element starts in a later range."""
    for k, summary in enumerate(summaries):
        state, depth = states[k]
        if depth + summary[state][2] < 1:
            return k
    return len(summaries)


def line_start(read_at: ReadAt, offset: int, first: int, size: int) -> int:
    """Offset of the first line that starts at or after `offset` (`size` when none does)."""
    if offset <= first:
        return first
    at = offset - 1
    while at < size:
        data = read_at(at, 1 << 16)
        if not data:
            break
        i = data.find(b"\n")
        if i >= 0:
            return at + i + 1
        at += len(data)
    return size


def element_start(
    k: int,
    bounds: tuple[int, int],
    state: tuple[int, int],
    read_at: ReadAt,
    find: Callable[[int, int, int, int], int],
) -> int | None:
    """Offset at which the first element that starts in range `k` starts, or None."""
    a, b = bounds
    if k == 0:
        return a
    st, depth = state
    if st == OUTSIDE and depth == 1 and read_at(a - 1, 1) == b",":
        return a
    # A separator at b - 1 starts an element in the next range.
    c = find(a, b - 1, st, depth) if b - 1 > a else -1
    if c < 0 or read_at(c, 1) == b"]":
        return None
    return c + 1


def pieces(starts: Sequence[int | None], limit: int) -> list[tuple[int, int, bool] | None]:
    """(start, end, close) of the stream of each range: its elements run up to the separator
    before the next range's first element, or, for the last range with elements, to `limit`
    (0: the file's end) with whatever follows the array."""
    out: list[tuple[int, int, bool] | None] = [None] * len(starts)
    following: int | None = None
    for k in range(len(starts) - 1, -1, -1):
        t = starts[k]
        if t is None:
            continue
        out[k] = (t, following - 1, True) if following is not None else (t, limit, False)
        following = t
    return out


# --- One local file, several threads -------------------------------------------------------


def _pread(path: str) -> ReadAt:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)

    def read_at(offset: int, n: int) -> bytes:
        return os.pread(fd, n, offset)

    read_at.close = lambda: os.close(fd)  # type: ignore[attr-defined]
    return read_at


def _find(path: str) -> Callable[[int, int, int, int], int]:
    return lambda a, stop, st, depth: native.find_separator(path, a, stop, st, depth)


def _last_significant(read_at: ReadAt, start: int, end: int) -> int:
    """Offset of the last byte in [start, end) that is not JSON whitespace, or -1."""
    at = end
    while at > start:
        take = min(1 << 16, at - start)
        data = read_at(at - take, take).rstrip(_JSON_SPACE)
        if data:
            return at - take + len(data) - 1
        at -= take
    return -1


def _plan(path: str, format: str | None, jobs: int) -> tuple[str, int, int] | None:
    if jobs < 2:
        return None
    try:
        kind, start, limit = native.plan(path, format, None)
    except (ValueError, RuntimeError, OSError):
        return None  # the reader in order reports it
    if kind not in ("array", "lines") or limit - start < 2 * MIN_PIECE:
        return None
    return kind, start, limit


def _line_pieces(path: str, start: int, size: int, jobs: int) -> list[tuple[int, int]]:
    read_at = _pread(path)
    try:
        step = _piece(start, size, jobs)
        heads = [line_start(read_at, a, start, size) for a, _ in cut(start, size, step)]
    finally:
        read_at.close()  # type: ignore[attr-defined]
    ends = [*heads[1:], size]
    return [(s, e) for s, e in zip(heads, ends, strict=True) if s < e]


def _piece(start: int, end: int, jobs: int) -> int:
    return max(MIN_PIECE, -(-(end - start) // jobs))


def splittable(source: Any, compression: str | None) -> str | None:
    """`source` as a path that threads can share: a regular local file whose bytes are its
    records as they are (not compressed), else None (one reader reads it in order)."""
    if isinstance(source, os.PathLike):
        source = os.fspath(source)
    if not isinstance(source, str) or source == "-":
        return None
    try:
        if not stat.S_ISREG(os.stat(source).st_mode):
            return None
        if compression not in (None, "none"):
            if compression != "infer":
                return None
            with open(source, "rb") as f:
                if native.compressed(f.read(8)):
                    return None
    except OSError:
        return None  # one reader reports it
    return source


def count(source: Any, format: str | None, jobs: int, compression: str | None) -> int | None:
    """The record count of `source` with `jobs` threads, or None where one reader must do it
    (too small, compressed, not an array or lines, a bad byte)."""
    path = splittable(source, compression)
    if path is None:
        return None
    plan = _plan(path, format, jobs)
    if plan is None:
        return None
    kind, start, size = plan
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(jobs) as pool:
        if kind == "lines":
            ranges = _line_pieces(path, start, size, jobs)
            got = list(
                pool.map(lambda r: native.count_piece(path, False, r[0], r[1], 0, 0), ranges)
            )
            if any(invalid for _, _, invalid in got):
                return None
            return sum(n for n, _, _ in got)
        # The array's closing bracket, when it is the last significant byte, is left out: no
        # range then sees the depth fall below 1, and every range's count is its summary's.
        read_at = _pread(path)
        try:
            last = _last_significant(read_at, start, size)
            end = last if last >= 0 and read_at(last, 1) == b"]" else size
        finally:
            read_at.close()  # type: ignore[attr-defined]
        ranges = cut(start, end, _piece(start, end, jobs))
        summaries = list(pool.map(lambda r: native.summarize(path, r[0], r[1]), ranges))
    states = start_states(summaries)
    commas, content = 0, False
    for (a, b), summary, (st, depth) in zip(ranges, summaries, states, strict=False):
        _, _, low, n, has = summary[st]
        if depth + low == 1:
            commas, content = commas + n, content or has
        elif depth + low < 1:
            n, has, _ = native.count_piece(path, True, a, b, st, depth)
            commas, content = commas + n, content or has
    return commas + 1 if content else 0


def validate(
    source: str, format: str | None, records: str | None, jobs: int, compression: str | None
) -> int | None:
    """The number of records of `source`, all read and found good with `jobs` threads, or None
    when one reader must say what is wrong (or the file cannot be split)."""
    if jobs < 2:
        return None
    path = splittable(source, compression)
    if path is None:
        return None
    # Whatever fails here fails again, and is reported, when one reader reads the file.
    try:
        return _validate(path, format, records, jobs)
    except (ValueError, RuntimeError, OSError):
        return None


def _validate(path: str, format: str | None, records: str | None, jobs: int) -> int | None:
    try:
        kind, start, limit = native.plan(path, format, records)
    except (ValueError, RuntimeError, OSError):
        return None
    size = os.path.getsize(path)
    end = limit if records is not None else size
    if kind not in ("array", "lines") or end - start < 2 * MIN_PIECE:
        return None
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(jobs) as pool:
        if kind == "lines":
            ranges = _line_pieces(path, start, size, jobs)
            # The first piece from the file's start, where its reader skips a byte-order mark.
            args = [
                (False, k == 0, 0 if k == 0 else s, e, False) for k, (s, e) in enumerate(ranges)
            ]
        else:
            ranges = cut(start, end, _piece(start, end, jobs))
            summaries = list(pool.map(lambda r: native.summarize(path, r[0], r[1]), ranges))
            states = start_states(summaries)
            closing = closing_range(summaries, states)
            read_at = _pread(path)
            try:
                starts = [
                    element_start(k, r, states[k], read_at, _find(path)) if k <= closing else None
                    for k, r in enumerate(ranges)
                ]
            finally:
                read_at.close()  # type: ignore[attr-defined]
            stop = limit if records is not None else 0
            args = [(True, False, *p) for p in pieces(starts, stop) if p is not None]
        got = list(pool.map(lambda a: native.validate_piece(path, *a), args))
    if None in got:
        return None
    # A piece of an array that starts after a separator, or ends before one, holds an
    # element: an empty one is a hole (`[1,,2]`, `[1,]`), which one reader reports.
    if kind == "array" and any(
        n == 0 and (a[2] != start or a[4]) for n, a in zip(got, args, strict=True)
    ):
        return None
    return sum(n for n in got if n is not None)


def check_jobs(jobs: object) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    return jobs
