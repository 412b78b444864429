"""What the real CUDA runtime and driver do with the rules vesk relies on,
checked one point at a time on a machine with a GPU. Each point prints one
line, PASS / FAIL / SKIP, with the figure behind it; the last line counts
them, and the exit status is non-zero when a point fails.

  1. layout      the bytes cudaPointerGetAttributes writes, through the
                 bound runtime's major version, against the 88 vesk declares
  2. adjacent    two cudaMalloc blocks that touch, and regions that span the
                 seam frozen and restored by every path
  3. past-end    a region that runs past its allocation is refused up front
  4. device-1    freezes and restores on device 1, from the main thread and a
                 fresh one, leave device 0 without a context (two GPUs)
  5. read-only   a read-only mapping registered and restored from
  6. pinned-1    a PinnedMmap registered while device 0 is current serves
                 regions on device 1 (two GPUs)
  7. queries     the device check of 1,000,000 regions in 64 allocations,
                 per region, and the restore beside the same bytes as 64 regions

Against the stand-in runtime the same script runs (the stand-in counts the
contexts it creates where the driver would be asked).

Usage: PYTHONPATH=<dir holding vesk/> python3 tests/python/gpu_points.py
Environment: VESK_POINTS_REGIONS (default 1000000) for point 7.
"""

from __future__ import annotations

import ctypes
import mmap
import os
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vesk  # noqa: E402
from helpers import Device, Runtime, pattern  # noqa: E402

MiB = 1 << 20
DECLARED_POINTER_ATTRIBUTES = 88  # sizeof(cudaPointerAttributes) in src/cuda/runtime_api.h
PAST_END = "runs past the end of its device allocation"

verdicts: list[str] = []


def report(point: str, verdict: str, figure: str) -> None:
    verdicts.append(verdict)
    print(f"{verdict:4}  {point:10} {figure}", flush=True)


def runtime() -> Runtime:
    lib = ctypes.CDLL(vesk.vesk._runtime_path())
    rt = Runtime(lib, standin=hasattr(lib, "standin_reset"))
    lib.cudaGetDeviceCount.argtypes = [ctypes.POINTER(ctypes.c_int)]
    lib.cudaRuntimeGetVersion.argtypes = [ctypes.POINTER(ctypes.c_int)]
    lib.cudaPointerGetAttributes.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    return rt


def device_count(rt: Runtime) -> int:
    n = ctypes.c_int(0)
    return n.value if rt.lib.cudaGetDeviceCount(ctypes.byref(n)) == 0 else 0


def driver_function(rt: Runtime, name: str, prototype):
    """A driver function through the runtime's entry-point lookup."""
    fn = ctypes.c_void_p()
    found = ctypes.c_int(-1)
    by_version = getattr(rt.lib, "cudaGetDriverEntryPointByVersion", None)
    if by_version is not None:
        by_version.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_uint, ctypes.c_ulonglong,
                               ctypes.POINTER(ctypes.c_int)]
        status = by_version(name.encode(), ctypes.byref(fn), 12000, 0, ctypes.byref(found))
    else:
        lookup = rt.lib.cudaGetDriverEntryPoint
        lookup.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_ulonglong,
                           ctypes.POINTER(ctypes.c_int)]
        status = lookup(name.encode(), ctypes.byref(fn), 0, ctypes.byref(found))
    if status != 0 or found.value != 0 or not fn.value:
        raise RuntimeError(f"no driver function {name} (status {status}, lookup result {found.value})")
    return prototype(fn.value)


def context_active(rt: Runtime, ordinal: int) -> bool:
    """Whether the device's primary context exists, creating none."""
    if rt.standin:
        rt.lib.standin_contexts_created.argtypes = [ctypes.c_int]
        rt.lib.standin_contexts_created.restype = ctypes.c_long
        return rt.lib.standin_contexts_created(ordinal) > 0
    get = driver_function(rt, "cuDeviceGet", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_int), ctypes.c_int))
    state = driver_function(rt, "cuDevicePrimaryCtxGetState",
                            ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_uint),
                                             ctypes.POINTER(ctypes.c_int)))
    dev, flags, active = ctypes.c_int(), ctypes.c_uint(), ctypes.c_int()
    if get(ctypes.byref(dev), ordinal) != 0 or state(dev, ctypes.byref(flags), ctypes.byref(active)) != 0:
        raise RuntimeError("cuDevicePrimaryCtxGetState failed")
    return active.value != 0


