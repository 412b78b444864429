"""Every runtime call of every operation fails once, in turn.

For each operation a clean run first counts the runtime calls it makes;
then, for every call and every position k of it, the k-th call fails and
the operation must either raise RuntimeError naming that call or, where
the design absorbs the failure, succeed. Either way no stream,
registration or page-locked buffer may be left behind, no memory may be
released under a queued copy, a failed freeze must leave the target as it
was and no unfinished file, and the next clean run must succeed.

Staging caches are switched off (VESK_DISABLE_WC_CACHE=1) so that every
page-locked buffer a run takes must be gone after it. The copies are
delayed during the failing run, so failures strike with copies in flight.
"""

from __future__ import annotations

import ctypes
import os
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import pytest

import vesk
from helpers import build_snapshot, pattern

pytestmark = pytest.mark.standin

MiB = 1 << 20
STATUS = 700
COPY_DELAY_US = 300

# Every runtime and driver function the module binds.
CALLS = [
    "cudaMallocHost", "cudaHostAlloc", "cudaFreeHost", "cudaHostRegister", "cudaHostUnregister",
    "cudaGetLastError", "cudaStreamCreate", "cudaStreamDestroy", "cudaStreamSynchronize", "cudaMemcpyAsync",
    "cudaPointerGetAttributes", "cudaGetDevice", "cudaSetDevice",
    "cuPointerGetAttributes", "cuCtxGetCurrent", "cuCtxSetCurrent",
]
# Failures the design absorbs: a refused write-combined allocation falls
# back to an ordinary one, and release-side statuses are ignored (giving
# the caller its context back included).
ABSORBED = {"cudaHostAlloc", "cudaFreeHost", "cudaHostUnregister", "cudaGetLastError", "cuCtxSetCurrent"}

# Sixteen regions over about 6 MiB: several 1 MiB chunks, regions
# straddling chunk boundaries, empty regions, unaligned offsets.
RESTORE_LAYOUT = [
    ("weights", 0, 1 * MiB + 17), ("weights", 1, 4096), ("kv_live_block", 0, 0), ("kv_live_block", 1, 2 * MiB - 5),
    ("metadata", 0, 333), ("weights", 2, 700 * 1024), ("kv_live_block", 2, 1), ("metadata", 1, 0),
    ("weights", 3, 1 * MiB), ("kv_live_block", 3, 65537), ("metadata", 2, 12345), ("weights", 4, 300 * 1024),
    ("metadata", 3, 8191), ("kv_live_block", 4, 40000), ("weights", 5, 3), ("metadata", 4, 250000),
]
# Just over one 64 MiB freeze chunk: two chunks, the large region split
# between them.
FREEZE_LAYOUT = [("weights", 0, 5000), ("kv_live_block", 7, 64 * MiB), ("metadata", 1, MiB + 3),
                 ("weights", 9, 0), ("metadata", 2, 777)]


@dataclass
class Op:
    name: str
    run: Callable[[], object]
    # Checks the result of a successful run (device contents, target file).
    check_success: Callable[[], None]
    # Restores the starting state before a run.
    prepare: Callable[[], None] = lambda: None
    # Checks what a failed run left (the freeze's target and temporary file).
    check_failure: Callable[[str], None] = lambda call: None
    memcpy_label: str = "cudaMemcpyAsync(h2d)"
    # The auto path falls back to staging when registration is refused.
    register_absorbed: bool = False
    # Addresses a refused unregistration leaves registered in the stand-in.
    registered_ranges: list[int] = field(default_factory=list)


def expected_label(op: Op, call: str) -> str | None:
    if call in ABSORBED or (call == "cudaHostRegister" and op.register_absorbed):
        return None
    if call == "cudaMemcpyAsync":
        return op.memcpy_label
    return call


def address_of(buf: bytearray) -> int:
    return ctypes.addressof((ctypes.c_char * len(buf)).from_buffer(buf))


class Regions:
    """Device regions of a layout, with the bytes they must end up holding."""

    def __init__(self, device, layout, seed):
        self.device = device
        self.items = [(kind, lid, pattern(size, seed + i)) for i, (kind, lid, size) in enumerate(layout)]
        self.ptrs = [device.alloc(len(data)) for _, _, data in self.items]

    def mapping(self):
        return [(kind, lid, ptr, len(data)) for (kind, lid, data), ptr in zip(self.items, self.ptrs)]

    def clear(self):
        for (_, _, data), ptr in zip(self.items, self.ptrs):
            self.device.fill(ptr, 0xEE, len(data))

    def upload(self):
        for (_, _, data), ptr in zip(self.items, self.ptrs):
            self.device.upload(ptr, data)

    def check(self):
        for (kind, lid, data), ptr in zip(self.items, self.ptrs):
            assert self.device.download(ptr, len(data)) == data, f"region {kind}/{lid} differs"


