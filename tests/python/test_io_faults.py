"""File-system failures as a caller sees them: a full file system, a
missing or read-only directory, a snapshot that shrinks during a restore.

A module call holds the interpreter lock throughout, so faults during a
call come from a watcher process: it starts before the call, waits for a
sign that the call has reached the right stage (the unfinished file
exists; the snapshot is open twice, i.e. its prelude was read and the
payload is next) and then strikes. Copies are delayed so that the call is
still running when it does. The deterministic, position-by-position
versions of these faults are in tests/pipeline/io_faults_test.cc.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vesk
from helpers import build_snapshot, pattern

MiB = 1 << 20
PREFIX = "vesk runtime error: snapshot error during freeze: i/o error during snapshot prelude: "

WATCHER = textwrap.dedent(r"""
    import os, shutil, subprocess, sys, time
    cond, target, action, arg = sys.argv[1:5]
    parent = os.getppid()

    def opened_twice():
        fds = f"/proc/{parent}/fd"
        n = 0
        for fd in os.listdir(fds):
            try:
                n += os.readlink(f"{fds}/{fd}") == target
            except OSError:
                pass
        return n >= 2

    ready = {"exists": lambda: os.path.exists(target), "opened_twice": opened_twice}[cond]
    print("watching", flush=True)
    deadline = time.monotonic() + 20
    while not ready():
        if time.monotonic() > deadline:
            sys.exit(3)
        time.sleep(0.0002)
    if action == "rmtree":
        shutil.rmtree(arg)
    elif action == "read_only":
        subprocess.run(["mount", "--bind", arg, arg], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", arg], check=True)
    elif action == "fill":
        with open(arg, "wb") as f:
            try:
                while True:
                    f.write(b"\x77" * 65536)
                    f.flush()
            except OSError:
                pass
    elif action == "truncate":
        os.truncate(target, int(arg))
    print("struck", flush=True)
""")


class Watcher:
    """A process that performs `action` once `cond` holds for `target`."""

    def __init__(self, cond: str, target: Path, action: str, arg: str):
        self.proc = subprocess.Popen([sys.executable, "-c", WATCHER, cond, str(target), action, arg],
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "watching"

    def struck(self) -> bool:
        out, _ = self.proc.communicate(timeout=30)
        return self.proc.returncode == 0 and out.strip() == "struck"


_private = []


def private_mounts() -> None:
    """Moves this process (and the watchers it starts) into a mount
    namespace of its own, once, so that the test's mounts vanish with the
    process even when it is killed. Where that is refused the fixture's
    clean-up still unmounts."""
    if _private:
        return
    _private.append(True)
    try:
        os.unshare(os.CLONE_NEWNS)
    except (AttributeError, OSError):
        return
    subprocess.run(["mount", "--make-rprivate", "/"], capture_output=True)


def can_mount(tmp_path) -> str | None:
    probe = tmp_path / "mount-probe"
    probe.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(probe)], capture_output=True, text=True)
    if r.returncode != 0:
        return f"cannot mount here: {r.stderr.strip() or r.returncode}"
    subprocess.run(["umount", str(probe)], check=True)
    return None


@pytest.fixture
def mount_point(tmp_path):
    """A directory on which the test may mount; unmounted (repeatedly, for
    stacked mounts) afterwards."""
    private_mounts()
    reason = can_mount(tmp_path)
    if reason:
        pytest.skip(reason)
    d = tmp_path / "mnt"
    d.mkdir()
    yield d
    while subprocess.run(["umount", str(d)], capture_output=True).returncode == 0:
        pass


@pytest.fixture
def no_cache(monkeypatch, runtime):
    """Staging caches off: every page-locked buffer a call takes must be
    gone after it. Returns what was live before (earlier tests' caches)."""
    monkeypatch.setenv("VESK_DISABLE_WC_CACHE", "1")
    return runtime.live("pinned") if runtime.standin else 0


class Regions:
    def __init__(self, device, sizes, seed):
        self.device = device
        self.items = [(("weights", "kv_live_block", "metadata")[i % 3], i, pattern(s, seed + i))
                      for i, s in enumerate(sizes)]
        self.ptrs = [device.region(data) for _, _, data in self.items]

    def mapping(self):
        return [(k, lid, p, len(d)) for (k, lid, d), p in zip(self.items, self.ptrs)]

    def snapshot(self) -> bytes:
        return build_snapshot(self.items)


def expect_nothing_left(runtime, pinned_before):
    if runtime.standin:
        assert runtime.live("streams") == 0
        assert runtime.live("pinned") == pinned_before
        assert runtime.lib.standin_hazards() == 0


def test_freeze_into_a_full_file_system(device, runtime, no_cache, mount_point):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)], check=True)
    target = mount_point / "model.vesk"
    small = Regions(device, [1000, 3000], 1)
    vesk.freeze_to_file_pipelined(str(target), small.mapping())
    old = target.read_bytes()

    big = Regions(device, [MiB, 2 * MiB + 5], 2)
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(target), big.mapping())
    assert str(info.value) == PREFIX + "StorageFull: No space left on device (os error 28)"
    assert info.value.__notes__ == [f"vesk failed while writing at offset 0 of {target}.vesk-incomplete"]
    assert target.read_bytes() == old
    assert sorted(os.listdir(mount_point)) == ["model.vesk"]
    expect_nothing_left(runtime, no_cache)

    # Room made, the same target takes a snapshot that fits.
    target.unlink()
    vesk.freeze_to_file_pipelined(str(target), Regions(device, [300000], 3).mapping())
    assert sorted(os.listdir(mount_point)) == ["model.vesk"]


