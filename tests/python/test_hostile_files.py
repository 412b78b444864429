"""Hand-made hostile snapshots against every restore path.

Headers that lie about the number of regions, payloads past the end of
the data, offsets and sizes whose sum overflows, tables out of order or
overlapping, bad layouts and corrupted payloads. Every path (the file
restore, direct and buffered, and every memory path) must refuse what it
cannot restore exactly, with the module's RuntimeError, before any byte
reaches device memory, whether or not checksums are verified, and must
not allocate in proportion to a lying header.
"""

from __future__ import annotations

import json
import mmap
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vesk
from helpers import KINDS, crc32c, pattern

MiB = 1 << 20
U64 = (1 << 64) - 1
PRELUDE = "vesk runtime error: snapshot parse failed: "
HERE = Path(__file__).resolve().parent


def raw_snapshot(entries, payload=b"", num_regions=None, table_offset=4096, magic=b"VESK", version=2) -> bytes:
    """A snapshot whose header and table say exactly what they are told to.
    entries: (kind, logical_id, size, file_offset, crc)."""
    n = len(entries) if num_regions is None else num_regions
    header = magic + struct.pack("<IQQ", version, n, table_offset) + bytes(40)
    header += bytes(4096 - len(header))
    table = b"".join(struct.pack("<IIQQII", KINDS.get(k, k) if isinstance(k, str) else k, lid, size, off, crc, 0)
                     for k, lid, size, off, crc in entries)
    return header + table + payload


def restore_paths(standin_available: bool):
    """(name, restore(path, data, mapping)) for every way into the restores."""

    def pinned(path, data, mapping):
        # A page-aligned copy, as a real runtime may refuse to register
        # other memory; the point here is the restore, not the registration.
        mm = mmap.mmap(-1, len(data)) if data else None
        if mm is not None:
            mm.write(data)
        p = vesk.PinnedMmap(mm if mm is not None else b"")
        try:
            return vesk.restore_from_pinned_mmap(p, mapping)
        finally:
            del p
            if mm is not None:
                mm.close()

    paths = [
        ("file", lambda path, data, m: vesk.restore_from_file_pipelined(str(path), m, chunk_size_mb=1)),
        ("file_buffered",
         lambda path, data, m: vesk.restore_from_file_pipelined(str(path), m, chunk_size_mb=1, direct_io=False)),
        ("bytes_pipelined", lambda path, data, m: vesk.restore_from_bytes_pipelined(data, m, chunk_size_mb=1)),
        ("zerocopy", lambda path, data, m: vesk.restore_from_bytes_pipelined_zerocopy(data, m)),
        ("pinned_mmap", pinned),
    ]
    if standin_available:
        def staging(path, data, m, lib):
            lib.standin_fail(b"cudaHostRegister", 0, 712)
            try:
                return vesk.restore_from_bytes_auto(data, m, chunk_size_mb=1)
            finally:
                lib.standin_reset()
        paths.append(("auto_staging", staging))
    return paths


@pytest.fixture
def paths(runtime):
    out = []
    for name, fn in restore_paths(runtime.standin):
        if name == "auto_staging":
            out.append((name, lambda p, d, m, fn=fn: fn(p, d, m, runtime.lib)))
        else:
            out.append((name, fn))
    return out


@pytest.fixture(params=["verify", "no_verify"])
def verification(request, monkeypatch):
    if request.param == "no_verify":
        monkeypatch.setenv("VESK_VERIFY", "0")
    else:
        monkeypatch.delenv("VESK_VERIFY", raising=False)
    return request.param


class Targets:
    """Device regions for a mapping, filled with a marker so that any byte
    written by a refused restore shows."""

    def __init__(self, device, sizes):
        self.device = device
        self.sizes = sizes
        # A lying size gets a small real allocation: a copy of the claimed
        # size would run far past it (and the device check refuses it).
        self.ptrs = [device.alloc(s if s <= REAL_MAX else MiB) for s in sizes]
        self.lying = any(s > REAL_MAX for s in sizes)

    def mapping(self, keys):
        return [(k, lid, p, s) for (k, lid), p, s in zip(keys, self.ptrs, self.sizes)]

    def mark(self):
        for p, s in zip(self.ptrs, self.sizes):
            self.device.fill(p, 0xEE, min(s, MiB))

    def untouched(self) -> bool:
        return all(self.device.download(p, min(s, MiB)) == b"\xee" * min(s, MiB) for p, s in zip(self.ptrs, self.sizes))


# Sizes up to this get real allocations of their size; larger ones lie,
# and a region that runs past its allocation is refused before the file is
# looked at.
REAL_MAX = 64 * MiB
PAST_ALLOCATION = "runs past the end of its device allocation"