@pytest.fixture(scope="module")
def tally():
    counts: dict[str, int] = {}
    yield counts
    if counts:
        per_op = ", ".join(f"{name}: {n}" for name, n in counts.items())
        print(f"\nfault sweep: {sum(counts.values())} faults injected ({per_op})")


@pytest.fixture
def quiet_caches(monkeypatch):
    monkeypatch.setenv("VESK_DISABLE_WC_CACHE", "1")
    monkeypatch.delenv("VESK_FREEZE_USE_WC", raising=False)
    monkeypatch.delenv("VESK_VERIFY", raising=False)


@pytest.fixture
def shm_dir(tmp_path):
    """A directory in memory where there is one: the freeze writes 66 MiB
    per run, about eighty times."""
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        with tempfile.TemporaryDirectory(dir="/dev/shm", prefix="vesk-sweep-") as d:
            yield Path(d)
    else:
        yield tmp_path


def destroy_refused_streams(lib) -> None:
    """Destroys the stream whose destruction the runtime refused. The
    module has let go of its handle; the stand-in numbers streams in
    steps of 0x10 and never reuses a number, so the refused one is among
    the few created just before a new probe stream."""
    probe = ctypes.c_void_p()
    assert lib.cudaStreamCreate(ctypes.byref(probe)) == 0
    for back in range(1, 17):
        lib.cudaStreamDestroy(probe.value - 0x10 * back)  # others are already gone: refused harmlessly
    assert lib.cudaStreamDestroy(probe.value) == 0


def sweep(standin, op: Op, tally) -> int:
    lib = standin.lib
    lib.cudaHostUnregister.argtypes = [ctypes.c_void_p]
    lib.cudaStreamCreate.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    lib.cudaStreamDestroy.argtypes = [ctypes.c_void_p]

    def leftovers(ctx):
        assert standin.live("streams") == 0, f"{ctx}: stream left alive"
        assert standin.live("registered") == 0, f"{ctx}: registration left behind"
        assert lib.standin_hazards() == 0, f"{ctx}: memory released under a queued copy"

    lib.standin_reset()
    op.prepare()
    op.run()
    counts = {call: standin.calls(call) for call in CALLS}
    op.check_success()
    leftovers(f"{op.name}: clean run")
    pinned_base = standin.live("pinned")

    injected = 0
    for call in CALLS:
        for k in range(1, counts[call] + 1):
            ctx = f"{op.name}: {call} call {k} of {counts[call]} failing (fault {injected + 1})"
            lib.standin_reset()
            op.prepare()
            lib.standin_set_delay_us(COPY_DELAY_US)
            standin.fail(call, k, STATUS)
            try:
                op.run()
                error = None
            except RuntimeError as e:
                error = str(e)
            finally:
                lib.standin_set_delay_us(0)
            assert standin.calls(call) >= k, f"{ctx}: the failing call was never made"
            injected += 1
            tally[op.name] = injected

            label = expected_label(op, call)
            if label is None:
                assert error is None, f"{ctx}: should have been absorbed, raised {error!r}"
                op.check_success()
            else:
                assert error is not None, f"{ctx}: succeeded"
                assert error.startswith("vesk runtime error: ") and error.endswith(
                    f"cuda runtime error during {label}: CudaStatus({STATUS})"), f"{ctx}: {error!r}"
                op.check_failure(call)
            # Nothing may be left for the caller's own next error check.
            assert standin.last_error_left() == 0, f"{ctx}: the failure is left recorded for the thread"

            # A refused unregistration or stream destruction leaves the
            # object alive in the runtime; the module has let go of it (it
            # must not leave anything else), so the test cleans up.
            if call == "cudaHostUnregister":
                assert standin.live("registered") <= 1, f"{ctx}: registrations left behind"
                for addr in op.registered_ranges:
                    lib.cudaHostUnregister(addr)
            if call == "cudaStreamDestroy":
                assert standin.live("streams") == 1, f"{ctx}: streams left behind"
                destroy_refused_streams(lib)
            leftovers(ctx)
            # A refused free leaves that buffer allocated in the runtime.
            refused_frees = 1 if call == "cudaFreeHost" else 0
            pinned_base += refused_frees
            assert standin.live("pinned") == pinned_base, f"{ctx}: page-locked buffer left behind"

            lib.standin_reset()
            op.prepare()
            op.run()
            op.check_success()
            leftovers(f"{ctx}, then a clean run")
            assert standin.live("pinned") == pinned_base, f"{ctx}, then a clean run: page-locked buffer left"
    print(f"\n{op.name}: {injected} faults injected")
    return injected