def upload(rt: Runtime, ptr: int, data: bytes) -> None:
    assert rt.lib.cudaMemcpy(ptr, data, len(data), 1) == 0


def download(rt: Runtime, ptr: int, n: int) -> bytes:
    buf = ctypes.create_string_buffer(n)
    assert rt.lib.cudaMemcpy(buf, ptr, n, 2) == 0
    return buf.raw


def on_thread(fn):
    """Runs fn on a fresh thread (one that never chose a device); its
    exception, if any, is raised here."""
    failure: list[BaseException] = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001: handed to the caller
            failure.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    if failure:
        raise failure[0]


def round_trips(rt: Runtime, mapping, expected: list[bytes], folder: str, own_work=lambda fn: fn()) -> int:
    """Freezes the regions, then restores them by every path after zeroing
    them; the number of restores whose bytes came back whole. The script's
    own device work (zeroing, reading back) runs through `own_work`."""
    path = os.path.join(folder, "points.vesk")
    vesk.freeze_to_file_pipelined(path, mapping)
    with open(path, "rb") as f:
        snap = f.read()
    restores = [lambda: vesk.restore_from_file_pipelined(path, mapping),
                lambda: vesk.restore_from_bytes_pipelined(snap, mapping),
                lambda: vesk.restore_from_bytes_pipelined_zerocopy(snap, mapping),
                lambda: vesk.restore_from_pinned_mmap(vesk.PinnedMmap(snap), mapping)]
    good = 0
    for restore in restores:
        own_work(lambda: [rt.lib.cudaMemset(ptr, 0, size) for (_, _, ptr, size) in mapping])
        restore()
        whole: list[bool] = []
        own_work(lambda: whole.extend(download(rt, ptr, size) == want
                                      for (_, _, ptr, size), want in zip(mapping, expected)))
        good += all(whole)
    return good


def point_layout(rt: Runtime) -> None:
    version = ctypes.c_int(0)
    rt.lib.cudaRuntimeGetVersion(ctypes.byref(version))
    dev = Device(rt)
    ptr = dev.alloc(4096)
    written = set()
    for fill in (0xAB, 0x54):
        buf = (ctypes.c_ubyte * 256)(*([fill] * 256))
        status = rt.lib.cudaPointerGetAttributes(buf, ptr)
        if status != 0:
            report("layout", "FAIL", f"cudaPointerGetAttributes returned {status}")
            return
        written |= {i for i in range(256) if buf[i] != fill}
    extent = max(written) + 1 if written else 0
    verdict = "PASS" if extent <= DECLARED_POINTER_ATTRIBUTES else "FAIL"
    report("layout", verdict, f"runtime {version.value} wrote {extent} bytes of cudaPointerAttributes "
                              f"(vesk declares {DECLARED_POINTER_ATTRIBUTES}; CUDA 12 fills 24, CUDA 13 fills 88)")
    rt.lib.cudaFree(ptr)


def point_adjacent(rt: Runtime, folder: str) -> None:
    block = 2 * MiB
    held: list[int] = []
    seam = None
    if rt.standin:
        rt.lib.standin_set_adjacent_allocations.argtypes = [ctypes.c_int]
        rt.lib.standin_set_adjacent_allocations(1)
    try:
        for _ in range(256):
            p = ctypes.c_void_p()
            if rt.lib.cudaMalloc(ctypes.byref(p), block) != 0:
                break
            held.append(p.value)
            starts = set(held)
            touching = [q for q in held if q + block in starts]
            if touching:
                seam = (touching[0], touching[0] + block)
                break
        if seam is None:
            report("adjacent", "SKIP", f"none of {len(held)} blocks of 2 MiB touched another")
            return
        a, b = seam
        # Two regions on each side of the seam, touching in device memory.
        regions = [(a + block - 8192, 4096), (a + block - 4096, 4096), (b, 4096), (b + 4096, 4096)]
        expected = [pattern(size, 40 + i) for i, (_, size) in enumerate(regions)]
        for (ptr, _), data in zip(regions, expected):
            upload(rt, ptr, data)
        mapping = [("kv_live_block", i, ptr, size) for i, (ptr, size) in enumerate(regions)]
        good = round_trips(rt, mapping, expected, folder)
        report("adjacent", "PASS" if good == 4 else "FAIL",
               f"blocks at {a:#x} and {b:#x} touch (after {len(held)} allocations); "
               f"{good} of 4 restores of 4 regions across the seam came back whole")
    finally:
        if rt.standin:
            rt.lib.standin_set_adjacent_allocations(0)
        for p in held:
            rt.lib.cudaFree(p)