def refused_everywhere(tmp_path, device, paths, data, keys_sizes, expect):
    """Every path refuses `data` with a message matching expect(path_name)
    and leaves the device regions as they were."""
    snap_path = tmp_path / "hostile.vesk"
    snap_path.write_bytes(data)
    keys = [(k, lid) for k, lid, _ in keys_sizes]
    targets = Targets(device, [s for _, _, s in keys_sizes])
    for name, restore in paths:
        targets.mark()
        with pytest.raises(RuntimeError) as info:
            restore(snap_path, bytearray(data), targets.mapping(keys))
        message = str(info.value)
        assert message.startswith("vesk runtime error: "), (name, message)
        wanted = expect(name) + ((PAST_ALLOCATION,) if targets.lying else ())
        assert any(w in message for w in wanted), f"{name}: {message!r}, expected one of {wanted}"
        assert targets.untouched(), f"{name}: device memory written by a refused restore"


FILE_EOF = "i/o error during snapshot prelude: UnexpectedEof"
MEMORY_BOUNDS = ("region payload out of bounds", "data too short: need byte")


def by_place(file_msgs, memory_msgs):
    return lambda name: file_msgs if name.startswith("file") else memory_msgs


def test_payload_past_the_end(tmp_path, device, paths, verification):
    body = pattern(5000, 1)
    start = 4096 + 32
    data = raw_snapshot([("weights", 0, 5000, start + 100, crc32c(body))], body)
    refused_everywhere(tmp_path, device, paths, data, [("weights", 0, 5000)],
                       by_place((FILE_EOF,), MEMORY_BOUNDS))
    # Starting beyond the end altogether.
    data = raw_snapshot([("weights", 0, 100, 1 << 40, 0x1234)], body)
    refused_everywhere(tmp_path, device, paths, data, [("weights", 0, 100)], by_place((FILE_EOF,), MEMORY_BOUNDS))


def test_size_far_beyond_the_data(tmp_path, device, paths, verification):
    """The table claims a terabyte; the caller maps a region of that size
    (onto a small allocation): nothing may be copied, nothing allocated."""
    data = raw_snapshot([("kv_live_block", 3, 1 << 40, 4096 + 32, 0x1234)], pattern(8192, 2))
    refused_everywhere(tmp_path, device, paths, data, [("kv_live_block", 3, 1 << 40)],
                       by_place((FILE_EOF,), MEMORY_BOUNDS))


@pytest.mark.parametrize("offset,size", [(U64 - 50, 100), (U64 - 99, 100), (1 << 63, 1 << 63), (4128, U64)],
                         ids=["wraps", "ends_at_2_64", "half_plus_half", "size_max"])
def test_offset_plus_size_overflows(tmp_path, device, paths, verification, offset, size):
    data = raw_snapshot([("metadata", 1, size, offset, 0x1234)], pattern(4096, 3))
    overflow = ("snapshot prelude offsets overflow",)
    refused_everywhere(tmp_path, device, paths, data, [("metadata", 1, size)],
                       by_place(overflow + (FILE_EOF,), MEMORY_BOUNDS + overflow))


def test_malformed_preludes(tmp_path, device, paths):
    body = pattern(300, 4)
    good = [("weights", 0, 300, 4096 + 32, crc32c(body))]
    cases = [
        (raw_snapshot(good, body, magic=b"KSEV"), ("header parse failed: bad magic bytes",)),
        (raw_snapshot(good, body, version=3), ("header parse failed: unsupported snapshot version: found 3",)),
        # A table elsewhere than after the header is refused as such on every
        # path, however long the file.
        (raw_snapshot(good, body + bytes(8192), table_offset=8192),
         ("snapshot parse failed: unsupported snapshot layout: region_table_offset = 8192 (expected 4096)",)),
        (raw_snapshot([(7, 0, 300, 4096 + 32, 0)], body), ("region table parse failed: unknown region kind",)),
        # Three entries announced, one present: the table runs into the payload.
        (raw_snapshot(good, b"", num_regions=3), ("snapshot prelude is truncated",)),
        (raw_snapshot(good, body)[:4000], ("UnexpectedEof: ", "data too short for header: 4000 bytes")),
        (b"", ("UnexpectedEof: ", "data too short for header: 0 bytes")),
    ]
    for data, wanted in cases:
        refused_everywhere(tmp_path, device, paths, data, [("weights", 0, 300)], lambda name, w=wanted: w)


