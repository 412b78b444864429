"""``python -m vesk bench``: the main job end to end, beside this machine's limits.

Allocates device regions through the CUDA runtime that vesk bound (a GPU's, or
the stand-in runtime's host memory on a machine without one), fills them with
random bytes, freezes them, restores them by every path, checks every restored
region against the bytes that were frozen, and measures in the same run what
the machine itself allows: direct-I/O writes and reads of the same byte count
on the snapshot's file system, a host-to-device copy from page-locked memory,
and a host memcpy.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import mmap
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import vesk
from vesk._cli import human_bytes
from vesk._output import print_json, printable

H2D, D2H = 1, 2
PIECE = 64 << 20  # bytes per host-side copy or checksum step
KINDS = ("weights", "kv_live_block", "metadata")


def note(text: str) -> None:
    sys.stderr.write(f"bench: {text}\n")
    sys.stderr.flush()


class Runtime:
    """The CUDA runtime that the module bound, through the module's own calls."""

    def __init__(self) -> None:
        self.path = vesk.vesk._runtime_path()
        # Only to tell the stand-in (host memory) from a GPU; every call goes
        # through the module.
        self.is_standin = hasattr(ctypes.CDLL(self.path), "standin_reset")

    def malloc(self, size: int) -> int:
        return vesk.vesk._device_alloc(max(size, 1))

    def free(self, ptr: int) -> None:
        vesk.vesk._device_free(ptr)

    def malloc_host(self, size: int) -> int:
        return vesk.vesk._pinned_alloc(size)

    def free_host(self, ptr: int) -> None:
        vesk.vesk._pinned_free(ptr)

    def memcpy(self, dst: int, src: int, n: int, kind: int) -> None:
        vesk.vesk._copy(dst, src, n, kind)

    def zero(self, dst: int, n: int) -> None:
        vesk.vesk._device_upload(dst, bytes(n))


