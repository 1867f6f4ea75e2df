"""The ``quarn`` command line: count, schema, head, validate and convert for JSON / JSON Lines
files.

Every command reads what the package's functions read: paths, ``-`` for standard input,
compressed files. Exit status: 0 on success, 1 for bad data or a file that cannot be read, 2
for a usage error. Every failure is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import re
import shlex
import signal
import sys
import time

import quarn
from quarn import _convert, _progress, _ranges
from quarn._compression import COMPRESSIONS
from quarn._version import __version__

# Annotations only: typing is not imported to start the command.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from types import TracebackType
    from typing import Any, NoReturn, Self, TextIO

PROG = "quarn"
EXIT_OK = 0
EXIT_BAD_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE
EXIT_TERMINATED = 128 + signal.SIGTERM

# head and count are usually over in a blink; a bar that flashes for a moment is noise, so
# theirs appears only once the work has run this long. validate always reads the whole file.
QUICK_WORK_DELAY = 1.0


class _Version(argparse.Action):
    """--version: the version, and the library that decodes each compression (looked up only
    when asked: finding zlib-ng imports its package)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(
            option_strings,
            dest=argparse.SUPPRESS,
            default=argparse.SUPPRESS,
            nargs=0,
            help="show the version and the decompressors in use, then exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> NoReturn:
        decoders = ", ".join(f"{name} {text}" for name, text in quarn.build_info().items())
        sys.stdout.write(f"{PROG} {__version__}\ndecompressors: {decoders}\n")
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse prints the whole usage block first; one line keeps the failure readable
        # in logs, and the usage is a --help away.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _positive(text: str) -> int:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


JOBS_HELP = (
    "threads that share each large uncompressed file (a JSON array or JSON Lines; default: 1)"
)


def _build_parser() -> _Parser:
    common = _Parser(add_help=False)
    common.add_argument(
        "--format",
        type=str.lower,
        choices=("json", "jsonl", "ndjson", "auto"),
        default="auto",
        help="record format; auto (the default) goes by what the data holds",
    )
    common.add_argument(
        "--compression",
        type=str.lower,
        choices=("infer", "none", *COMPRESSIONS),
        default="infer",
        help="infer (the default) recognises gzip, bz2, xz and zstd data by its first bytes",
    )
    common.add_argument(
        "--records",
        metavar="POINTER",
        help="the records are the elements of the array at this JSON Pointer (RFC 6901)",
    )
    common.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="never show a progress bar (shown on a terminal when tqdm is installed)",
    )

    parser = _Parser(
        prog=PROG,
        description="Fast, memory-conscious tools for large JSON and JSON Lines files.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, parser_class=_Parser
    )

    count = commands.add_parser(
        "count",
        parents=[common],
        help="print the number of records of each file",
        description="Print the number of records of FILE. For several files, print one line "
        "per file (count, tab, path) and a total line.",
    )
    count.add_argument("files", nargs="+", metavar="FILE")
    count.add_argument("--jobs", type=_positive, default=1, metavar="N", help=JOBS_HELP)
    count.set_defaults(run=_run_count)

    schema = commands.add_parser(
        "schema",
        parents=[common],
        help="describe the structure of the first records",
        description="Print an indented JSON description of the merged structure of the "
        "first records.",
    )
    schema.add_argument("file", metavar="FILE")
    schema.add_argument(
        "--sample",
        type=_non_negative,
        default=100,
        metavar="N",
        help="records to sample (default: 100)",
    )
    schema.set_defaults(run=_run_schema)

    head = commands.add_parser(
        "head",
        parents=[common],
        help="print the first records as JSON Lines",
        description="Print the first N records as JSON Lines.",
    )
    head.add_argument("file", metavar="FILE")
    head.add_argument(
        "--fields",
        action="append",
        type=_field_list,
        metavar="FIELDS",
        help="print only these parts of each record: names and JSON Pointers (/user/name), "
        "separated by commas (\\, for a comma inside one); may be repeated",
    )
    head.add_argument(
        "-n", type=_non_negative, default=10, metavar="N", help="records to print (default: 10)"
    )
    head.set_defaults(run=_run_head)

    validate = commands.add_parser(
        "validate",
        parents=[common],
        help="read every record and report the first bad one",
        description="Read every record of each FILE; report the first bad one with its "
        "record number, the file offset reached and the message (with --keep-going, every "
        "bad record, and a count at the end). Exit status 1 when a file is bad.",
    )
    validate.add_argument("files", nargs="+", metavar="FILE")
    validate.add_argument(
        "--keep-going",
        action="store_true",
        help="report every bad record instead of stopping at the first",
    )
    validate.add_argument("--jobs", type=_positive, default=1, metavar="N", help=JOBS_HELP)
    validate.set_defaults(run=_run_validate)

    convert = commands.add_parser(
        "convert",
        parents=[common],
        help="write the records as Parquet, Arrow IPC or JSON Lines",
        description="Write the records of SRC to DST in the format its suffix names "
        "(.parquet, .arrow or .feather for an Arrow IPC file, .jsonl or .ndjson), or --to "
        "names. DST appears only once it is complete: a bad record (reported as validate "
        "reports it), an interrupt or a termination leaves no file under its name. JSON "
        "Lines hold each record's own bytes without the whitespace outside its strings "
        "(re-serialised with --fields); - as DST writes JSON Lines, or an Arrow IPC stream, "
        "to standard output.",
    )
    convert.add_argument("source", metavar="SRC")
    convert.add_argument("destination", metavar="DST")
    convert.add_argument(
        "--to",
        type=str.lower,
        choices=_convert.FORMATS,
        help="the output format, where DST is - or its suffix names none",
    )
    convert.add_argument(
        "--fields",
        action="append",
        type=_field_list,
        metavar="FIELDS",
        help="write only these parts of each record, as for head",
    )
    convert.add_argument(
        "--schema",
        metavar="SCHEMA",
        help="Parquet and Arrow: the columns' types, as a JSON object of column names or "
        "JSON Pointers to type names, inline or in a file",
    )
    convert.add_argument(
        "--jobs",
        type=_positive,
        default=1,
        metavar="N",
        help="Parquet and Arrow: threads that build the batches, with the same output "
        "(default: 1); JSON Lines are written by one",
    )
    convert.set_defaults(run=_run_convert)
    return parser


