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

import io
import itertools
import os
import stat

from quarn.lib import _quarn

# Imported where used: `import quarn` stays light for the programs that read a file or two.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
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
# A local file's path (read natively with positioned reads), or a read-at callback.
Source: TypeAlias = "str | bytes | ReadAt"
# The summaries of a range that holds no byte.
IDENTITY: tuple[Summary, Summary, Summary] = (
    (OUTSIDE, 0, 0, 0, False),
    (INSIDE, 0, 0, 0, False),
    (ESCAPED, 0, 0, 0, False),
)


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


class Layout:
    """How the records of a file lie: `kind` "array" (its elements from just after its '[')
    or "lines", from `start` to `end` (just after the ']' of the array `records` names, else
    the file's size when the split was planned: bytes appended later are not read). An
    array's elements lie inside `depth` containers of the file (the array included), which
    count towards the parser's nesting limit in each piece as in the whole file."""

    def __init__(self, kind: str, start: int, end: int, depth: int) -> None:
        self.kind = kind
        self.start = start
        self.end = end
        self.depth = depth


class Piece:
    """What one range reads: the native piece source's arguments (`args`), and whether the
    piece must hold a record."""

    def __init__(
        self,
        array: bool,
        first: bool,
        start: int,
        end: int,
        close: bool,
        filled: bool,
        depth: int,
    ) -> None:
        self.array = array
        self.first = first  # the range that holds the first record, read from the file's start
        self.start = start
        self.end = end
        self.close = close  # an array whose elements go on past `end`: closed there
        self.depth = depth  # the layout's: the piece's stream opens the array itself
        # A piece of an array that starts after a separator, or ends before one, holds an
        # element: an empty one is a hole (`[1,,2]`, `[1,]`), which the whole file's reader
        # rejects.
        self.filled = filled

    @property
    def args(self) -> tuple[bool, bool, int, int, bool, int]:
        return self.array, self.first, self.start, self.end, self.close, self.depth


def clip(layout: Layout, bounds: tuple[int, int]) -> tuple[int, int]:
    a, b = max(bounds[0], layout.start), min(bounds[1], layout.end)
    return (a, b) if a < b else (b, b)


def piece(
    layout: Layout,
    ranges: Sequence[tuple[int, int]],
    k: int,
    source: Source,
    combined: tuple[list[tuple[int, int]], int] | None = None,
    known: dict[int, int | None] | None = None,
) -> Piece | None:
    """The piece of range `k` of `ranges` (which cut the file), or None when no record starts
    in it. `source` is the file's path or a read-at callback; an array needs `combined`, the
    ranges' start states and closing range (`start_states`, `closing_range`); `known` keeps
    the element starts found, for a caller that asks for every piece."""
    read_at = _read_at(source)
    try:
        if layout.kind == "lines":
            a, b = clip(layout, ranges[k])
            s = line_start(read_at, a, layout.start, layout.end)
            e = line_start(read_at, b, layout.start, layout.end)
            if s >= e:
                return None
            first = s == layout.start
            # The first piece from the file's start, where its reader skips a byte-order mark.
            return Piece(False, first, 0 if first else s, e, False, False, layout.depth)
        assert combined is not None
        states, closing = combined
        known = {} if known is None else known

        def start_of(j: int) -> int | None:
            if j not in known:
                known[j] = element_start(
                    layout, clip(layout, ranges[j]), states[j], read_at, source
                )
            return known[j]

        t = start_of(k) if k <= closing else None
        if t is None:
            return None
        for j in range(k + 1, min(closing + 1, len(ranges))):
            following = start_of(j)
            if following is not None:
                return Piece(True, False, t, following - 1, True, True, layout.depth)
        return Piece(True, False, t, layout.end, False, t != layout.start, layout.depth)
    finally:
        if read_at is not source:
            read_at.close()  # type: ignore[attr-defined]


def line_start(read_at: ReadAt, offset: int, first: int, size: int) -> int:
    """Offset of the first line that starts at or after `offset` (`size` when none does)."""
    if offset <= first:
        return first
    at = offset - 1
    while at < size:
        data = read_at(at, min(1 << 16, size - at))
        if not data:
            break
        i = data.find(b"\n")
        if i >= 0:
            return at + i + 1
        at += len(data)
    return size


def element_start(
    layout: Layout,
    bounds: tuple[int, int],
    state: tuple[int, int],
    read_at: ReadAt,
    source: Source,
) -> int | None:
    """Offset at which the first element that starts in `bounds` starts, or None."""
    a, b = bounds
    if a >= b:
        return None
    if a == layout.start:
        return a
    st, depth = state
    if st == OUTSIDE and depth == 1 and read_at(a - 1, 1) == b",":
        return a
    # A separator at b - 1 starts an element in the next range.
    c = find_separator(source, a, b - 1, st, depth) if b - 1 > a else -1
    if c < 0 or read_at(c, 1) == b"]":
        return None
    return c + 1


# --- The scans of a range, of a local file or through a read-at callback ---------------------


def _read_at(source: Source) -> ReadAt:
    return _pread(source) if isinstance(source, (str, bytes)) else source