def test_corrupted_payload(tmp_path, device, paths):
    """A checksum mismatch is found before any byte of the memory paths
    reaches the device (the file path may already have sent earlier
    chunks, so only its error is checked)."""
    body = bytearray(pattern(3 * MiB, 5))
    data = bytearray(raw_snapshot([("weights", 0, len(body), 4096 + 32, crc32c(bytes(body[:65536])))], bytes(body)))
    # The recorded checksum is the one of a shorter prefix: wrong for the region.
    refused_everywhere(tmp_path, device, [(n, f) for n, f in paths if not n.startswith("file")], bytes(data),
                       [("weights", 0, len(body))], lambda name: ("region checksum mismatch",))
    snap = tmp_path / "c.vesk"
    snap.write_bytes(data)
    target = device.alloc(len(body))
    with pytest.raises(RuntimeError, match="region checksum mismatch: kind=Weights, logical_id=0"):
        vesk.restore_from_file_pipelined(str(snap), [("weights", 0, target, len(body))], chunk_size_mb=1)


def test_out_of_order_and_overlapping_tables_restore_exactly(tmp_path, device, paths, verification):
    """Tables the writer never produces but the format allows: regions
    listed out of file order, sharing bytes, or lying inside the prelude.
    Each region must receive exactly the bytes at its offsets, by every
    path (or be refused; never receive other bytes)."""
    payload = pattern(3 * MiB + 5000, 6)
    base = 4096 + 32 * 4
    spans = [(base + 2 * MiB, MiB + 17),    # listed first, lies last
             (base, MiB + 3),               # the lowest offset, listed second
             (base + MiB, 2 * MiB),         # overlaps both neighbours
             (100, 5000)]                   # inside the header and the table
    full = bytearray(raw_snapshot([], b"", num_regions=4) + bytes(32 * 4) + payload)
    entries = []
    for i, (off, size) in enumerate(spans):
        entries.append((("weights", "kv_live_block", "metadata", "weights")[i], 10 + i, size, off, 0))
    # Checksums over the final bytes, which include the table itself for
    # the region inside the prelude: settle that one with a zero checksum.
    table = b""
    for k, lid, size, off, _ in entries:
        crc = 0 if off < base else crc32c(bytes(full[off:off + size]))
        table += struct.pack("<IIQQII", KINDS[k], lid, size, off, crc, 0)
    full[4096:4096 + len(table)] = table
    data = bytes(full)
    snap_path = tmp_path / "odd.vesk"
    snap_path.write_bytes(data)
    sizes = [size for _, size in spans]
    ptrs = [device.alloc(s) for s in sizes]
    mapping = [(k, lid, p, s) for (k, lid, *_), p, s in zip(entries, ptrs, sizes)]
    for name, restore in paths:
        for p, s in zip(ptrs, sizes):
            device.fill(p, 0xEE, s)
        try:
            restore(snap_path, bytearray(data), mapping)
        except RuntimeError as e:
            assert str(e).startswith("vesk runtime error: "), (name, str(e))
            continue
        for (off, size), p in zip(spans, ptrs):
            assert device.download(p, size) == data[off:off + size], f"{name}: region at {off} received other bytes"


LYING_HEADERS = textwrap.dedent("""
    import json, resource, struct, sys, time
    sys.path.insert(0, sys.argv[1])
    import vesk
    from test_hostile_files import raw_snapshot, restore_paths

    # Room for the interpreter, the runtime and 1 MiB staging buffers, but
    # not for a table sized by the header.
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    limit = vm + (768 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    import ctypes
    lib = ctypes.CDLL(vesk.vesk._runtime_path())
    standin = hasattr(lib, "standin_fail")
    results = []
    path = sys.argv[2]
    for n in [1 << 25, 1 << 40, 1 << 57, 1 << 59, (1 << 64) - 1]:
        data = raw_snapshot([], b"", num_regions=n)
        with open(path, "wb") as f:
            f.write(data)
        for name, restore in restore_paths(standin):
            args = (path, bytearray(data), [("weights", 0, 0, 0)]) + ((lib,) if name == "auto_staging" else ())
            t0 = time.monotonic()
            try:
                restore(*args)
                outcome = "succeeded"
            except RuntimeError as e:
                outcome = str(e)
            except MemoryError as e:
                outcome = "MemoryError"
            results.append((n, name, outcome, time.monotonic() - t0))
    print(json.dumps(results))
""")


def test_lying_region_count_fails_fast_without_allocating(tmp_path):
    """A 4 KiB file whose header claims up to 2^64-1 regions: refused at
    once by every path, in a process whose address space could not hold
    the claimed table."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    out = subprocess.run([sys.executable, "-c", LYING_HEADERS, str(HERE), str(tmp_path / "liar.vesk")],
                         capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr[-3000:]
    results = json.loads(out.stdout.splitlines()[-1])
    assert len(results) >= 25
    for n, name, outcome, seconds in results:
        assert outcome.startswith(PRELUDE), (n, name, outcome)
        assert ("truncated" in outcome or "overflow" in outcome), (n, name, outcome)
        assert seconds < 1.0, (n, name, seconds)


NOT_A_FILE = textwrap.dedent("""
    import subprocess, sys
    import vesk
    path = sys.argv[1]
    try:
        vesk.restore_from_file_pipelined(path, [("weights", 0, 0, 0)])
        print("restored")
    except RuntimeError as e:
        print(e)
    for command in ("inspect", "verify"):
        out = subprocess.run([sys.executable, "-m", "vesk", command, path], capture_output=True, text=True)
        print(out.returncode, out.stderr.strip())