def _can_show_bars() -> bool:
    try:
        _progress.tqdm_class()
    except ModuleNotFoundError:
        return False
    return True


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of the package's functions that the common options give."""
    return {
        "compression": None if args.compression == "none" else args.compression,
        "records": args.records,
    }


class _Progress:
    """A byte-count bar on stderr, or nothing.

    There is a bar only when it was asked for, stderr is a terminal, tqdm can be imported
    and the work has gone on for `delay` seconds; otherwise every method is a no-op.
    """

    def __init__(self, total: int, desc: str, *, wanted: bool, delay: float) -> None:
        self._wanted = wanted and total > 0 and sys.stderr.isatty() and _can_show_bars()
        self._total = total
        self._desc = desc
        self._due = time.monotonic() + delay
        self._bar: Any = None

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        self._wanted = False

    def update(self, done: int) -> None:
        if not self._wanted:
            return
        if self._bar is None:
            if time.monotonic() < self._due:
                return
            # Starting at `done`: the work before the bar appeared would inflate the rate.
            self._bar = _progress.new_bar(self._total, self._desc, initial=done, leave=False)
        self._bar.update(done - self._bar.n)

    def write(self, text: str, stream: TextIO) -> None:
        """Writes a line to `stream` without tearing the bar when both share a terminal."""
        if self._bar is None:
            print(text, file=stream)
            return
        self._bar.clear()
        print(text, file=stream)
        stream.flush()
        self._bar.refresh()


