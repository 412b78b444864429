"""The operator's tools: inspect and verify snapshots, benchmark the paths.

Exit status: 0 success, 1 a damaged snapshot (a checksum mismatch, a
truncated payload) or output that could not be written, 2 anything else (a
usage error, a file that cannot be read or is not a well-formed snapshot, an
unexpected failure), 130 interrupted. With --json every outcome, errors
included, is one JSON object on standard output, whole even when interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from typing import Any

from vesk._output import (Documents, OutputFailed, checked_stdout, discard_stdout, json_batch, json_text, print_json,
                          printable, whole_document)

KIND_NAMES = {0: "weights", 1: "kv_live_block", 2: "metadata"}
MANIFEST_KEY = (2, 0xFFFFFFFF)
HEADER_SIZE = 4096
ENTRY_SIZE = 32
# Files above this size show progress while verified (when stderr is a terminal).
PROGRESS_THRESHOLD = 256 << 20
VERIFY_PIECE = 64 << 20
# Rows of the table printed by default; --all prints every one.
SHOWN_ROWS = 20

EXIT_OK, EXIT_MISMATCH, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_OUTPUT_FAILED = 1


class CliError(Exception):
    """A failure reported as one message (and, with --json, one object)."""

    def __init__(self, kind: str, message: str, usage: str = ""):
        super().__init__(message)
        self.kind, self.usage = kind, usage


def human_bytes(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{int(value)} B" if unit == "B" else f"{value:.2f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def parse_size(text: str) -> int:
    """'4G', '64M', '512K' or a plain byte count; a positive number."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    try:
        value = int(float(t[:-1]) * units[t[-1]]) if t and t[-1] in units else int(t)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 4G, 64M, 4096)") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"the size must be positive: {text!r}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


# The reader's error variants that mean the file is no snapshot at all, as
# opposed to a damaged or newer one.
NOT_A_SNAPSHOT = ("BadMagic", "TooShort")
# A freeze writes under this suffix and renames when complete.
UNPUBLISHED_SUFFIX = ".vesk-incomplete"
UNPUBLISHED_NOTE = ("this is an unpublished temporary file: a freeze still writing it, or one that stopped "
                    "before publishing it")


def reader_error(error: BaseException, size: int | None) -> CliError:
    """A failure of the module's reader as one CliError, by what it is."""
    variant = getattr(error, "vesk_error", None)
    message = str(error)
    eof_in_header = variant == "Io" and getattr(error, "io_kind", None) == "UnexpectedEof" and (size or 0) < HEADER_SIZE
    if variant in NOT_A_SNAPSHOT or eof_in_header:
        return CliError("not_a_snapshot", f"not a vesk snapshot: {message}")
    return CliError("unreadable" if variant == "Io" else "malformed", message)


def duplicate_lines(duplicates: list[dict[str, Any]]) -> list[str]:
    return [f"duplicate key (kind={d['kind']}, logical_id={d['logical_id']}) at entries "
            f"{', '.join(map(str, d['entries']))}: a restore uses entry {d['entries'][-1]}"
            for d in duplicates]


