"""The operator's tools: inspect and verify snapshots, benchmark the paths."""

from __future__ import annotations

import argparse
import json
import mmap
import os
import sys
from typing import Any

KIND_NAMES = {0: "weights", 1: "kv_live_block", 2: "metadata"}
HEADER_SIZE = 4096
ENTRY_SIZE = 32
# Files above this size show progress while verified (when stderr is a terminal).
PROGRESS_THRESHOLD = 256 << 20
VERIFY_PIECE = 64 << 20


def human_bytes(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{int(value)} B" if unit == "B" else f"{value:.2f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def parse_size(text: str) -> int:
    """'4G', '64M', '512K' or a plain byte count."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    if t and t[-1] in units:
        return int(float(t[:-1]) * units[t[-1]])
    return int(t)


def _native():
    from vesk import vesk as native  # the extension module itself

    return native


def commit_text(raw: bytes) -> str:
    if raw == bytes(len(raw)):
        return "(none)"
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError:
        return raw.hex()
    return text if text.isprintable() else raw.hex()


def read_layout(path: str) -> dict[str, Any]:
    """Header and table as the module reads them; raises RuntimeError."""
    prelude = _native()._read_prelude(path)
    regions = []
    payload = 0
    layout_end = HEADER_SIZE + ENTRY_SIZE * len(prelude["regions"])
    for index, (kind, logical_id, size, offset, crc) in enumerate(prelude["regions"]):
        regions.append(
            {
                "index": index,
                "kind": KIND_NAMES.get(kind, str(kind)),
                "logical_id": logical_id,
                "size": size,
                "file_offset": offset,
                "crc32c": f"0x{crc:08x}",
                "crc32c_value": crc,
            }
        )
        payload += size
        layout_end = max(layout_end, offset + size)
    return {
        "path": path,
        "format_version": prelude["version"],
        "vllm_commit": commit_text(prelude["vllm_commit"]),
        "num_regions": prelude["num_regions"],
        "region_table_offset": prelude["region_table_offset"],
        "total_payload": payload,
        "file_size": prelude["file_size"],
        "layout_size": layout_end,
        "length_matches_layout": prelude["file_size"] == layout_end,
        "regions": regions,
    }


def cmd_inspect(args: argparse.Namespace) -> int:
    try:
        info = read_layout(args.file)
    except RuntimeError as e:
        print(f"vesk inspect: {args.file}: {e}", file=sys.stderr)
        return 2
    if args.json:
        for r in info["regions"]:
            del r["crc32c_value"]
        print(json.dumps(info, indent=2))
        return 0
    if info["length_matches_layout"]:
        length_note = "matches the layout"
    elif info["file_size"] < info["layout_size"]:
        length_note = f"TRUNCATED: the layout needs {info['layout_size']} bytes"
    else:
        length_note = f"{info['file_size'] - info['layout_size']} bytes beyond the layout"
    print(f"snapshot        {info['path']}")
    print(f"format version  {info['format_version']}")
    print(f"vllm commit     {info['vllm_commit']}")
    print(f"regions         {info['num_regions']}")
    print(f"table offset    {info['region_table_offset']}")
    print(f"total payload   {human_bytes(info['total_payload'])} ({info['total_payload']} bytes)")
    print(f"file length     {info['file_size']} bytes ({length_note})")
    if info["regions"]:
        print()
        print(f"{'#':>5}  {'kind':<13} {'id':>10}  {'size':>12} {'bytes':>14}  {'offset':>14}  crc32c")
        for r in info["regions"]:
            print(
                f"{r['index']:>5}  {r['kind']:<13} {r['logical_id']:>10}  {human_bytes(r['size']):>12} "
                f"{r['size']:>14}  {r['file_offset']:>14}  {r['crc32c']}"
            )
    return 0


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
    try:
        info = read_layout(args.file)
    except RuntimeError as e:
        print(f"vesk verify: {args.file}: {e}", file=sys.stderr)
        return 2
    file_size = info["file_size"]
    for r in info["regions"]:
        end = r["file_offset"] + r["size"]
        if end > file_size:
            print(
                f"vesk verify: {args.file}: vesk runtime error: region payload out of bounds: "
                f"file_size={file_size}, payload_end={end}",
                file=sys.stderr,
            )
            return 2
    crc32c = _native()._crc32c
    checked = [r for r in info["regions"] if r["crc32c_value"] != 0]
    total = sum(r["size"] for r in checked)
    progress = Progress("verifying", total, sys.stderr.isatty() and file_size >= PROGRESS_THRESHOLD)
    mismatches = 0
    try:
        with open(args.file, "rb") as f:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
                view = memoryview(mm)
                try:
                    for r in checked:
                        crc, pos, end = 0, r["file_offset"], r["file_offset"] + r["size"]
                        while pos < end:
                            step = min(VERIFY_PIECE, end - pos)
                            crc = crc32c(view[pos : pos + step], crc)
                            pos += step
                            progress.advance(step)
                        if crc != r["crc32c_value"]:
                            mismatches += 1
                            progress.interrupt()
                            print(
                                f"MISMATCH region {r['index']} (kind={r['kind']}, logical_id={r['logical_id']}): "
                                f"recorded {r['crc32c']}, computed 0x{crc:08x}"
                            )
                finally:
                    view.release()
    except OSError as e:
        progress.close()
        print(f"vesk verify: {args.file}: {e}", file=sys.stderr)
        return 2
    progress.close()
    unrecorded = len(info["regions"]) - len(checked)
    note = f" ({unrecorded} without a recorded checksum)" if unrecorded else ""
    if mismatches:
        print(f"{args.file}: {mismatches} of {len(checked)} checked regions do not match{note}")
        return 1
    print(f"{args.file}: OK, {len(checked)} regions verified, {human_bytes(total)}{note}")
    return 0


def cmd_bench(args: argparse.Namespace) -> int:
    from vesk import _bench

    return _bench.run(args)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m vesk", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("inspect", help="print a snapshot's header and region table")
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(func=cmd_inspect)

    p = sub.add_parser("verify", help="recompute every region's CRC-32C on the host")
    p.add_argument("file")
    p.set_defaults(func=cmd_verify)

    p = sub.add_parser("bench", help="freeze and restore by every path, beside this machine's limits")
    p.add_argument("--size", type=parse_size, default=parse_size("4G"), help="total bytes (e.g. 4G, 64M)")
    p.add_argument("--regions", type=int, default=64, help="number of regions")
    p.add_argument("--dir", default=os.getcwd(), help="directory for the snapshot file")
    p.add_argument("--json", action="store_true", help="print the results as one JSON object")
    p.set_defaults(func=cmd_bench)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return int(args.func(args))
