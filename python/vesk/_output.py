"""What the command line writes, and how it fails to.

Human output shows names and messages with every character a terminal would
act on escaped; JSON output is valid UTF-8 whatever the file names hold; a
JSON document is written whole or not at all, whatever fails or Ctrl-C
interrupts; and a failed write of standard output (a full disk, a closed pipe)
ends the command without a traceback.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
from collections.abc import Iterator
from typing import Any, TextIO

_NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a file name that is not UTF-8
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return _NAMED_ESCAPES.get(ch, f"\\x{code:02x}")
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text: str) -> str:
    """`text` for a terminal: control characters, other characters that
    cannot be shown and the bytes of a name that is not UTF-8 escaped, so
    that a crafted name cannot move the cursor or rewrite the screen."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else _escape(ch) for ch in text)


def _without_surrogates(value: Any) -> Any:
    if isinstance(value, str):
        return "".join(_escape(ch) if 0xD800 <= ord(ch) <= 0xDFFF else ch for ch in value)
    if isinstance(value, dict):
        return {_without_surrogates(k): _without_surrogates(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_without_surrogates(v) for v in value]
    return value


def json_text(value: Any, **options: Any) -> str:
    """JSON of `value` that decodes to valid Unicode: a file name that is not
    UTF-8 shows its odd bytes as the text \\xNN rather than as lone surrogates."""
    text = json.dumps(value, **options)
    # Surrogates only show as \ud... escapes (the output is ASCII).
    return text if "\\ud" not in text else json.dumps(_without_surrogates(value), **options)


def json_batch(rows: str) -> str:
    """Rows already written as JSON objects joined by ",\\n    ", made valid
    Unicode as json_text makes them (only when a lone surrogate is there)."""
    if "\\ud" not in rows:
        return rows
    return ",\n    ".join(json_text(r) for r in json.loads("[" + rows + "]"))


class OutputFailed(Exception):
    """Standard output could not be written; `error` says why."""

    def __init__(self, error: OSError):
        super().__init__(str(error))
        self.error = error


class _CheckedStream:
    """Standard output whose write failures are told apart from every other
    failure of the command (an unreadable snapshot is an OSError too)."""

    def __init__(self, stream: TextIO):
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except OSError as e:
            raise OutputFailed(e) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as e:
            raise OutputFailed(e) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class Documents:
    """Whether a JSON document was begun on standard output (only a second
    Ctrl-C leaves one unfinished), so that an error is not written as a
    second document after it."""

    begun = False


@contextlib.contextmanager
def checked_stdout() -> Iterator[None]:
    original = sys.stdout
    sys.stdout = _CheckedStream(original)  # type: ignore[assignment]
    try:
        try:
            yield
        except SystemExit:  # --help, --version
            sys.stdout.flush()
            raise
        sys.stdout.flush()
    finally:
        sys.stdout = original


def discard_stdout() -> None:
    """After a failed write: what is still buffered goes nowhere, so that the
    interpreter's own flush at exit does not fail again."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


@contextlib.contextmanager
def _ctrl_c_deferred() -> Iterator[None]:
    """A first Ctrl-C waits for the end of the block and then interrupts; a
    second one stops at once, as a way out of an output nobody reads."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    pending: list[int] = []

    def defer(signum: int, frame: object) -> None:
        if pending:
            raise KeyboardInterrupt
        pending.append(signum)

    previous = signal.signal(signal.SIGINT, defer)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if pending:
        raise KeyboardInterrupt


class _Document:
    """The text of a document on its way to the spool, as UTF-8 bytes (a
    binary spool is several times faster than a text one)."""

    def __init__(self, spool: Any):
        self._spool = spool

    def write(self, text: str) -> None:
        self._spool.write(text.encode())


def _copy_out(spool: Any) -> None:
    stdout = sys.stdout
    stdout.flush()
    buffer = getattr(stdout, "buffer", None)
    try:
        if buffer is None:  # a text-only stream stands in for standard output
            stdout.write(spool.read().decode())
        else:
            shutil.copyfileobj(spool, buffer, 1 << 20)
            buffer.flush()
    except OSError as e:
        raise OutputFailed(e) from None


@contextlib.contextmanager
def whole_document() -> Iterator[_Document]:
    """A JSON document, written whole or not at all: it is made aside (in
    memory, on disk past 16 MiB), so that a failure or a Ctrl-C while it is
    made leaves standard output empty for the error's own document, and then
    copied out with Ctrl-C deferred until the copy ends."""
    with tempfile.SpooledTemporaryFile(max_size=16 << 20) as spool:
        yield _Document(spool)
        spool.seek(0)
        with _ctrl_c_deferred():
            Documents.begun = True
            _copy_out(spool)


def print_json(value: Any, **options: Any) -> None:
    with whole_document() as doc:
        doc.write(json_text(value, **options) + "\n")