class Layout:
    """A snapshot's header and table as the module's reader gives them
    (columns, not a million tuples), with the rows made on demand; a context
    manager that holds the file open, so that everything shown or checked
    comes from the same file whatever is renamed over the path meanwhile."""

    def __init__(self, path: str):
        from vesk._sources import Source

        size = None
        try:
            self.source = Source(path)
        except (OSError, RuntimeError) as e:
            raise reader_error(e, None) if hasattr(e, "vesk_error") else CliError("unreadable", str(e)) from None
        try:
            try:
                size = os.fstat(self.source.fd).st_size if self.source.fd is not None else None
                prelude = self.source.layout()
            except RuntimeError as e:
                raise reader_error(e, size) from None
            self._load(path, prelude)
        except BaseException:
            self.source.close()
            raise

    def _load(self, path: str, prelude: dict[str, Any]) -> None:
        self.path = shown_name(path)
        self.prelude = prelude
        self.kinds = memoryview(prelude["kinds"]).cast("I")
        self.logical_ids = memoryview(prelude["logical_ids"]).cast("I")
        self.sizes = memoryview(prelude["sizes"]).cast("Q")
        self.offsets = memoryview(prelude["offsets"]).cast("Q")
        self.crcs = memoryview(prelude["crc32cs"]).cast("I")
        self.count = len(self.kinds)
        self.file_size = prelude["file_size"]
        self.total_payload = prelude["total_payload"]
        self.layout_size = prelude["layout_size"]
        self.duplicates = [{"kind": KIND_NAMES.get(k, str(k)), "logical_id": i, "entries": where}
                           for k, i, where in prelude["duplicates"]]
        self.manifest: dict[tuple[int, int], Any] | None = None
        self.manifest_problem: str | None = None
        self.annotations: dict[str, str] | None = None
        try:
            manifest = self.source.manifest_or_none()
        except RuntimeError as e:
            self.manifest_problem = str(e).removeprefix("vesk runtime error: ")
            return
        if manifest is not None:
            from vesk import named

            self.manifest = {(named.KIND_CODES[m.kind], m.logical_id): m for m in manifest.entries}
            self.annotations = manifest.annotations

    def __enter__(self) -> Layout:
        return self

    def __exit__(self, *exc: object) -> None:
        self.source.close()

    @property
    def unpublished(self) -> bool:
        return self.path.endswith(UNPUBLISHED_SUFFIX)

    def row(self, index: int) -> dict[str, Any]:
        kind, logical_id = self.kinds[index], self.logical_ids[index]
        r: dict[str, Any] = {
            "index": index,
            "kind": KIND_NAMES.get(kind, str(kind)),
            "logical_id": logical_id,
            "size": self.sizes[index],
            "file_offset": self.offsets[index],
            "crc32c": f"0x{self.crcs[index]:08x}",
        }
        if self.manifest is not None:
            if (kind, logical_id) == MANIFEST_KEY:
                r.update(name=None, dtype=None, shape=None, manifest=True)
            else:
                m = self.manifest.get((kind, logical_id))
                r.update(name=m.name if m else None, dtype=m.dtype if m else None,
                         shape=list(m.shape) if m else None)
        return r

    def rows(self) -> Iterator[dict[str, Any]]:
        return (self.row(i) for i in range(self.count))

    def json_rows(self, batch: int = 1 << 16) -> Iterator[str]:
        """The rows as json.dumps writes them, joined a batch at a time and
        made without a dict per row: a million rows cost a second, not ten."""
        kinds = {k: json.dumps(v) for k, v in KIND_NAMES.items()}
        tails: dict[tuple[int, int], str] = {}
        if self.manifest is not None:
            tails = {key: f', "name": {json.dumps(m.name)}, "dtype": {json.dumps(m.dtype)}, '
                          f'"shape": {json.dumps(list(m.shape))}}}' for key, m in self.manifest.items()}
            tails[MANIFEST_KEY] = ', "name": null, "dtype": null, "shape": null, "manifest": true}'
        plain = ', "name": null, "dtype": null, "shape": null}' if self.manifest is not None else "}"
        for start in range(0, self.count, batch):
            end = min(start + batch, self.count)
            columns = (range(start, end), self.kinds[start:end].tolist(), self.logical_ids[start:end].tolist(),
                       self.sizes[start:end].tolist(), self.offsets[start:end].tolist(), self.crcs[start:end].tolist())
            yield ",\n    ".join(
                f'{{"index": {i}, "kind": {kinds.get(k) or json.dumps(str(k))}, "logical_id": {n}, "size": {size}, '
                f'"file_offset": {offset}, "crc32c": "0x{crc:08x}"' + (tails.get((k, n), plain) if tails else plain)
                for i, k, n, size, offset, crc in zip(*columns))

    def summary(self) -> dict[str, Any]:
        from vesk._sources import commit_text

        return {
            "path": self.path,
            "format_version": self.prelude["version"],
            "vllm_commit": commit_text(self.prelude["vllm_commit"]),
            "num_regions": self.prelude["num_regions"],
            "region_table_offset": self.prelude["region_table_offset"],
            "total_payload": self.total_payload,
            "file_size": self.file_size,
            "layout_size": self.layout_size,
            "length_matches_layout": self.file_size == self.layout_size,
            "truncated": self.file_size < self.layout_size,
            "unpublished": self.unpublished,
            "manifest": self.manifest is not None,
            "manifest_error": self.manifest_problem,
            "annotations": self.annotations,
            "duplicates": self.duplicates,
        }