def point_past_end(rt: Runtime) -> None:
    dev = Device(rt)
    size = 2 * MiB  # the allocation granularity, so the allocation is exactly this long
    ptr = dev.alloc(size)
    try:
        with tempfile.TemporaryDirectory() as folder:
            vesk.freeze_to_file_pipelined(os.path.join(folder, "x.vesk"), [("weights", 0, ptr, size + 4096)])
        report("past-end", "FAIL", "a region 4096 bytes past its allocation was accepted")
    except RuntimeError as e:
        verdict = "PASS" if PAST_END in str(e) else "FAIL"
        report("past-end", verdict, str(e))
    finally:
        rt.lib.cudaFree(ptr)


def point_device_one(script: str) -> None:
    """In a process of its own, so that no earlier point made a context."""
    child = subprocess.run([sys.executable, script, "--device-one"], capture_output=True, text=True, timeout=120)
    line = (child.stdout.strip().splitlines() or ["FAIL device-1 no output: " + child.stderr.strip()[-300:]])[-1]
    verdict, _, figure = line.partition(" ")
    report("device-1", verdict, figure.strip())


def device_one_child() -> int:
    rt = runtime()
    if device_count(rt) < 2:
        print("SKIP one GPU only")
        return 0
    if context_active(rt, 0):
        print("FAIL device 0 had a context before the first call")
        return 0
    ptrs: list[int] = []
    expected = [pattern(MiB + 17, 50), pattern(4096, 51)]

    def allocate():
        assert rt.lib.cudaSetDevice(1) == 0
        for data in expected:
            p = ctypes.c_void_p()
            assert rt.lib.cudaMalloc(ctypes.byref(p), len(data)) == 0
            upload(rt, p.value, data)
            ptrs.append(p.value)

    def on_device_one(fn):
        """The script's own device work, on a thread of its own that chose
        device 1, so that only vesk's calls are judged."""
        def run():
            assert rt.lib.cudaSetDevice(1) == 0
            fn()
        on_thread(run)

    on_thread(allocate)
    mapping = [("weights", i, p, len(d)) for i, (p, d) in enumerate(zip(ptrs, expected))]
    with tempfile.TemporaryDirectory() as folder:
        good = round_trips(rt, mapping, expected, folder, on_device_one)
        fresh: list[int] = []
        on_thread(lambda: fresh.append(round_trips(rt, mapping, expected, folder, on_device_one)))
        good += fresh[0]
    zero = context_active(rt, 0)
    verdict = "PASS" if good == 8 and not zero else "FAIL"
    print(f"{verdict} {good} of 8 restores whole (4 from the main thread, 4 from a fresh one); "
          f"device 0 context after the calls: {'yes' if zero else 'none'}")
    return 0