def region_sizes(total: int, count: int, rng: random.Random) -> list[int]:
    """Mixed sizes summing to `total`, several of them not multiples of 4096."""
    if count <= 0:
        return []
    weights = [rng.uniform(0.5, 1.5) for _ in range(count)]
    scale = total / sum(weights)
    sizes = [int(w * scale) for w in weights]
    for i in range(0, count, 3):
        sizes[i] += rng.randrange(1, 4096)  # unaligned
    for i in range(1, count, 3):
        sizes[i] -= sizes[i] % 4096
    sizes[-1] += total - sum(sizes)
    if sizes[-1] < 0:  # tiny totals: fall back to an even split
        sizes = [total // count] * count
        sizes[-1] += total - sum(sizes)
    return sizes


class Regions:
    """Device regions filled with random bytes, and their CRC-32Cs."""

    def __init__(self, rt: Runtime, total: int, count: int, seed: int = 1) -> None:
        self.rt = rt
        rng = random.Random(seed)
        self.sizes = region_sizes(total, count, rng)
        self.ptrs = [rt.malloc(s) for s in self.sizes]
        pool = os.urandom(PIECE + 4096)
        pool_buf = ctypes.create_string_buffer(pool, len(pool))
        pool_addr = ctypes.addressof(pool_buf)
        for ptr, size in zip(self.ptrs, self.sizes):
            done = 0
            while done < size:
                n = min(PIECE, size - done)
                rt.memcpy(ptr + done, pool_addr + rng.randrange(0, 4096), n, H2D)
                done += n
        self.expected = [self.crc(i) for i in range(len(self.sizes))]

    def tuples(self) -> list[tuple[str, int, int, int]]:
        return [(KINDS[i % 3], i, p, s) for i, (p, s) in enumerate(zip(self.ptrs, self.sizes))]

    def crc(self, i: int) -> int:
        crc32c = vesk.vesk._crc32c
        ptr, size = self.ptrs[i], self.sizes[i]
        if self.rt.is_standin:  # device memory is host memory
            return crc32c((ctypes.c_char * size).from_address(ptr), 0) if size else 0
        host = self._host_piece()
        crc, done = 0, 0
        while done < size:
            n = min(PIECE, size - done)
            self.rt.memcpy(host, ptr + done, n, D2H)
            crc = crc32c((ctypes.c_char * n).from_address(host), crc)
            done += n
        return crc

    def _host_piece(self) -> int:
        if not hasattr(self, "_host"):
            self._host = self.rt.malloc_host(PIECE)
        return self._host

    def clear(self) -> None:
        for p, s in zip(self.ptrs, self.sizes):
            self.rt.zero(p, s)

    def verify(self, what: str) -> None:
        for i in range(len(self.sizes)):
            if self.crc(i) != self.expected[i]:
                raise RuntimeError(f"{what}: region {i} differs from the frozen bytes")

    def free(self) -> None:
        for p in self.ptrs:
            self.rt.free(p)
        if hasattr(self, "_host"):
            self.rt.free_host(self._host)


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def rate(nbytes: int, seconds: float) -> float:
    return nbytes / seconds / 1e9 if seconds > 0 else float("inf")


@contextlib.contextmanager
def captured_fd2():
    """Collects what is written to file descriptor 2 (the fallback warning)."""
    saved = os.dup(2)
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        out: dict[str, str] = {}
        try:
            yield out
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            tmp.seek(0)
            out["text"] = tmp.read().decode(errors="replace")


def drop_page_cache(path: str) -> str:
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return "dropped"
    except OSError:
        return "fadvise only"


def dd_rate(args: list[str], nbytes: int) -> float | None:
    try:
        seconds, proc = timed(lambda: subprocess.run(args, capture_output=True, check=False))
    except OSError:
        return None
    return rate(nbytes, seconds) if proc.returncode == 0 else None


def disk_limits(directory: str, nbytes: int) -> dict[str, Any]:
    """Direct-I/O write and read of the same byte count, with dd, on `directory`."""
    count = max(1, -(-nbytes // (64 << 20)))
    moved = count * (64 << 20)
    path = os.path.join(directory, f".vesk-bench-dd-{os.getpid()}")
    out: dict[str, Any] = {"bytes": moved}
    try:
        write = ["dd", "if=/dev/zero", f"of={path}", "bs=64M", f"count={count}", "conv=fsync"]
        w = dd_rate(write + ["oflag=direct"], moved)
        out["direct"] = w is not None
        if w is None:  # a file system without O_DIRECT
            w = dd_rate(write, moved)
        out["write_gbps"] = w
        drop_page_cache(path) if os.path.exists(path) else None
        read = ["dd", f"if={path}", "of=/dev/null", "bs=64M"]
        r = dd_rate(read + (["iflag=direct"] if out["direct"] else []), moved)
        out["read_gbps"] = r
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
    return out


def host_limits(rt: Runtime, regions: Regions, nbytes: int) -> dict[str, float]:
    """Host-to-device copy from page-locked memory, and memcpy, of `nbytes` in all."""
    piece = min(PIECE * 4, max(nbytes, 1))
    pinned = rt.malloc_host(piece)
    plain_src = ctypes.create_string_buffer(piece)
    plain_dst = ctypes.create_string_buffer(piece)
    try:
        ctypes.memmove(pinned, plain_src, piece)  # both sides are host memory
        targets = [(p, s) for p, s in zip(regions.ptrs, regions.sizes) if s >= piece] or [(rt.malloc(piece), piece)]
        dst = targets[0][0]

        def h2d() -> None:
            done = 0
            while done < nbytes:
                n = min(piece, nbytes - done)
                rt.memcpy(dst, pinned, n, H2D)
                done += n

        def host_memcpy() -> None:
            done = 0
            while done < nbytes:
                n = min(piece, nbytes - done)
                ctypes.memmove(plain_dst, plain_src, n)
                done += n

        h2d()  # warm both
        host_memcpy()
        t_h2d, _ = timed(h2d)
        t_mem, _ = timed(host_memcpy)
        if targets[0][0] not in regions.ptrs:
            rt.free(dst)
        return {"h2d_pinned_gbps": rate(nbytes, t_h2d), "memcpy_gbps": rate(nbytes, t_mem)}
    finally:
        rt.free_host(pinned)


def try_safetensors(regions: Regions, directory: str) -> dict[str, Any]:
    """What a user would pick instead: safetensors save and load onto the device."""
    try:
        import torch
        from safetensors.torch import load_file, save_file
    except ImportError as e:
        return {"skipped": f"torch and safetensors not importable ({e.name})"}
    device = "cuda" if torch.cuda.is_available() else "cpu"
    tensors = {}
    for i, (p, s) in enumerate(zip(regions.ptrs, regions.sizes)):
        host = bytearray(s)
        if s:
            if regions.rt.is_standin:
                ctypes.memmove((ctypes.c_char * s).from_buffer(host), p, s)
            else:
                regions.rt.memcpy(ctypes.addressof((ctypes.c_char * s).from_buffer(host)), p, s, D2H)
        tensors[f"region_{i}"] = torch.frombuffer(host, dtype=torch.uint8) if s else torch.empty(0, dtype=torch.uint8)
    path = os.path.join(directory, f"vesk-bench-{os.getpid()}.safetensors")
    try:
        t_save, _ = timed(lambda: save_file(tensors, path))
        drop_page_cache(path)
        t_load, loaded = timed(lambda: load_file(path, device=device))
        if device == "cuda":
            torch.cuda.synchronize()
        del loaded
        total = sum(regions.sizes)
        return {"device": device, "save_seconds": t_save, "load_seconds": t_load,
                "save_gbps": rate(total, t_save), "load_gbps": rate(total, t_load)}
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)


def run(args: argparse.Namespace) -> int:
    rt = Runtime()
    total, count = args.size, max(0, args.regions)
    if rt.is_standin:
        note("no GPU: running on the stand-in CUDA runtime (device memory is host memory)")
    note(f"allocating {count} device regions, {human_bytes(total)} of random bytes")
    regions = Regions(rt, total, count)
    mapping = regions.tuples()
    snap = os.path.join(args.dir, f"vesk-bench-{os.getpid()}.vesk")
    shm = os.path.join("/dev/shm", f"vesk-bench-{os.getpid()}.vesk")
    paths: dict[str, Any] = {}

    def record(name: str, seconds: float, stats: dict[str, int]) -> None:
        regions.verify(name)
        paths[name] = {"seconds": seconds, "gbps": rate(total, seconds), **stats}
        regions.clear()

    try:
        note(f"freezing to {snap}")
        t, stats = timed(lambda: vesk.freeze_to_file_pipelined(snap, mapping))
        paths["freeze"] = {"seconds": t, "gbps": rate(total, t), **stats}
        regions.clear()

        cache = drop_page_cache(snap)
        note(f"restoring from the file (page cache: {cache})")
        t, stats = timed(lambda: vesk.restore_from_file_pipelined(snap, mapping))
        record("restore_file", t, stats)

        note("copying the snapshot to /dev/shm")
        shutil.copyfile(snap, shm)
        with open(shm, "r+b") as f, mmap.mmap(f.fileno(), 0) as mm:
            # A live PinnedMmap over the buffer makes the per-call registration
            # overlap and be refused, so the auto path takes the staging path.
            t_reg, pinned = timed(lambda: vesk.PinnedMmap(mm))
            paths["pinned_mmap_register"] = {"seconds": t_reg}
            note("restoring from /dev/shm through staging buffers")
            with captured_fd2() as err:
                t, stats = timed(lambda: vesk.restore_from_bytes_pipelined(mm, mapping))
            record("restore_bytes_staging", t, stats)
            paths["restore_bytes_staging"]["fallback_warnings"] = err["text"].count("falling back to staging")

            note("restoring from a PinnedMmap, three times")
            runs = []
            for _ in range(3):
                t, stats = timed(lambda: vesk.restore_from_pinned_mmap(pinned, mapping))
                record("restore_pinned_mmap", t, stats)
                runs.append(paths["restore_pinned_mmap"]["seconds"])
            paths["restore_pinned_mmap"]["runs_seconds"] = runs
            paths["restore_pinned_mmap"]["seconds"] = min(runs)
            paths["restore_pinned_mmap"]["gbps"] = rate(total, min(runs))
            del pinned

            note("restoring from /dev/shm zero-copy")
            t, stats = timed(lambda: vesk.restore_from_bytes_pipelined_zerocopy(mm, mapping))
            record("restore_bytes_zerocopy", t, stats)
            t, stats = timed(lambda: vesk.restore_from_bytes_auto(mm, mapping))
            record("restore_bytes_auto", t, stats)

        note("measuring the machine's limits (dd direct I/O, pinned host-to-device, memcpy)")
        limits = {"disk": disk_limits(args.dir, total), **host_limits(rt, regions, total)}
        note("trying safetensors for comparison")
        alternative = try_safetensors(regions, args.dir)
    finally:
        for p in (snap, shm):
            with contextlib.suppress(OSError):
                os.unlink(p)
        regions.free()

    result = {
        "size": total,
        "regions": count,
        "dir": args.dir,
        "runtime": "stand-in" if rt.is_standin else rt.path,
        "verified": True,
        "paths": paths,
        "limits": limits,
        "safetensors": alternative,
    }
    if args.json:
        print_json(result, indent=2)
    else:
        print_table(result)
    return 0


def print_table(r: dict[str, Any]) -> None:
    disk, lim = r["limits"]["disk"], r["limits"]
    limits = {
        "dd direct write": disk.get("write_gbps"),
        "dd direct read": disk.get("read_gbps"),
        "pinned host-to-device": lim["h2d_pinned_gbps"],
        "memcpy": lim["memcpy_gbps"],
    }
    against = {
        "freeze": "dd direct write",
        "restore_file": "dd direct read",
        "restore_bytes_staging": "memcpy",
        "restore_bytes_zerocopy": "pinned host-to-device",
        "restore_bytes_auto": "pinned host-to-device",
        "restore_pinned_mmap": "pinned host-to-device",
    }
    print(f"vesk bench: {human_bytes(r['size'])} in {r['regions']} regions, runtime {printable(r['runtime'])}, "
          f"every restored byte checked")
    print(f"{'path':<26}{'seconds':>10}{'GB/s':>10}   ratio to the limit")
    for name, limit_name in against.items():
        p, limit = r["paths"][name], limits[limit_name]
        shown = f"{p['gbps'] / limit:5.2f} x {limit_name}" if limit else ""
        print(f"{name:<26}{p['seconds']:>10.3f}{p['gbps']:>10.2f}   {shown}")
    print(f"{'PinnedMmap registration':<26}{r['paths']['pinned_mmap_register']['seconds']:>10.3f}")
    print("limits measured in the same run:")
    for k, v in limits.items():
        print(f"  {k:<24}{'' if v is None else f'{v:>10.2f} GB/s'}")
    st = r["safetensors"]
    if "skipped" in st:
        print(f"safetensors: skipped, {st['skipped']}")
    else:
        print(f"safetensors ({st['device']}): save {st['save_gbps']:.2f} GB/s, load {st['load_gbps']:.2f} GB/s "
              f"(vesk freeze {r['paths']['freeze']['gbps']:.2f}, restore {r['paths']['restore_file']['gbps']:.2f})")
