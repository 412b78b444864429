"""Where a named restore or a look inside reads from: a file (opened once,
so that every byte comes from the same file whatever renames happen
meanwhile), a PinnedMmap or a buffer. Every decoding goes to the C++ reader;
this only keeps the source open and hands it over."""

from __future__ import annotations

import os
import stat
from typing import Any

from vesk import vesk as _native
from vesk._manifest import Manifest, ManifestEntry, NoManifest, manifest_of


class Source:
    def __init__(self, source: Any):
        self.fd: int | None = None
        self.pinned = isinstance(source, _native.PinnedMmap)
        self.label: str | None = None
        self.native: Any = source
        self.url = isinstance(source, str) and source[:8].lower().startswith(("s3://", "http://", "https://"))
        if self.url:
            # The module reaches the object at each call and names it without
            # its query string (which may hold a signature): no label here.
            self.path = source
        elif isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            if not isinstance(path, str):
                raise TypeError(f"a snapshot path must be str, got {type(path).__qualname__}")
            self.path = self.label = path
            self._open_file()
        elif not self.pinned:
            # Any buffer, seen as its bytes whatever its item format.
            self.view: memoryview | None = memoryview(source).cast("B")
            self.native = self.view

    def _open_file(self) -> None:
        # Non-blocking, so that a FIFO at the path is refused, not waited on;
        # anything the reader refuses is refused in its words.
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            _native._snapshot_layout(self.path)
            raise
        mode = os.fstat(fd).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISBLK(mode)):
            os.close(fd)
            _native._snapshot_layout(self.path)
            raise RuntimeError(f"vesk runtime error: {self.path}: not a regular file")
        self.fd = fd
        fd_path = f"/proc/self/fd/{fd}"
        self.native = fd_path if os.path.exists(fd_path) else self.path

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        view = getattr(self, "view", None)
        if view is not None:
            view.release()
            self.view = None

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def layout(self) -> dict[str, Any]:
        return _native._snapshot_layout(self.native, self.label)

    def manifest_or_none(self) -> Manifest | None:
        doc = _native._snapshot_manifest(self.native, self.label, ManifestEntry)
        return None if doc is None else manifest_of(doc)

    def manifest(self) -> Manifest:
        manifest = self.manifest_or_none()
        if manifest is None:
            raise NoManifest("the snapshot has no manifest: it was written by the region functions, "
                             "restore it with them")
        return manifest

    def read_region(self, kind: int, logical_id: int) -> bytes:
        return _native._read_region(self.native, kind, logical_id, self.label)

    def verify(self, progress: Any) -> dict[str, Any]:
        """Every recorded checksum recomputed; `progress(bytes)` per piece read."""
        return _native._verify(self.native, progress, self.label)

    def restore(self, mapping: list[tuple[str, int, int, int]], chunk_size_mb: int, direct_io: bool) -> dict:
        import vesk

        if self.url:
            import vesk.remote

            return vesk.remote.restore(self.native, mapping)
        if self.fd is not None:
            return vesk.restore_from_file_pipelined(self.native, mapping, chunk_size_mb, direct_io)
        if self.pinned:
            return vesk.restore_from_pinned_mmap(self.native, mapping)
        return vesk.restore_from_bytes_auto(self.native, mapping, chunk_size_mb)


def commit_text(raw: bytes) -> str | None:
    """The header's commit field as text: None when unset, hex when it is
    not printable ASCII."""
    if raw == bytes(len(raw)):
        return None
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError:
        return raw.hex()
    return text if text.isprintable() else raw.hex()
