"""A tour of the quarn API: every function, progress from an iterator, and a process pool.

python examples/api_tour.py [FILE...]     (default: the bundled events files)
"""

from __future__ import annotations

import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

import quarn
from quarn import bigjson

EXAMPLES = Path(__file__).resolve().parent


def tour(path: str) -> None:
    records: int = quarn.count(path)
    print(f"{path}: {records} records")

    # The first few records decide the description; the rest of the file is never read.
    description: str = quarn.schema(path, sample=10)
    print(description)

    # iter_records holds one record at a time; its byte counters drive a progress display.
    it: bigjson.RecordIterator = quarn.iter_records(path)
    events: dict[str, int] = {}
    for record in it:
        event = str(record.get("event", "?")) if isinstance(record, dict) else "?"
        events[event] = events.get(event, 0) + 1
    print(f"events {events}, read {it.bytes_read} of {it.total_bytes} bytes")

    # load is for files that fit in memory: a JSON Lines file becomes a list of records.
    everything: Any = quarn.load(path, format="jsonl" if path.endswith(".jsonl") else "json")
    print(f"loaded {type(everything).__name__} of {len(everything)}")

    # The native module offers the same functions.
    assert bigjson.count(path) == records


def count_all(paths: list[str]) -> dict[str, int]:
    """Counts many files in parallel.

    The top-level functions pickle by reference, so they can be handed to worker
    processes; ``quarn.bigjson.count`` itself cannot be.
    """
    with ProcessPoolExecutor(max_workers=2) as pool:
        return dict(zip(paths, pool.map(quarn.count, paths), strict=True))


def main(argv: list[str]) -> None:
    paths = argv or [str(EXAMPLES / "events.jsonl"), str(EXAMPLES / "events.json")]
    for path in paths:
        tour(path)
    print(count_all(paths))


if __name__ == "__main__":
    main(sys.argv[1:])