""")


def test_fifo_is_refused_at_once(tmp_path):
    """A FIFO at the snapshot path: an ordinary open would wait for a
    writer, uninterruptibly for the caller; the restore and the command line
    refuse it at once instead."""
    fifo = tmp_path / "model.vesk"
    os.mkfifo(fifo)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    out = subprocess.run([sys.executable, "-c", NOT_A_FILE, str(fifo)], capture_output=True, text=True, timeout=60,
                         env=env)
    assert out.returncode == 0, out.stderr[-3000:]
    lines = out.stdout.splitlines()
    reason = f"InvalidInput: {fifo} is a FIFO, not a regular file or block device"
    assert lines[0] == PRELUDE + "i/o error during snapshot prelude: " + reason
    for line in lines[1:]:
        code, message = line.split(" ", 1)
        assert code == "2" and message.endswith(reason), line


@pytest.fixture
def loop_device(tmp_path):
    """Attaches a loop device to a file; yields (image path, device path)."""
    image = tmp_path / "disk.img"
    image.write_bytes(bytes(MiB))
    try:
        out = subprocess.run(["losetup", "-f", "--show", str(image)], capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        pytest.skip("losetup is not installed")
    if out.returncode != 0:
        pytest.skip(f"no loop device here: {out.stderr.strip()}")
    dev = out.stdout.strip()
    try:
        yield image, dev
    finally:
        subprocess.run(["losetup", "-d", dev], capture_output=True)


def test_snapshot_on_a_block_device_restores(device, loop_device):
    """A block device reports no length through stat; its size comes from
    the device, and a snapshot written to it restores by every file path."""
    image, dev = loop_device
    payload = pattern(300000, 7)
    snap = raw_snapshot([("weights", 0, len(payload), 4096 + 32, crc32c(payload))], payload)
    with open(dev, "r+b") as f:
        f.write(snap)
    target = device.alloc(len(payload))
    for direct_io in (True, False):
        device.fill(target, 0xEE, len(payload))
        stats = vesk.restore_from_file_pipelined(dev, [("weights", 0, target, len(payload))], chunk_size_mb=1,
                                                 direct_io=direct_io)
        assert stats == {"regions_restored": 1, "bytes_copied": len(payload)}
        assert device.download(target, len(payload)) == payload
    assert vesk.vesk._snapshot_layout(dev)["file_size"] == MiB


SPARSE_LIAR = textwrap.dedent("""
    import json, resource, struct, sys
    import vesk
    path, n = sys.argv[1], int(sys.argv[2])
    with open(path, "wb") as f:
        f.write(b"VESK" + struct.pack("<IQQ", 2, n, 4096) + bytes(4096 - 24))
        f.truncate(4096 + 32 * n)
    out = {}
    # Each entry reads as (weights, 0, size 0, offset 0): mapped, every one
    # is planned; unmapped, the first one ends the restore.
    for case, mapping in (("unmapped", [("weights", 1, 0, 0)]), ("mapped", [("weights", 0, 0, 0)])):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            out[case] = vesk.restore_from_file_pipelined(path, mapping, chunk_size_mb=1)
        except RuntimeError as e:
            out[case] = str(e)
        out[case + "_growth"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
    print(json.dumps(out))
""")


def test_sparse_file_with_a_lying_count_costs_no_more_than_its_plan(tmp_path):
    """A sparse file whose header claims 2 million zero entries (a 64 MiB
    table on 4 KiB of disk). The restore holds no more than the plan that
    a real table of that size needs (64 bytes a region, twice the table),
    and nothing at all once an entry is not mapped."""
    n = 2 << 20
    table = 32 * n
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    out = subprocess.run([sys.executable, "-c", SPARSE_LIAR, str(tmp_path / "sparse.vesk"), str(n)],
                         capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr[-3000:]
    result = json.loads(out.stdout.splitlines()[-1])
    assert result["unmapped"] == "vesk runtime error: no device mapping for region: kind=Weights, logical_id=0"
    assert result["unmapped_growth"] < table / 8, result
    assert result["mapped"] == {"regions_restored": n, "bytes_copied": 0}
    assert result["mapped_growth"] < 2.4 * table, result