def point_read_only(rt: Runtime) -> None:
    dev = Device(rt)
    data = pattern(8 * MiB + 3, 60)
    ptr = dev.alloc(len(data))
    upload(rt, ptr, data)
    mapping = [("weights", 0, ptr, len(data))]
    folder = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.NamedTemporaryFile(dir=folder, prefix="vesk-points-") as f:
        vesk.freeze_to_file_pipelined(f.name, mapping)
        with open(f.name, "rb") as ro:
            mm = mmap.mmap(ro.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            assert rt.lib.cudaMemset(ptr, 0, len(data)) == 0
            vesk.restore_from_bytes_pipelined_zerocopy(mm, mapping)
            whole = download(rt, ptr, len(data)) == data
            report("read-only", "PASS" if whole else "FAIL",
                   f"read-only mapping of {len(mm)} bytes registered and restored from ({'whole' if whole else 'WRONG'})")
        except RuntimeError as e:
            report("read-only", "FAIL", str(e))
        finally:
            mm.close()
    rt.lib.cudaFree(ptr)


def point_pinned_device_one(rt: Runtime) -> None:
    if device_count(rt) < 2:
        report("pinned-1", "SKIP", "one GPU only")
        return
    dev = Device(rt)
    data = pattern(64 * MiB + 5, 70)
    ptr = dev.alloc(len(data), on=1)
    upload(rt, ptr, data)
    mapping = [("weights", 0, ptr, len(data))]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "p.vesk")
        vesk.freeze_to_file_pipelined(path, mapping)
        with open(path, "rb") as f:
            snap = f.read()
    assert rt.lib.cudaSetDevice(0) == 0
    pinned = vesk.PinnedMmap(snap)  # registered with device 0 current
    assert rt.lib.cudaMemset(ptr, 0, len(data)) == 0
    t0 = time.perf_counter()
    vesk.restore_from_pinned_mmap(pinned, mapping)
    seconds = time.perf_counter() - t0
    whole = download(rt, ptr, len(data)) == data
    report("pinned-1", "PASS" if whole else "FAIL",
           f"{len(data) / seconds / 1e9:.2f} GB/s into device 1 from memory registered on device 0"
           f" ({'whole' if whole else 'WRONG'})")
    del pinned
    rt.lib.cudaFree(ptr)


def point_queries(rt: Runtime, folder: str) -> None:
    regions, allocations, size = int(os.environ.get("VESK_POINTS_REGIONS", "1000000")), 64, 4096
    per = regions // allocations + 1
    dev = Device(rt)
    bases = [dev.alloc(per * size) for _ in range(allocations)]
    many = [("kv_live_block", i, bases[i // per] + (i % per) * size, size) for i in range(regions)]
    few = [("kv_live_block", i, bases[i], per * size) for i in range(allocations)]
    # The device check alone: a freeze refused at the last region (host
    # memory), after every other one was asked about, less the same freeze
    # refused at the first (the conversion of the arguments alone).
    host = ("kv_live_block", regions - 1, ctypes.addressof(ctypes.create_string_buffer(size)), size)
    refused_last = many[:-1] + [host]
    refused_first = [host] + many[:-1]

    def refused_in(mapping) -> float:
        t0 = time.perf_counter()
        try:
            vesk.freeze_to_file_pipelined(os.path.join(folder, "never.vesk"), mapping)
        except RuntimeError:
            pass
        return time.perf_counter() - t0

    check = max(0.0, min(refused_in(refused_last) for _ in range(3)) - min(refused_in(refused_first) for _ in range(3)))
    timings = []
    for mapping in (few, many):
        path = os.path.join(folder, "q.vesk")
        vesk.freeze_to_file_pipelined(path, mapping)
        with open(path, "rb") as f:
            snap = f.read()
        best = min(timed(lambda: vesk.restore_from_bytes_pipelined_zerocopy(snap, mapping)) for _ in range(3))
        timings.append(best)
        os.unlink(path)
    for b in bases:
        rt.lib.cudaFree(b)
    dev.ptrs.clear()
    per_region_us = check / regions * 1e6
    ratio = timings[0] / timings[1]
    verdict = "PASS" if per_region_us <= 0.3 else "FAIL"
    report("queries", verdict, f"device check of {regions} regions in {allocations} allocations: {check:.3f} s "
                               f"({per_region_us:.3f} us per region; limit 0.3); "
                               f"zero-copy restore {timings[1]:.3f} s, {ratio:.2f} x the speed of 64 regions")


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> int:
    if sys.argv[1:] == ["--device-one"]:
        return device_one_child()
    rt = runtime()
    print(f"gpu points: runtime {vesk.vesk._runtime_path()}, {device_count(rt)} device(s)", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        points = [lambda: point_layout(rt), lambda: point_adjacent(rt, folder), lambda: point_past_end(rt),
                  lambda: point_device_one(os.path.abspath(__file__)), lambda: point_read_only(rt),
                  lambda: point_pinned_device_one(rt), lambda: point_queries(rt, folder)]
        for point in points:
            try:
                point()
            except Exception:  # noqa: BLE001: one point's failure is reported, the rest still run
                report("error", "FAIL", traceback.format_exc().strip().splitlines()[-1])
    counts = {v: verdicts.count(v) for v in ("PASS", "FAIL", "SKIP")}
    print(f"{counts['PASS']} passed, {counts['FAIL']} failed, {counts['SKIP']} skipped")
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
