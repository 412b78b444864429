"""Snapshots behind URLs: ``s3://bucket/key`` and ``http://`` / ``https://``
(presigned URLs included), read with parallel ranged requests that are
checked and retried on the way. A URL is also a source for vesk.named,
vesk.torch and the command line wherever they take a path.

S3 settings come from the environment as the standard tools read them
(AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION /
AWS_DEFAULT_REGION, AWS_ENDPOINT_URL_S3 / AWS_ENDPOINT_URL, AWS_PROFILE with
the shared credentials and config files, AWS_CA_BUNDLE); without credentials
requests go unsigned. Tunables: VESK_REMOTE_CONNECTIONS, VESK_REMOTE_RANGE_MB,
VESK_REMOTE_TIMEOUT_S, VESK_REMOTE_RETRIES.
"""

from __future__ import annotations

from typing import Any, Sequence

from . import vesk as _native

__all__ = ["is_url", "restore", "stat", "read"]

_SCHEMES = ("s3://", "http://", "https://")


def is_url(text: Any) -> bool:
    """True for a str that names a snapshot by s3://, http:// or https:// URL."""
    return isinstance(text, str) and text[:8].lower().startswith(_SCHEMES)


def restore(url: str, regions: Sequence[tuple[str, int, int, int]], *, verify: bool = True) -> dict:
    """Restore the snapshot at `url` into device regions, as
    vesk.restore_from_file_pipelined does for a path: the same region
    tuples, statistics and errors. ``verify=False`` skips the region
    checksums; the transfer's own checks (length, ETag, ranges) stay."""
    return _native._remote_restore(url, regions, verify=verify)


def stat(url: str) -> dict:
    """The object's name in messages (the URL without its query string),
    its length and its ETag (None where the server sends none)."""
    label, length, etag = _native._remote_stat(url)
    return {"url": label, "length": length, "etag": etag}


def read(url: str, offset: int, size: int) -> bytes:
    """Exactly `size` bytes of the object from `offset`, or an error."""
    return _native._remote_read(url, offset, size)