def _fail(message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return EXIT_BAD_DATA


# Errors that the package's functions raise for a file: bad data, a file that cannot be read,
# a decompressor that is not installed.
FILE_ERRORS = (ValueError, RuntimeError, OSError, ImportError)


# The package's messages name its keyword arguments; the command line names its options.
_OPTION_WORDING = (
    (re.compile(r'\brecords=(?=")'), "--records "),
    (re.compile(r"\brecords="), "--records"),
    (re.compile(r'\bformat="(\w+)"'), r"--format \1"),
)


def _message(exc: Exception) -> str:
    message = str(exc) or type(exc).__name__
    for pattern, option in _OPTION_WORDING:
        message = pattern.sub(option, message)
    return message


def _file_message(path: str, exc: Exception) -> str:
    message = _message(exc)
    # The opening and detection errors carry the path already.
    if message.startswith(("cannot open ", "cannot read ")):
        return message
    return f"{path}: {message}"


def _bad_record_text(path: str, number: int, records: quarn.RecordIterator, exc: Exception) -> str:
    return f"{path}: record {number}, read up to byte {records.bytes_read}: {_message(exc)}"


def _bad_record(path: str, number: int, records: quarn.RecordIterator, exc: Exception) -> int:
    return _fail(_bad_record_text(path, number, records, exc))


def _format_arg(args: argparse.Namespace) -> str | None:
    return None if args.format == "auto" else str(args.format)


def _file_size(path: str) -> int:
    if path == "-":
        return 0
    try:
        return os.stat(path).st_size
    except (OSError, ValueError):
        return 0


def _run_count(args: argparse.Namespace) -> int:
    paths: list[str] = args.files
    fmt = _format_arg(args)
    status = EXIT_OK
    total = 0
    sizes = [_file_size(path) for path in paths]
    with _Progress(sum(sizes), "count", wanted=args.progress, delay=QUICK_WORK_DELAY) as progress:
        done = 0
        for path, size in zip(paths, sizes, strict=True):
            try:
                records = quarn.count(path, fmt, jobs=args.jobs, **_options(args))
            except FILE_ERRORS as exc:
                progress.write(f"{PROG}: {_file_message(path, exc)}", sys.stderr)
                status = EXIT_BAD_DATA
            else:
                total += records
                progress.write(f"{records}\t{path}" if len(paths) > 1 else str(records), sys.stdout)
            done += size
            progress.update(done)
    if len(paths) > 1:
        print(f"{total}\ttotal")
    return status


def _run_schema(args: argparse.Namespace) -> int:
    try:
        text, arrays = quarn._outline(args.file, args.sample, _format_arg(args), **_options(args))
    except FILE_ERRORS as exc:
        return _fail(_file_message(args.file, exc))
    print(text)
    # One JSON document: its arrays were sampled. The large ones are where records
    # usually are; say how to read them as such.
    large = [(pointer, seen) for pointer, seen, skipped in arrays if skipped]
    if large:
        # A sample of 0 still describes one element of each array: say what was used.
        used = max(args.sample, 1)
        elements = "element" if used == 1 else "elements"
        print(
            f"quarn: {args.file} is one JSON document; each of its arrays was described "
            f"from its first {used} {elements}. To take the elements of a large array "
            "as the records:",
            file=sys.stderr,
        )
        for pointer, _ in large:
            print(
                f"  quarn schema --records {shlex.quote(pointer)} {shlex.quote(args.file)}",
                file=sys.stderr,
            )
    return EXIT_OK


# Records are written in batches: one native call turns a batch into JSON Lines.
HEAD_BATCH = 4096


def _json_lines(batch: list[Any]) -> bytes:
    data: bytes | None = quarn._native.dump_lines(batch)
    if data is None:  # something only json.dumps writes right
        data = b"".join(
            json.dumps(r, ensure_ascii=False, separators=(",", ":")).encode() + b"\n" for r in batch
        )
    return data


def _field_list(text: str) -> list[str]:
    return [part.replace("\\,", ",") for part in re.split(r"(?<!\\),", text)]


def _run_head(args: argparse.Namespace) -> int:
    fields = [f for group in args.fields for f in group] if args.fields else None
    try:
        records = quarn.iter_records(args.file, _format_arg(args), fields=fields, **_options(args))
    except FILE_ERRORS as exc:
        return _fail(_file_message(args.file, exc))
    out = sys.stdout.buffer
    # Records printed to the same terminal would interleave with the bar.
    wanted = args.progress and not sys.stdout.isatty()
    written = 0
    with _Progress(
        records.total_bytes, args.file, wanted=wanted, delay=QUICK_WORK_DELAY
    ) as progress:
        while written < args.n:
            batch: list[Any] = []
            try:
                # extend keeps what it took before an error.
                batch.extend(itertools.islice(records, min(HEAD_BATCH, args.n - written)))
            except FILE_ERRORS as exc:
                out.write(_json_lines(batch))
                out.flush()
                return _bad_record(args.file, written + len(batch) + 1, records, exc)
            if not batch:
                break
            out.write(_json_lines(batch))
            written += len(batch)
            progress.update(records.bytes_read)
    out.flush()
    return EXIT_OK


def _stops_reading(exc: Exception) -> bool:
    """Whether reading on after `exc` would only meet it again: the file cannot be read,
    or compressed data is corrupt."""
    return isinstance(exc, (OSError, ImportError))


def _plural(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def _validate_file(path: str, args: argparse.Namespace) -> int | None:
    """Validates one file; returns the number of bad records, or None when the file cannot
    be opened."""
    # Threads that find every record good say so; anything else is told by one reader.
    good = _ranges.validate(
        path, _format_arg(args), args.records, args.jobs, _options(args)["compression"]
    )
    if good is not None:
        print(f"{path}: ok, {_plural(good, 'record')}")
        return 0
    try:
        records = quarn.iter_records(path, _format_arg(args), **_options(args))
    except FILE_ERRORS as exc:
        _fail(_file_message(path, exc))
        return None
    good = bad = 0
    # A bar cannot show steps finer than a per mille; updating it for every small record
    # would cost more than parsing it.
    step = max(records.total_bytes // 1000, 1)
    mark = step
    with _Progress(records.total_bytes, path, wanted=args.progress, delay=0.0) as progress:
        while True:
            try:
                for _ in records:
                    good += 1
                    if records.bytes_read >= mark:
                        progress.update(records.bytes_read)
                        mark = records.bytes_read + step
                break
            except FILE_ERRORS as exc:
                bad += 1
                progress.write(
                    f"{PROG}: {_bad_record_text(path, good + bad, records, exc)}", sys.stderr
                )
                if not args.keep_going or _stops_reading(exc):
                    break
    if bad == 0:
        print(f"{path}: ok, {_plural(good, 'record')}")
    elif args.keep_going:
        print(f"{path}: {bad} bad of {_plural(good + bad, 'record')}")
    return bad


def _run_validate(args: argparse.Namespace) -> int:
    results = [_validate_file(path, args) for path in args.files]
    bad = sum(n for n in results if n is not None)
    unreadable = results.count(None)
    if args.keep_going and len(args.files) > 1:
        total = f"{_plural(bad, 'bad record')} in {len(args.files)} files"
        if unreadable:
            total += f"; {_plural(unreadable, 'file')} could not be opened"
        print(total)
    return EXIT_BAD_DATA if bad or unreadable else EXIT_OK


class _Terminated(BaseException):
    """SIGTERM, raised where the conversion stands so that its temporary file goes."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


def _usage(command: str, message: str) -> int:
    print(f"{PROG} {command}: error: {message} (see '{PROG} {command} --help')", file=sys.stderr)
    return EXIT_USAGE


def _read_schema(text: str) -> Any:
    """--schema: inline JSON, or the name of a file that holds it."""
    if text.lstrip().startswith("{"):
        return json.loads(text)
    with open(text, "rb") as f:
        return json.load(f)


class _FieldLines:
    """The chunks of JSON Lines of iter_records(fields=) records, with the counters of the
    native writer of whole records."""

    def __init__(self, records: quarn.RecordIterator) -> None:
        self._records = records
        self.records = 0

    @property
    def bytes_read(self) -> int:
        return self._records.bytes_read

    @property
    def total_bytes(self) -> int:
        return self._records.total_bytes

    def __iter__(self) -> Any:
        while True:
            batch: list[Any] = []
            try:
                batch.extend(itertools.islice(self._records, HEAD_BATCH))
            except FILE_ERRORS:
                # The records before the bad one are written first.
                if batch:
                    self.records += len(batch)
                    yield _json_lines(batch)
                raise
            if not batch:
                return
            self.records += len(batch)
            yield _json_lines(batch)


def _first_bad_record(path: str, args: argparse.Namespace) -> str | None:
    """validate's report of the first bad record of `path`, or None when every record is
    good (or the file cannot be read again)."""
    try:
        records = quarn.iter_records(path, _format_arg(args), **_options(args))
    except FILE_ERRORS:
        return None
    good = 0
    try:
        for _ in records:
            good += 1
    except FILE_ERRORS as exc:
        return _bad_record_text(path, good + 1, records, exc)
    return None


def _arrow_read_failure(args: argparse.Namespace, exc: Exception) -> str:
    # The Arrow reader's errors do not say which record failed, nor how far the file was
    # read; a bad record is reported as validate reports it, from a second reading where
    # the source can be read again. Anything else (a value its column cannot hold) is the
    # reader's own error.
    path: str = args.source
    if path != "-" and os.path.isfile(path):
        found = _first_bad_record(path, args)
        if found is not None:
            return found
    return _file_message(path, exc)


def _convert_lines(args: argparse.Namespace, fields: list[str] | None) -> int:
    src: str = args.source
    dst: str = args.destination
    try:
        if fields:
            chunks: Any = _FieldLines(
                quarn.iter_records(src, _format_arg(args), fields=fields, **_options(args))
            )
        else:
            chunks = quarn._native.json_lines(
                src, _format_arg(args), args.records, (_options(args)["compression"], None)
            )
    except FILE_ERRORS as exc:
        return _fail(_file_message(src, exc))
    to_stdout = dst == "-"
    # Lines printed to the same terminal would interleave with the bar.
    wanted = args.progress and not (to_stdout and sys.stdout.isatty())
    with _Progress(chunks.total_bytes, src, wanted=wanted, delay=QUICK_WORK_DELAY) as progress:

        def on_chunk() -> None:
            progress.update(chunks.bytes_read)

        try:
            if to_stdout:
                _convert.write_chunks(chunks, sys.stdout.buffer, on_chunk)
            else:
                with _convert.Replacement(dst) as target:
                    with open(target.path, "wb") as out:
                        _convert.write_chunks(chunks, out, on_chunk)
                    target.commit()
        except _convert.ReadError as exc:
            if to_stdout:
                sys.stdout.buffer.flush()
            return _fail(
                f"{src}: record {chunks.records + 1}, read up to byte {chunks.bytes_read}: "
                f"{_message(exc.cause)}"
            )
        except OSError as exc:
            if to_stdout:
                raise  # reported as every command's output is
            return _fail(f"cannot write {dst}: {exc.strerror or exc}")
    return EXIT_OK


def _convert_arrow(args: argparse.Namespace, to: str, fields: list[str] | None, schema: Any) -> int:
    src: str = args.source
    dst: str = args.destination
    try:
        _convert.pyarrow_modules()
    except _convert.MissingPyarrow as exc:
        return _fail(str(exc))
    options: dict[str, Any] = {
        **_options(args),
        "fields": fields,
        "schema": schema,
        "jobs": args.jobs,
        "progress": args.progress and sys.stderr.isatty() and _can_show_bars(),
    }
    try:
        reader = quarn.read_arrow(src, _format_arg(args), **options)
    except FILE_ERRORS as exc:
        return _fail(_file_message(src, exc))
    try:
        if dst == "-":
            _convert.write_ipc(reader, sys.stdout.buffer, stream=True)
        else:
            with _convert.Replacement(dst) as target:
                if to == "parquet":
                    _convert.write_parquet(reader, target.path)
                else:
                    _convert.write_ipc(reader, target.path)
                target.commit()
    except _convert.ReadError as exc:
        return _fail(_arrow_read_failure(args, exc.cause))
    except OSError as exc:
        if dst == "-":
            raise
        return _fail(f"cannot write {dst}: {exc.strerror or exc}")
    except _convert.pyarrow_modules()[0].ArrowException as exc:
        # What the writer cannot store (a type its format lacks).
        return _fail(f"cannot write {dst}: {exc}")
    return EXIT_OK


def _run_convert(args: argparse.Namespace) -> int:
    dst: str = args.destination
    to: str | None = args.to or (None if dst == "-" else _convert.format_of(dst))
    if to is None:
        if dst == "-":
            return _usage("convert", "name the format of standard output with --to")
        return _usage(
            "convert",
            f"cannot tell the output format from {dst!r}: name it with --to "
            + "|".join(_convert.FORMATS),
        )
    if dst == "-" and to == "parquet":
        return _usage("convert", "Parquet cannot be written to standard output (it needs a file)")
    if to == "jsonl" and args.schema is not None:
        return _usage("convert", "--schema applies to Parquet and Arrow output")
    if args.schema is not None and args.fields:
        return _usage("convert", "give --fields or --schema, not both (a schema names its columns)")
    schema = None
    if args.schema is not None:
        try:
            schema = _read_schema(args.schema)
        except json.JSONDecodeError as exc:
            return _usage("convert", f"--schema is not JSON: {exc}")
        except OSError as exc:
            return _fail(f"cannot read {args.schema}: {exc.strerror or exc}")
    fields = [f for group in args.fields for f in group] if args.fields else None
    installed = True
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: SIGTERM is left as it is
        installed = False
    try:
        if to == "jsonl":
            return _convert_lines(args, fields)
        return _convert_arrow(args, to, fields, schema)
    except _Terminated:
        return EXIT_TERMINATED
    finally:
        if installed:
            signal.signal(signal.SIGTERM, previous)


def _is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def _reopen_closed_streams() -> None:
    """Gives standard output and error a descriptor again when they were closed before the
    start (``quarn head f >&-``), where the interpreter leaves them None.

    /dev/null takes the number: read-only for standard output, so that writing the output
    fails as on the closed descriptor (EBADF) and is reported; writable for standard error,
    whose messages vanish as they would have, while the exit status still tells the result.
    Neither number is then free for a file the command opens.
    """
    for fd, name, flags in ((1, "stdout", os.O_RDONLY), (2, "stderr", os.O_WRONLY)):
        if getattr(sys, name) is not None or _is_open(fd):
            continue
        null = os.open(os.devnull, flags)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
        setattr(sys, name, open(fd, "w", closefd=False))  # noqa: SIM115 - the process's own


def _silence_stdout() -> None:
    # The reader went away (`quarn head big.jsonl | head -1`); point stdout at /dev/null so
    # the interpreter's final flush does not fail a second time.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with `argv` (default: ``sys.argv[1:]``) and returns the exit status."""
    _reopen_closed_streams()
    args = _build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        status = run(args)
        # Flushed here, a closed pipe is handled below rather than at interpreter exit.
        sys.stdout.flush()
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:
        # What could not be written is dropped: the interpreter's final flush would fail
        # again and report it as an ignored exception.
        _silence_stdout()
        return _fail(f"cannot write output: {exc.strerror or exc}")
    return status
