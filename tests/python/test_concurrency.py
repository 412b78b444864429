"""Several Python threads using the module at once.

Every call holds the interpreter lock, so the calls of different threads
run one after another, interleaved with threads that only run Python
code. Each thread has its own staging caches, which must go with the
thread; a PinnedMmap belongs to the thread that made it and is refused,
with the module's internal error (not an Exception), anywhere else.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import vesk
from helpers import build_snapshot, pattern

MiB = 1 << 20
WORKERS = 3
ROUNDS = 4


def layout(seed):
    return [("weights", 0, MiB + 7 * seed), ("kv_live_block", seed, 3000 + seed), ("metadata", 2, 0),
            ("weights", 9, 2 * MiB - seed)]


def run_threads(targets):
    """Runs the callables on threads of their own; returns what each raised."""
    errors: list[BaseException] = []

    def wrap(fn):
        def body():
            try:
                fn()
            except BaseException as e:  # noqa: B902 - reported to the test
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "a thread did not finish"
    return errors


def test_restores_and_freezes_from_many_threads(device, runtime, tmp_path):
    if runtime.standin:
        runtime.lib.standin_set_delay_us(200)
        pinned_before = runtime.live("pinned")
    stop = threading.Event()
    hog_rounds = [0, 0]

    def hog(i):
        # Pure Python work: holds the interpreter between the module calls.
        def body():
            while not stop.is_set():
                sum(x * x for x in range(20000))
                hog_rounds[i] += 1
        return body

    def worker(seed):
        def body():
            items = [(k, lid, pattern(size, seed * 10 + j)) for j, (k, lid, size) in enumerate(layout(seed))]
            sources = [(k, lid, device.region(data), len(data)) for k, lid, data in items]
            targets = [(k, lid, device.alloc(len(data)), len(data)) for k, lid, data in items]
            snap = build_snapshot(items)
            path = tmp_path / f"worker{seed}.vesk"

            def check(result):
                assert result == {"regions_restored": len(items), "bytes_copied": sum(len(d) for *_, d in items)}
                for (_, _, ptr, size), (_, _, data) in zip(targets, items):
                    assert device.download(ptr, size) == data, f"worker {seed}: wrong bytes"
                for _, _, ptr, size in targets:
                    device.fill(ptr, 0, size)

            pinned = vesk.PinnedMmap(bytearray(snap))
            for _ in range(ROUNDS):
                vesk.freeze_to_file_pipelined(str(path), sources)
                assert path.read_bytes() == snap
                check(vesk.restore_from_file_pipelined(str(path), targets, chunk_size_mb=1))
                check(vesk.restore_from_bytes_pipelined(snap, targets, 1))
                check(vesk.restore_from_bytes_pipelined_zerocopy(bytearray(snap), targets))
                check(vesk.restore_from_pinned_mmap(pinned, targets))
            del pinned
        return body

    errors: list[BaseException] = []

    def guarded(fn):
        def body():
            try:
                fn()
            except BaseException as e:  # noqa: B902 - reported to the test
                errors.append(e)
        return body

    workers = [threading.Thread(target=guarded(worker(s))) for s in range(1, WORKERS + 1)]
    hogs = [threading.Thread(target=hog(i)) for i in range(2)]
    try:
        for t in hogs + workers:
            t.start()
        for t in workers:
            t.join(timeout=300)
            assert not t.is_alive(), "a worker did not finish"
    finally:
        stop.set()
        for t in hogs:
            t.join()
    assert not errors, errors
    assert hog_rounds[0] > 0 and hog_rounds[1] > 0
    if runtime.standin:
        runtime.lib.standin_set_delay_us(0)
        # Each worker's staging buffers go with its thread: freed as the
        # thread ends, which may be just after join() has returned.
        deadline = time.monotonic() + 10
        while runtime.live("pinned") != pinned_before and time.monotonic() < deadline:
            time.sleep(0.01)
        assert runtime.live("pinned") == pinned_before
        assert runtime.live("streams") == 0 and runtime.live("registered") == 0
        assert runtime.lib.standin_hazards() == 0


def test_pinned_mmap_is_refused_on_other_threads_amid_restores(device, runtime):
    payload = pattern(70000, 3)
    snap = build_snapshot([("metadata", 1, payload)])
    owned = vesk.PinnedMmap(snap)
    refusals: list[BaseException] = []
    lock = threading.Lock()

    def intruder():
        target = device.alloc(len(payload))
        for use in (lambda: len(owned), lambda: owned.size,
                    lambda: vesk.restore_from_pinned_mmap(owned, [("metadata", 1, target, len(payload))])):
            try:
                use()
            except BaseException as e:  # noqa: B902 - the class deliberately is not an Exception
                with lock:
                    refusals.append(e)

    def own_pinned():
        # A PinnedMmap made, used and dropped on one thread is fine there.
        target = device.alloc(len(payload))
        mine = vesk.PinnedMmap(bytearray(snap))
        for _ in range(3):
            assert vesk.restore_from_pinned_mmap(mine, [("metadata", 1, target, len(payload))])["bytes_copied"] == \
                len(payload)
            assert device.download(target, len(payload)) == payload
        del mine

    errors = run_threads([intruder, own_pinned, intruder, own_pinned, intruder])
    assert not errors, errors
    assert len(refusals) == 9
    kinds = {type(e) for e in refusals}
    assert len(kinds) == 1
    kind = kinds.pop()
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    for e in refusals:
        assert "unsendable" in str(e) and "another thread" in str(e)

    # Still intact on its own thread.
    target = device.alloc(len(payload))
    assert vesk.restore_from_pinned_mmap(owned, [("metadata", 1, target, len(payload))])["regions_restored"] == 1
    assert device.download(target, len(payload)) == payload
    if runtime.standin:
        assert runtime.live("registered") == 1
    del owned
    if runtime.standin:
        assert runtime.live("registered") == 0


REPLACER = textwrap.dedent("""
    import os, sys, time
    target, a, b = sys.argv[1:4]
    tmp = target + ".next"
    print("replacing", flush=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for src in (a, b):
            os.link(src, tmp)
            os.rename(tmp, target)
""")


def test_restore_reads_one_file_while_the_path_is_replaced(device, tmp_path, monkeypatch):
    """Two snapshots of the same regions, listed in opposite orders, are
    renamed over the path in a tight loop while restores run: each restore
    delivers one of them exactly, with and without verification. The many
    regions make the table long, and with it the time between reading the
    table and reading the payload."""
    sizes = [100 + (i * 37) % 300 for i in range(20000)]
    starts = [0]
    for n in sizes[:-1]:
        starts.append(starts[-1] + n)
    blobs = [random.Random(seed).randbytes(sum(sizes)) for seed in (1, 2)]
    # One allocation holds every region, so one upload or download moves them all.
    base = device.alloc(sum(sizes))
    mapping = [("weights", i, base + off, n) for i, (off, n) in enumerate(zip(starts, sizes))]
    a, b = tmp_path / "a.vesk", tmp_path / "b.vesk"
    device.upload(base, blobs[0])
    vesk.freeze_to_file_pipelined(str(a), mapping)
    device.upload(base, blobs[1])
    vesk.freeze_to_file_pipelined(str(b), mapping[::-1])
    target = tmp_path / "model.vesk"
    target.write_bytes(a.read_bytes())  # a copy: a rename between two links of one file does nothing
    replacer = subprocess.Popen([sys.executable, "-c", REPLACER, str(target), str(a), str(b)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert replacer.stdout.readline().strip() == "replacing"
        restores = 0
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            monkeypatch.setenv("VESK_VERIFY", "0" if restores % 2 else "1")
            vesk.restore_from_file_pipelined(str(target), mapping, chunk_size_mb=1)
            got = device.download(base, sum(sizes))
            if got not in blobs:
                pytest.fail(f"restore {restores} mixed two snapshots")
            restores += 1
        assert replacer.poll() is None, replacer.stderr.read()
    finally:
        replacer.kill()
        replacer.wait()
    assert restores >= 10