def write_json_stream(head: dict[str, Any], rows: Iterator[dict[str, Any] | str]) -> None:
    """One JSON object whose "regions" list is written row by row, so that a
    table of millions of entries never sits in memory as text."""
    with whole_document() as out:
        text = json_text(head, indent=2)
        out.write(text[:-2] + ',\n  "regions": [')
        for i, r in enumerate(rows):
            out.write(("\n    " if i == 0 else ",\n    ") + (json_batch(r) if isinstance(r, str) else json_text(r)))
        out.write("\n  ]\n}\n")


def cmd_inspect(args: argparse.Namespace) -> int:
    with Layout(args.file) as info:
        return print_inspect(args, info)


def print_inspect(args: argparse.Namespace, info: Layout) -> int:
    # A payload the file does not hold is damage, as a checksum mismatch is.
    status = EXIT_MISMATCH if info.file_size < info.layout_size else EXIT_OK
    if args.json:
        write_json_stream(info.summary(), info.json_rows())
        return status
    s = info.summary()
    if s["length_matches_layout"]:
        length_note = "matches the layout"
    elif s["file_size"] < s["layout_size"]:
        length_note = f"TRUNCATED: the layout needs {s['layout_size']} bytes"
    else:
        length_note = f"{s['file_size'] - s['layout_size']} bytes beyond the layout"
    print(f"snapshot        {printable(s['path'])}")
    print(f"format version  {s['format_version']}")
    print(f"vllm commit     {s['vllm_commit'] or '(none)'}")
    print(f"regions         {s['num_regions']}")
    print(f"table offset    {s['region_table_offset']}")
    print(f"total payload   {human_bytes(s['total_payload'])} ({s['total_payload']} bytes)")
    print(f"file length     {s['file_size']} bytes ({length_note})")
    if info.unpublished:
        print(f"note            {UNPUBLISHED_NOTE}")
    if info.manifest is not None:
        print(f"manifest        {len(info.manifest)} named regions")
        for key, value in sorted((info.annotations or {}).items()):
            print(f"annotation      {printable(key)} = {printable(value)}")
    elif info.manifest_problem:
        print(f"manifest        UNUSABLE: {printable(info.manifest_problem)}")
    for line in duplicate_lines(info.duplicates):
        print(line)
    count = info.count
    shown = count if args.all else min(count, SHOWN_ROWS)
    if shown:
        print()
        named = info.manifest is not None
        extra = f"{'crc32c':<10}    {'dtype':<9} {'shape':<16} name" if named else "crc32c"
        print(f"{'#':>5}  {'kind':<13} {'id':>10}  {'size':>12} {'bytes':>14}  {'offset':>14}  {extra}")
        for i in range(shown):
            r = info.row(i)
            line = (f"{r['index']:>5}  {r['kind']:<13} {r['logical_id']:>10}  {human_bytes(r['size']):>12} "
                    f"{r['size']:>14}  {r['file_offset']:>14}  {r['crc32c']}")
            if r.get("manifest"):
                line += "    (manifest)"
            elif named:
                shape = "-" if r["shape"] is None else "[" + ", ".join(map(str, r["shape"])) + "]"
                name = printable(r["name"]) if r["name"] is not None else "-"
                line += f"    {printable(r['dtype'] or '-'):<9} {shape:<16} {name}"
            print(line)
    if shown < count:
        print(f"... {count - shown} more regions (--all shows every one, --json lists them all)")
    if status != EXIT_OK:
        print(f"{printable(s['path'])}: the file is truncated: its regions need {s['layout_size']} bytes, it holds "
              f"{s['file_size']}")
    return status


