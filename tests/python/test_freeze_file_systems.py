"""Freezes on file systems that lock badly or not at all, run as separate
processes with a preloaded library (tests/fs_shim) that makes flock fail or
slow, and the commit's treatment of the directory and of the replaced file.
"""

from __future__ import annotations

import errno
import os
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vesk
from helpers import build_snapshot, pattern

MiB = 1 << 20
HERE = Path(__file__).resolve().parent
# Built beside the package in the build tree (build/tests).
SHIM = Path(vesk.vesk.__file__).resolve().parents[2] / "tests" / "libvesk_fs_shim.so"
needs_shim = pytest.mark.skipif(not SHIM.exists(), reason=f"no file-system shim at {SHIM} (build tree only)")

FREEZER = textwrap.dedent("""
    import ctypes, sys
    import vesk
    sys.path.insert(0, sys.argv[3])
    from helpers import Device, Runtime, pattern

    path, seed = sys.argv[1], int(sys.argv[2])
    rt = Runtime(ctypes.CDLL(vesk.vesk._runtime_path()), standin=True)
    dev = Device(rt)
    sizes = [int(s) for s in sys.argv[4].split(",")]
    requests = [("weights", i, dev.region(pattern(size, seed + i)), size) for i, size in enumerate(sizes)]
    rt.lib.standin_set_delay_us(int(sys.argv[5]))
    print("ready", flush=True)
    sys.stdin.readline()
    try:
        vesk.freeze_to_file_pipelined(path, requests)
        print("ok", flush=True)
    except RuntimeError as e:
        print("error", e, flush=True)
""")
REFUSALS = ("by another freeze", "by other freezes", "offers no file locks")


def child_env(**shim: str) -> dict[str, str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    if shim:
        env.update(shim, LD_PRELOAD=str(SHIM))
    return env


def freeze_together(target: Path, seeds: list[int], sizes: list[int], env: dict[str, str],
                    copy_delay_us: int = 3000) -> dict[int, str]:
    """Starts one freezer process per seed, lets them all go at once, and
    returns each one's outcome line."""
    procs = [subprocess.Popen([sys.executable, "-c", FREEZER, str(target), str(s), str(HERE),
                               ",".join(map(str, sizes)), str(copy_delay_us)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=env) for s in seeds]
    for p in procs:
        assert p.stdout.readline().strip() == "ready", p.stderr.read()
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    results = {}
    for s, p in zip(seeds, procs):
        out, err = p.communicate(timeout=300)
        assert p.returncode == 0, err
        results[s] = out.strip()
    return results


# (shim settings, a stale unfinished file before each round, device copy delay in us)
LOCK_MODES = {
    "working locks": ({}, False, 3000),
    # A file system without a lock service: flock fails outright.
    "ENOLCK": ({"VESK_SHIM_FLOCK_ERRNO": str(errno.ENOLCK)}, False, 3000),
    "EOPNOTSUPP": ({"VESK_SHIM_FLOCK_ERRNO": str(errno.EOPNOTSUPP)}, False, 3000),
    "ENOSYS": ({"VESK_SHIM_FLOCK_ERRNO": str(errno.ENOSYS)}, False, 3000),
    # A loaded network file system, where each round finds the unfinished
    # file of a freeze that died: quick freezes, which the others may wait
    # out, and slow ones, which they must refuse.
    "slow locks, stale file": ({"VESK_SHIM_FLOCK_DELAY_MS": "30"}, True, 3000),
    "slow locks, stale file, slow freezes": ({"VESK_SHIM_FLOCK_DELAY_MS": "30"}, True, 500_000),
}


@needs_shim
@pytest.mark.standin
@pytest.mark.parametrize("mode", LOCK_MODES)
def test_concurrent_freezes_of_one_target_publish_whole_snapshots(tmp_path, mode):
    """Processes freezing different data to one path at the same moment, on
    file systems whose locks work, fail or are slow: each either succeeds or
    fails with a clear error, at least one succeeds every round, the target
    holds exactly the snapshot of one that succeeded, and nothing is left
    beside it."""
    shim, stale, copy_delay_us = LOCK_MODES[mode]
    target = tmp_path / "model.vesk"
    sizes = [MiB + 5, 3000, 2 * MiB]
    seeds = [10, 20, 30, 40]
    rounds = int(os.environ.get("VESK_TEST_FREEZE_ROUNDS", "3"))
    generations = {s: build_snapshot([("weights", i, pattern(n, s + i)) for i, n in enumerate(sizes)]) for s in seeds}
    counted = {"published exact": 0, "refused": 0, "wrong": 0}
    for _ in range(rounds):
        if stale:
            Path(str(target) + ".vesk-incomplete").write_bytes(b"left by a freeze that died")
        results = freeze_together(target, seeds, sizes, child_env(**shim), copy_delay_us)
        succeeded = [s for s, r in results.items() if r == "ok"]
        for r in results.values():
            if r != "ok":
                counted["refused"] += 1
                assert any(text in r for text in REFUSALS), r
        assert succeeded, results
        assert os.listdir(tmp_path) == [target.name]
        exact = any(target.read_bytes() == generations[s] for s in succeeded)
        counted["published exact" if exact else "wrong"] += 1
    print(f"\n{mode}: {rounds} rounds of {len(seeds)} freezes: {counted}")
    assert counted["wrong"] == 0
    if mode in ("working locks", "slow locks, stale file, slow freezes"):
        assert counted["refused"] > 0, "the freezes never overlapped"


@needs_shim
@pytest.mark.standin
def test_without_locks_a_file_found_at_the_temporary_name_is_left_alone(tmp_path):
    """Whether the freeze that made it still runs cannot be told without
    locks: the freeze fails and neither that file nor the target changes."""
    target = tmp_path / "model.vesk"
    target.write_bytes(b"old snapshot")
    tmp = Path(str(target) + ".vesk-incomplete")
    tmp.write_bytes(b"another freeze's bytes")
    results = freeze_together(target, [5], [4000], child_env(VESK_SHIM_FLOCK_ERRNO=str(errno.ENOLCK)))
    assert results[5].startswith("error ") and "offers no file locks" in results[5], results
    assert tmp.read_bytes() == b"another freeze's bytes"
    assert target.read_bytes() == b"old snapshot"


@needs_shim
def test_a_bare_file_name_syncs_the_current_directory(tmp_path):
    log = tmp_path / "synced-directories"
    work = tmp_path / "work"
    work.mkdir()
    script = "import vesk; vesk.freeze_to_file_pipelined('snap.vesk', [])"
    env = child_env(VESK_SHIM_FSYNC_LOG=str(log))
    subprocess.run([sys.executable, "-c", script], cwd=work, env=env, check=True)
    st = work.stat()
    assert f"{st.st_dev}:{st.st_ino}" in log.read_text().split()
    assert (work / "snap.vesk").stat().st_size == 4096


def test_a_replacement_keeps_the_permissions_of_the_replaced_snapshot(tmp_path, device):
    target = tmp_path / "model.vesk"
    regions = [("weights", 1, device.region(pattern(5000, 1)), 5000)]
    old_umask = os.umask(0o022)
    try:
        vesk.freeze_to_file_pipelined(str(target), regions)
        assert stat.S_IMODE(target.stat().st_mode) == 0o644  # a new file: the umask's default
        for mode in (0o600, 0o640, 0o444):
            target.chmod(mode)
            vesk.freeze_to_file_pipelined(str(target), regions)
            assert stat.S_IMODE(target.stat().st_mode) == mode
    finally:
        os.umask(old_umask)