@pytest.fixture
def snapshot_file(tmp_path, device):
    regions = Regions(device, RESTORE_LAYOUT, 1)
    path = tmp_path / "model.vesk"
    snap = build_snapshot(regions.items)
    path.write_bytes(snap)
    return regions, path, snap


def restore_op(name, regions, restore, **kwargs) -> Op:
    return Op(name, lambda: restore(regions.mapping()), regions.check, prepare=regions.clear, **kwargs)


def test_restore_from_file(standin, quiet_caches, snapshot_file, tally):
    regions, path, _ = snapshot_file
    op = restore_op("restore_from_file_pipelined", regions,
                    lambda m: vesk.restore_from_file_pipelined(str(path), m, chunk_size_mb=1))
    assert sweep(standin, op, tally) >= 30


def test_restore_from_bytes_pipelined(standin, quiet_caches, snapshot_file, tally):
    regions, _, snap = snapshot_file
    data = bytearray(snap)
    op = restore_op("restore_from_bytes_pipelined", regions,
                    lambda m: vesk.restore_from_bytes_pipelined(data, m, chunk_size_mb=1),
                    memcpy_label="cudaMemcpyAsync(h2d raw)", register_absorbed=True,
                    registered_ranges=[address_of(data)])
    assert sweep(standin, op, tally) >= 15


def test_restore_from_bytes_auto_staging(standin, quiet_caches, snapshot_file, tally):
    """Registration refused throughout: the staging path, with the fall-back's
    own calls (clearing the runtime's error, write-combined buffers)."""
    regions, _, snap = snapshot_file

    def run(m):
        standin.fail("cudaHostRegister", 0, 712)
        return vesk.restore_from_bytes_auto(snap, m, chunk_size_mb=1)

    op = restore_op("restore_from_bytes_auto (staging)", regions, run, register_absorbed=True)
    assert sweep(standin, op, tally) >= 30


def test_restore_from_bytes_pipelined_zerocopy(standin, quiet_caches, snapshot_file, tally):
    regions, _, snap = snapshot_file
    data = bytearray(snap)
    op = restore_op("restore_from_bytes_pipelined_zerocopy", regions,
                    lambda m: vesk.restore_from_bytes_pipelined_zerocopy(data, m),
                    memcpy_label="cudaMemcpyAsync(h2d raw)", registered_ranges=[address_of(data)])
    assert sweep(standin, op, tally) >= 15


def test_restore_from_pinned_mmap(standin, quiet_caches, snapshot_file, tally):
    """Construction, two restores and destruction of a PinnedMmap."""
    regions, _, snap = snapshot_file
    data = bytearray(snap)

    def run(m):
        pinned = vesk.PinnedMmap(data)
        try:
            for _ in range(2):
                vesk.restore_from_pinned_mmap(pinned, m)
        finally:
            del pinned

    op = restore_op("restore_from_pinned_mmap", regions, run, memcpy_label="cudaMemcpyAsync(h2d raw)",
                    registered_ranges=[address_of(data)])
    assert sweep(standin, op, tally) >= 30


@pytest.mark.parametrize("write_combined", [False, True], ids=["pinned", "write_combined"])
def test_freeze(standin, quiet_caches, monkeypatch, shm_dir, device, tally, write_combined):
    if write_combined:
        monkeypatch.setenv("VESK_FREEZE_USE_WC", "1")
    regions = Regions(device, FREEZE_LAYOUT, 5)
    regions.upload()
    target = shm_dir / "model.vesk"
    tmp = Path(str(target) + ".vesk-incomplete")
    old = build_snapshot([("metadata", 3, pattern(6000, 9))])
    state: dict[str, bytes] = {}

    def prepare():
        target.write_bytes(old)

    def run():
        return vesk.freeze_to_file_pipelined(str(target), regions.mapping())

    def check_success():
        assert not tmp.exists(), "unfinished file left behind"
        if "new" not in state:
            # The first clean run is checked by restoring it; later runs
            # must produce the very same bytes.
            blank = Regions(device, FREEZE_LAYOUT, 5)
            blank.clear()
            vesk.restore_from_file_pipelined(str(target), blank.mapping(), chunk_size_mb=16)
            blank.check()
            state["new"] = target.read_bytes()
        else:
            assert target.read_bytes() == state["new"], "the new snapshot differs"

    def check_failure(call):
        assert not tmp.exists(), "unfinished file left behind"
        if call == "cudaStreamDestroy":
            # Streams are destroyed after the commit: the new snapshot is in place.
            assert target.read_bytes() == state["new"]
        else:
            assert target.read_bytes() == old, "the old snapshot was changed"

    name = "freeze_to_file_pipelined" + (" (write-combined)" if write_combined else "")
    op = Op(name, run, check_success, prepare=prepare, check_failure=check_failure,
            memcpy_label="cudaMemcpyAsync(d2h)")
    assert sweep(standin, op, tally) >= 14
