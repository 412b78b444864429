"""Round trips through every function against whichever CUDA runtime the
extension binds, without pytest: a freeze of a few device regions, then each
restore path into fresh regions, compared byte for byte, plus the main
failure paths. Prints one line per check, the throughput of the transfers
and a closing "N passed, M failed" line; exits non-zero on any failure.

Usage: PYTHONPATH=<dir holding vesk/> python3 tests/python/gpu_smoke.py
Environment: VESK_SMOKE_MB (default 256) sets the total payload size.
Its snapshot folder in /dev/shm is removed on every exit, a timeout's
SIGTERM included.
"""

from __future__ import annotations

import ctypes
import mmap
import os
import shutil
import signal
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vesk  # noqa: E402
from helpers import Device, Runtime, pattern  # noqa: E402

MiB = 1 << 20


def main() -> int:
    total_mb = int(os.environ.get("VESK_SMOKE_MB", "256"))
    runtime_path = vesk.vesk._runtime_path()
    print(f"runtime: {runtime_path}")
    lib = ctypes.CDLL(runtime_path)
    dev = Device(Runtime(lib, standin=hasattr_symbol(lib, "standin_reset")))
    big = max(total_mb * MiB - 2 * MiB, MiB)
    layout = [("weights", 0, big + 4097), ("kv_live_block", 3, MiB + 1), ("metadata", 9, 4095), ("weights", 1, 0)]
    sources = {}
    for kind, lid, size in layout:
        data = os.urandom(size) if size <= 64 * MiB else pattern(size, lid + 1)
        sources[(kind, lid)] = data
    requests = [(kind, lid, dev.region(sources[(kind, lid)]), size) for kind, lid, size in layout]
    payload = sum(size for _, _, size in layout)
    tmpdir = tempfile.mkdtemp(prefix="vesk-smoke-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        return run_checks(tmpdir, dev, lib, layout, sources, requests, payload)
    finally:
        shutil.rmtree(tmpdir, ignore_errors=True)


def run_checks(tmpdir, dev, lib, layout, sources, requests, payload) -> int:
    path = os.path.join(tmpdir, "snap.vesk")
    passed = failed = 0

    def check(name, fn):
        nonlocal passed, failed
        try:
            detail = fn()
            passed += 1
            print(f"PASS {name}" + (f" ({detail})" if detail else ""))
        except Exception:  # noqa: BLE001 - report and go on
            failed += 1
            print(f"FAIL {name}")
            traceback.print_exc(file=sys.stdout)

    def rate(seconds):
        return f"{payload / seconds / 1e9:.2f} GB/s"

    def freeze():
        t = time.perf_counter()
        stats = vesk.freeze_to_file_pipelined(path, requests, "f" * 40)
        t = time.perf_counter() - t
        assert stats == {"regions_frozen": len(layout), "bytes_copied": payload}, stats
        return rate(t)

    def restore_into_fresh(restore):
        def run():
            targets = [(kind, lid, dev.alloc(size), size) for kind, lid, size in layout]
            t = time.perf_counter()
            stats = restore(targets)
            t = time.perf_counter() - t
            assert stats == {"regions_restored": len(layout), "bytes_copied": payload}, stats
            for kind, lid, ptr, size in targets:
                assert dev.download(ptr, size) == sources[(kind, lid)], (kind, lid)
            for _, _, ptr, _ in targets:
                lib.cudaFree(ctypes.c_void_p(ptr))
                dev.ptrs.remove(ptr)
            return rate(t)
        return run

    check("freeze_to_file_pipelined", freeze)
    check("restore_from_file_pipelined", restore_into_fresh(lambda m: vesk.restore_from_file_pipelined(path, m)))
    check("restore_from_file_pipelined buffered 1 MiB chunks",
          restore_into_fresh(lambda m: vesk.restore_from_file_pipelined(path, m, 1, False)))
    with open(path, "rb") as f:
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)  # registered read-only
    data = bytes(mm)
    check("restore_from_bytes_pipelined (bytes)",
          restore_into_fresh(lambda m: vesk.restore_from_bytes_pipelined(data, m)))
    check("restore_from_bytes_auto (mmap)", restore_into_fresh(lambda m: vesk.restore_from_bytes_auto(mm, m)))
    check("restore_from_bytes_pipelined_zerocopy (mmap)",
          restore_into_fresh(lambda m: vesk.restore_from_bytes_pipelined_zerocopy(mm, m)))
    held = {}

    def pin():
        t = time.perf_counter()
        held["pinned"] = vesk.PinnedMmap(mm)
        return f"{len(held['pinned'])} bytes in {time.perf_counter() - t:.3f} s"

    check("PinnedMmap over the read-only mapping", pin)
    if "pinned" in held:
        for i in range(2):
            check(f"restore_from_pinned_mmap #{i + 1}",
                  restore_into_fresh(lambda m: vesk.restore_from_pinned_mmap(held["pinned"], m)))
    held.clear()

    def expect_runtime_error(fn, text):
        def run():
            try:
                fn()
            except RuntimeError as e:
                assert text in str(e), str(e)
                return None
            raise AssertionError("no RuntimeError")
        return run

    check("unmapped region", expect_runtime_error(
        lambda: vesk.restore_from_bytes_auto(mm, requests[1:]), "no device mapping for region: kind=Weights"))
    corrupt = bytearray(data)
    corrupt[-(4095 // 2)] ^= 0x55  # inside the metadata region
    check("checksum mismatch", expect_runtime_error(
        lambda: vesk.restore_from_bytes_pipelined(corrupt, requests), "region checksum mismatch: kind=Metadata"))
    mm.close()
    dev.free_all()
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


def hasattr_symbol(lib, name):
    try:
        getattr(lib, name)
        return True
    except AttributeError:
        return False


if __name__ == "__main__":
    # A timeout's SIGTERM unwinds like an exception, so the folder goes too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