def test_freeze_where_the_directory_is_missing_or_not_one(device, runtime, no_cache, tmp_path):
    regions = Regions(device, [5000], 1)
    missing = tmp_path / "missing" / "model.vesk"
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(missing), regions.mapping())
    assert str(info.value) == PREFIX + "NotFound: No such file or directory (os error 2)"
    # The message stays the I/O error's; the note says which step failed where.
    assert info.value.__notes__ == [f"vesk failed while creating {missing}.vesk-incomplete"]
    (tmp_path / "plain").write_bytes(b"x")
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(tmp_path / "plain" / "model.vesk"), regions.mapping())
    assert str(info.value) == PREFIX + "NotADirectory: Not a directory (os error 20)"
    # A directory at the target: only the rename finds out.
    (tmp_path / "dir.vesk").mkdir()
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(tmp_path / "dir.vesk"), regions.mapping())
    assert str(info.value) == PREFIX + "IsADirectory: Is a directory (os error 21)"
    assert info.value.__notes__ == [f"vesk failed while renaming {tmp_path}/dir.vesk.vesk-incomplete to "
                                    f"{tmp_path}/dir.vesk"]
    assert sorted(os.listdir(tmp_path)) == ["dir.vesk", "plain"]
    expect_nothing_left(runtime, no_cache)


@pytest.mark.standin
def test_directory_removed_during_the_freeze(device, standin, no_cache, tmp_path):
    d = tmp_path / "snapshots"
    d.mkdir()
    target = d / "model.vesk"
    regions = Regions(device, [3 * MiB, 5000], 1)
    standin.lib.standin_set_delay_us(300_000)
    watcher = Watcher("exists", Path(str(target) + ".vesk-incomplete"), "rmtree", str(d))
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(target), regions.mapping())
    assert watcher.struck()
    assert str(info.value) == PREFIX + "NotFound: No such file or directory (os error 2)"
    assert not d.exists()
    expect_nothing_left(standin, no_cache)