class Progress:
    """A one-line progress meter on stderr, shown only for a terminal."""

    def __init__(self, label: str, total: int, enabled: bool) -> None:
        self.label, self.total, self.enabled, self.done = label, total, enabled, 0

    def advance(self, n: int) -> None:
        self.done += n
        if self.enabled and self.total:
            pct = 100.0 * self.done / self.total
            sys.stderr.write(f"\r{self.label}: {pct:5.1f}% of {human_bytes(self.total)}")
            sys.stderr.flush()

    def interrupt(self) -> None:
        """Ends the meter's line so that a report can follow on its own line."""
        if self.enabled and self.done:
            sys.stderr.write("\n")

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def cmd_verify(args: argparse.Namespace) -> int:
    with Layout(args.file) as info:
        return check_layout(args, info)


def check_layout(args: argparse.Namespace, info: Layout) -> int:
    total = info.file_size
    progress = Progress("verifying", total, not args.json and sys.stderr.isatty() and total >= PROGRESS_THRESHOLD)
    try:
        report = info.source.verify(progress.advance)
    except RuntimeError as e:
        progress.interrupt()
        raise reader_error(e, info.file_size) from None
    finally:
        progress.close()
    mismatches = []
    for index, recorded, computed in report["mismatches"]:
        kind = KIND_NAMES.get(info.kinds[index], str(info.kinds[index]))
        mismatches.append({"index": index, "kind": kind, "logical_id": info.logical_ids[index],
                           "recorded": f"0x{recorded:08x}", "computed": f"0x{computed:08x}"})
    checked, checked_bytes = report["regions_checked"], report["bytes_checked"]
    unrecorded = info.count - checked
    if args.json:
        doc = {"path": shown_name(args.file), "ok": not mismatches, "regions_checked": checked,
               "bytes_checked": checked_bytes,
               "without_checksum": unrecorded, "mismatches": mismatches, "duplicates": info.duplicates,
               "manifest": info.manifest is not None, "unpublished": info.unpublished}
        if info.unpublished:
            doc["note"] = UNPUBLISHED_NOTE
        print_json(doc, indent=2)
        return EXIT_MISMATCH if mismatches else EXIT_OK
    for m in mismatches:
        print(f"MISMATCH region {m['index']} (kind={m['kind']}, logical_id={m['logical_id']}): "
              f"recorded {m['recorded']}, computed {m['computed']}")
    for line in duplicate_lines(info.duplicates):
        print(line)
    if info.unpublished:
        print(f"{printable(shown_name(args.file))}: note: {UNPUBLISHED_NOTE}")
    note = f" ({unrecorded} without a recorded checksum)" if unrecorded else ""
    if mismatches:
        print(f"{printable(shown_name(args.file))}: {len(mismatches)} of {checked} checked regions do not match{note}")
        return EXIT_MISMATCH
    print(f"{printable(shown_name(args.file))}: OK, {checked} regions verified, {human_bytes(checked_bytes)}{note}")
    return EXIT_OK