def chunks(read_at: ReadAt, start: int, end: int) -> Iterator[bytes]:
    at = start
    while at < end:
        data = read_at(at, min(CHUNK, end - at))
        if not data:
            return
        yield data
        at += len(data)


def summarize(source: Source, start: int, end: int) -> tuple[Summary, Summary, Summary]:
    """The summaries of [start, end) of an array for its three start states."""
    if isinstance(source, (str, bytes)):
        return native.summarize(source, start, end)
    acc = None
    for data in chunks(source, start, end):
        acc = native.summarize_buffer(data, acc)
    return acc or IDENTITY


def find_separator(source: Source, start: int, stop: int, state: int, depth: int) -> int:
    """The first depth-1 ',' or ']' in [start, stop) from that state, or -1."""
    if isinstance(source, (str, bytes)):
        return native.find_separator(source, start, stop, state, depth)
    at = start
    for data in chunks(source, start, stop):
        i, state, depth = native.find_separator_buffer(data, state, depth)
        if i >= 0:
            return at + i
        at += len(data)
    return -1


def piece_records(source: Source, piece: Piece, fields: list[str] | None = None) -> Any:
    """An iterator over the records of `piece` of the file at `source` (a path, or a read-at
    callback)."""
    if isinstance(source, (str, bytes)):
        return native.iter_piece(source, *piece.args, fields)
    return native.iter_piece(RangeStream(source, piece.start, piece.end), *piece.args, fields)


class RangeStream(io.RawIOBase):
    """The bytes [start, end) of a file as a binary stream, read in large chunks through a
    read-at callback: it holds no file position, so tasks that read one file never share one."""

    def __init__(self, read_at: ReadAt, start: int, end: int) -> None:
        super().__init__()
        self._read_at = read_at
        self._at = start
        self._end = end
        self._buffer = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if not self._buffer:
            if self._at >= self._end:
                return 0
            data = self._read_at(self._at, min(CHUNK, self._end - self._at))
            if not data:
                self._end = self._at  # the file is shorter than the range
                return 0
            self._at += len(data)
            self._buffer = memoryview(data)
        n = min(len(b), len(self._buffer))
        b[:n] = self._buffer[:n]
        self._buffer = self._buffer[n:]
        return n


# --- One local file, several threads -------------------------------------------------------


def _pread(path: str | bytes) -> ReadAt:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)

    def read_at(offset: int, n: int) -> bytes:
        return os.pread(fd, n, offset)

    read_at.close = lambda: os.close(fd)  # type: ignore[attr-defined]
    return read_at


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


def _layout(path: str | bytes, format: str | None, records: str | None) -> Layout | None:
    """How the records of the file at `path` lie, or None when it is not an array or lines of
    at least two pieces' worth (or cannot be planned: one reader then reports why)."""
    try:
        kind, start, limit, depth = native.plan(path, format, records)
        size = os.path.getsize(path)
    except (ValueError, RuntimeError, OSError):
        return None
    end = limit if records is not None else size
    if kind not in ("array", "lines") or end - start < 2 * MIN_PIECE:
        return None
    return Layout(kind, start, end, depth)


def _piece(start: int, end: int, jobs: int) -> int:
    return max(MIN_PIECE, -(-(end - start) // jobs))


def splittable(source: Any, compression: str | None) -> str | bytes | None:
    """`source` as a path that threads can share: a regular local file whose bytes are its
    records as they are (not compressed), else None (one reader reads it in order)."""
    if isinstance(source, os.PathLike):
        source = os.fspath(source)
    if not isinstance(source, (str, bytes)) or source == "-":
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
    path = splittable(source, compression) if jobs > 1 else None
    layout = None if path is None else _layout(path, format, None)
    if path is None or layout is None:
        return None
    start, size = layout.start, layout.end
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(jobs) as pool:
        if layout.kind == "lines":
            ranges = cut(start, size, _piece(start, size, jobs))
            pieces = [p for k in range(len(ranges)) if (p := piece(layout, ranges, k, path))]
            # Lines are counted from where the records start, after any byte-order mark.
            got = list(
                pool.map(
                    lambda p: native.count_piece(
                        path, False, start if p.first else p.start, p.end, 0, 0
                    ),
                    pieces,
                )
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


def _validate(path: str | bytes, format: str | None, records: str | None, jobs: int) -> int | None:
    layout = _layout(path, format, records)
    if layout is None:
        return None
    ranges = cut(layout.start, layout.end, _piece(layout.start, layout.end, jobs))
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(jobs) as pool:
        combined = None
        if layout.kind == "array":
            summaries = list(pool.map(lambda r: native.summarize(path, r[0], r[1]), ranges))
            states = start_states(summaries)
            combined = states, closing_range(summaries, states)
        known: dict[int, int | None] = {}
        pieces = [
            p for k in range(len(ranges)) if (p := piece(layout, ranges, k, path, combined, known))
        ]
        got = list(pool.map(lambda p: native.validate_piece(path, *p.args), pieces))
    if None in got:
        return None
    if any(n == 0 and p.filled for n, p in zip(got, pieces, strict=True)):
        return None
    return sum(n for n in got if n is not None)


def check_jobs(jobs: object) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    return jobs