@pytest.mark.standin
def test_directory_turns_read_only_during_the_freeze(device, standin, no_cache, mount_point):
    target = mount_point / "model.vesk"
    tmp = Path(str(target) + ".vesk-incomplete")
    regions = Regions(device, [3 * MiB, 5000], 1)
    vesk.freeze_to_file_pipelined(str(target), Regions(device, [100], 9).mapping())
    old = target.read_bytes()

    standin.lib.standin_set_delay_us(300_000)
    watcher = Watcher("exists", tmp, "read_only", str(mount_point))
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(target), regions.mapping())
    standin.lib.standin_set_delay_us(0)
    assert watcher.struck()
    assert str(info.value) == PREFIX + "ReadOnlyFilesystem: Read-only file system (os error 30)"
    assert target.read_bytes() == old
    expect_nothing_left(standin, no_cache)
    # A read-only file system refuses the removal of the unfinished file
    # too; once writable again, the next freeze reuses and replaces it.
    subprocess.run(["umount", str(mount_point)], check=True)
    vesk.freeze_to_file_pipelined(str(target), regions.mapping())
    assert not tmp.exists()
    assert target.read_bytes() == regions.snapshot()


@pytest.mark.standin
def test_file_system_fills_up_during_the_freeze(device, standin, no_cache, mount_point):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mount_point)], check=True)
    target = mount_point / "model.vesk"
    vesk.freeze_to_file_pipelined(str(target), Regions(device, [100], 9).mapping())
    old = target.read_bytes()
    regions = Regions(device, [3 * MiB, 5000], 1)

    standin.lib.standin_set_delay_us(300_000)
    watcher = Watcher("exists", Path(str(target) + ".vesk-incomplete"), "fill", str(mount_point / "filler"))
    with pytest.raises(RuntimeError) as info:
        vesk.freeze_to_file_pipelined(str(target), regions.mapping())
    standin.lib.standin_set_delay_us(0)
    assert watcher.struck()
    assert str(info.value) == PREFIX + "StorageFull: No space left on device (os error 28)"
    assert target.read_bytes() == old
    assert sorted(os.listdir(mount_point)) == ["filler", "model.vesk"]
    expect_nothing_left(standin, no_cache)


@pytest.mark.standin
@pytest.mark.parametrize("direct_io", [True, False])
def test_snapshot_shrinks_after_its_prelude_was_read(device, standin, no_cache, tmp_path, direct_io):
    regions = Regions(device, [3 * MiB + 7, 5000, 2 * MiB], 1)
    path = tmp_path / "model.vesk"
    path.write_bytes(regions.snapshot())
    targets = [(k, lid, device.alloc(size), size) for k, lid, _, size in regions.mapping()]

    standin.lib.standin_set_delay_us(100_000)
    watcher = Watcher("opened_twice", path, "truncate", str(4096 + 32 * 3 + 1000))
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_file_pipelined(str(path), targets, chunk_size_mb=1, direct_io=direct_io)
    standin.lib.standin_set_delay_us(0)
    assert watcher.struck()
    message = str(info.value)
    assert message.startswith("vesk runtime error: snapshot parse failed: i/o error during snapshot prelude: "
                              "UnexpectedEof: "), message
    expect_nothing_left(standin, no_cache)


def test_restore_from_missing_short_or_unreadable_files(device, tmp_path):
    mapping = [("weights", 0, device.alloc(100), 100)]
    prefix = "vesk runtime error: snapshot parse failed: i/o error during snapshot prelude: "
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_file_pipelined(str(tmp_path / "missing.vesk"), mapping)
    assert str(info.value) == prefix + "NotFound: No such file or directory (os error 2)"
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_file_pipelined(str(tmp_path), mapping)
    assert str(info.value) == prefix + "IsADirectory: Is a directory (os error 21)"
    short = tmp_path / "short.vesk"
    short.write_bytes(build_snapshot([("weights", 0, pattern(100, 1))])[:4000])
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_file_pipelined(str(short), mapping)
    assert str(info.value).startswith(prefix + "UnexpectedEof: ")
