"""Named against raw restores, side by side: the same regions (default
100,000 of 4 KiB, consecutive slices of one device allocation) frozen once
through the region functions and once by name, each restored `rounds` times
alternately; prints the best time of each, their ratio, and the process's
peak memory after each kind of restore.

    python -m vesk._bench_named [count] [directory] [rounds] [region bytes]

The named arrays export ``__cuda_array_interface__`` the way CuPy and Numba
do (a dict built on every access); a second line gives the ratio with the
dict made once per array, which leaves only vesk's own per-name work.
Device memory comes from the CUDA runtime the module bound (the stand-in's
host memory in the test build).
"""

from __future__ import annotations

import os
import resource
import sys
import tempfile
import time
from typing import Any

import vesk
from vesk import named
from vesk import vesk as _native

REGION = 4096  # bytes per region unless given


class Exported:
    """A device array that builds its interface on every access."""

    __slots__ = ("ptr",)

    def __init__(self, ptr: int):
        self.ptr = ptr

    @property
    def __cuda_array_interface__(self) -> dict[str, Any]:
        return {"version": 3, "shape": (REGION,), "typestr": "|u1", "data": (self.ptr, False), "strides": None}


class Cached:
    """A device array whose interface was made once."""

    __slots__ = ("__cuda_array_interface__",)

    def __init__(self, ptr: int):
        self.__cuda_array_interface__ = {"version": 3, "shape": (REGION,), "typestr": "|u1", "data": (ptr, False),
                                         "strides": None}


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def best(rounds: int, call: Any) -> float:
    out = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        out = min(out, time.perf_counter() - start)
    return out


def main(argv: list[str]) -> int:
    count = int(argv[0]) if argv else 100_000
    directory = argv[1] if len(argv) > 1 else tempfile.gettempdir()
    rounds = int(argv[2]) if len(argv) > 2 else 3
    global REGION
    REGION = int(argv[3]) if len(argv) > 3 else REGION
    total = count * REGION
    base = _native._device_alloc(total)
    try:
        pattern = (bytes(range(256)) * (total // 256 + 1))[:total]
        _native._device_upload(base, pattern)
        raw_path, named_path = os.path.join(directory, "raw.vesk"), os.path.join(directory, "named.vesk")
        ptrs = [base + i * REGION for i in range(count)]
        vesk.freeze_to_file_pipelined(raw_path, [("weights", i, p, REGION) for i, p in enumerate(ptrs)])
        exported = {f"layers.{i:07d}": Exported(p) for i, p in enumerate(ptrs)}
        cached = {name: Cached(a.ptr) for name, a in exported.items()}
        named.freeze(named_path, weights=exported)

        def raw() -> None:
            vesk.restore_from_file_pipelined(raw_path, [("weights", i, p, REGION) for i, p in enumerate(ptrs)])

        t_raw = best(1, raw)
        peak_raw = peak_mib()
        t_named = best(1, lambda: named.restore(named_path, weights=exported))
        peak_named = peak_mib()
        t_cached = best(1, lambda: named.restore(named_path, weights=cached))
        for _ in range(rounds - 1):  # alternately, so that both see the same machine
            t_raw = min(t_raw, best(1, raw))
            t_named = min(t_named, best(1, lambda: named.restore(named_path, weights=exported)))
            t_cached = min(t_cached, best(1, lambda: named.restore(named_path, weights=cached)))
        if _native._device_download(base, total) != pattern:
            raise RuntimeError("the restored bytes differ from the frozen ones")
        manifest_mib = os.path.getsize(named_path) - os.path.getsize(raw_path)
        print(f"{count} regions of {REGION} B, best of {rounds}: raw restore {t_raw:.3f} s, named {t_named:.3f} s "
              f"(named / raw = {t_named / t_raw:.2f})")
        print(f"  with each array's interface made once: named {t_cached:.3f} s (named / raw = {t_cached / t_raw:.2f})")
        print(f"  peak memory: {peak_raw:.0f} MiB after the raw restores, {peak_named:.0f} MiB after the named ones "
              f"(manifest {manifest_mib / (1 << 20):.1f} MiB)")
        for path in (raw_path, named_path):
            os.unlink(path)
    finally:
        _native._device_free(base)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