def cmd_bench(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.dir):
        raise CliError("usage", f"--dir {args.dir}: not an existing directory")
    if args.size < args.regions:
        raise CliError("usage", f"--size {args.size} is below one byte per region for {args.regions} regions")
    from vesk import vesk as native

    try:
        native._runtime_path()  # bound here, at the first need of the device
    except ImportError as e:
        raise CliError("no_runtime", str(e)) from None
    from vesk import _bench

    return _bench.run(args)


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as CliError, so that --json gets them as JSON."""

    def error(self, message: str) -> None:  # type: ignore[override]
        raise CliError("usage", f"{self.prog}: error: {message}", usage=self.format_usage())


def version() -> str:
    from vesk import __version__

    return __version__


def build_parser(prog: str = "python -m vesk") -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"vesk {version()}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    p = sub.add_parser("inspect", help="print a snapshot's header and region table")
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print one JSON object listing every region")
    p.add_argument("--all", action="store_true", help=f"print every region (default: the first {SHOWN_ROWS})")
    p.set_defaults(func=cmd_inspect)

    p = sub.add_parser("verify", help="recompute every region's CRC-32C on the host")
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print the result as one JSON object")
    p.set_defaults(func=cmd_verify)

    p = sub.add_parser("bench", help="freeze and restore by every path, beside this machine's limits")
    p.add_argument("--size", type=parse_size, default=parse_size("4G"), help="total bytes (e.g. 4G, 64M)")
    p.add_argument("--regions", type=positive_int, default=64, help="number of regions")
    p.add_argument("--dir", default=os.getcwd(), help="an existing directory for the snapshot file")
    p.add_argument("--json", action="store_true", help="print the results as one JSON object")
    p.set_defaults(func=cmd_bench)
    return parser


def notes_of(error: BaseException) -> list[str]:
    """The notes (add_note) of an exception and of those it was raised from
    or while handling: which step failed, what a status usually means."""
    notes: list[str] = []
    seen: set[int] = set()
    e: BaseException | None = error
    while e is not None and id(e) not in seen:
        seen.add(id(e))
        notes += [str(n) for n in getattr(e, "__notes__", ()) if str(n) not in notes]
        e = e.__cause__ or e.__context__
    return notes


def shown_name(path: str) -> str:
    """The name output gives a snapshot: a URL without its query string and
    user info, which may hold a signature or a password."""
    import vesk.remote

    if not vesk.remote.is_url(path):
        return path
    scheme, _, rest = path.split("?", 1)[0].split("#", 1)[0].partition("://")
    host, slash, tail = rest.partition("/")
    return f"{scheme}://{host.rpartition('@')[2]}{slash}{tail}"


def _report(error: CliError, args_json: bool, command: str | None, path: str | None,
            notes: list[str] | None = None) -> None:
    notes = notes_of(error) if notes is None else notes
    # Once the output holds a document, an error is told on stderr instead.
    args_json = args_json and not Documents.begun
    if args_json:
        body: dict[str, Any] = {"kind": error.kind, "message": str(error)}
        if notes:
            body["notes"] = notes
        doc: dict[str, Any] = {"error": body}
        if path is not None:
            doc["path"] = shown_name(path)
        print_json(doc)
    elif error.usage:
        print(f"{error.usage}{printable(str(error))}", file=sys.stderr)
    else:
        where = f"vesk {command}: " if command else "vesk: "
        print(f"{where}{printable(path) + ': ' if path else ''}{printable(str(error))}", file=sys.stderr)
    if not args_json:
        for note in notes:
            print(f"  {printable(note)}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    # A name that is not valid UTF-8 reaches us with surrogate escapes; print
    # it escaped rather than fail on a strict terminal encoding.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    argv = sys.argv[1:] if argv is None else argv
    wants_json = "--json" in argv
    Documents.begun = False
    try:
        with checked_stdout():
            return _run(argv, wants_json)
    except OutputFailed as e:
        discard_stdout()
        # The reader went away (`| head`): nothing more to say to it.
        if not isinstance(e.error, BrokenPipeError):
            print(f"vesk: cannot write the output: {e.error.strerror or e.error}", file=sys.stderr)
        return EXIT_OUTPUT_FAILED


def _run(argv: list[str], wants_json: bool) -> int:
    prog = "vesk" if os.path.basename(sys.argv[0] or "") == "vesk" else "python -m vesk"
    command = path = None
    try:
        args = build_parser(prog).parse_args(argv)
        command, path = args.command, getattr(args, "file", None)
        return int(args.func(args))
    except CliError as e:
        _report(e, wants_json, command, path)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("vesk: interrupted", file=sys.stderr)
        if wants_json and not Documents.begun:
            print_json({"error": {"kind": "interrupted", "message": "interrupted"}})
        return EXIT_INTERRUPTED
    except (SystemExit, OutputFailed):
        raise
    except BaseException as e:  # noqa: BLE001 - vesk.InternalError derives from BaseException
        _report(CliError("internal", f"unexpected {type(e).__name__}: {e}"), wants_json, command, path, notes_of(e))
        return EXIT_ERROR
