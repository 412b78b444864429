"""A freeze killed at any moment leaves the old snapshot or the new one.

A child process freezes a two-chunk snapshot (just over the 64 MiB chunk)
over a target that already holds another complete snapshot, and is killed
with SIGKILL at moments spread over the freeze's duration. Afterwards the
target must hold exactly one of the two snapshots (compared byte for
byte, restored, and checked by `python -m vesk verify`), nothing but the
unfinished file may remain beside it, and the next freeze to the same path
must succeed over that leftover.
"""

from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

import vesk
from helpers import pattern

pytestmark = pytest.mark.standin

MiB = 1 << 20
LAYOUT = [("weights", 0, 3 * MiB + 11), ("kv_live_block", 1, 60 * MiB), ("metadata", 2, 2 * MiB + 5),
          ("weights", 3, 0), ("kv_live_block", 4, 4099)]
COPY_DELAY_US = 20000
TRIALS = 24
TIME_BUDGET_S = 30
MIN_TRIALS = 10
HERE = Path(__file__).resolve().parent

CHILD = textwrap.dedent("""
    import ctypes, json, sys, time
    import vesk
    sys.path.insert(0, sys.argv[4])
    from helpers import Device, Runtime, pattern

    path, seed, layout = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    rt = Runtime(ctypes.CDLL(vesk.vesk._runtime_path()), standin=True)
    dev = Device(rt)
    requests = [(kind, lid, dev.region(pattern(size, seed + i)), size) for i, (kind, lid, size) in enumerate(layout)]
    rt.lib.standin_set_delay_us(int(sys.argv[5]))
    print("start", flush=True)
    t0 = time.monotonic()
    vesk.freeze_to_file_pipelined(path, requests)
    print(f"done {time.monotonic() - t0:.6f}", flush=True)
""")


def child_env() -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def start_freeze(path: Path, seed: int) -> subprocess.Popen:
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path), str(seed), json.dumps(LAYOUT), str(HERE), str(COPY_DELAY_US)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    line = proc.stdout.readline()
    assert line.strip() == "start", proc.stderr.read()
    return proc


def freeze_to_completion(path: Path, seed: int) -> float:
    proc = start_freeze(path, seed)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    return float(out.split()[1])


def cli_verify(path: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "vesk", "verify", str(path)], capture_output=True, text=True,
                          env=child_env(), timeout=120)


@pytest.fixture
def snapshot_dir(tmp_path):
    """A directory in memory where there is one: what a kill may leave does
    not depend on the medium, and the duration of a freeze, which spreads
    the kills, is steadier there than on a disk busy syncing."""
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        with tempfile.TemporaryDirectory(dir="/dev/shm", prefix="vesk-crash-") as d:
            yield Path(d)
    else:
        yield tmp_path


def test_killed_freeze_leaves_old_or_new_snapshot(snapshot_dir, device):
    target = snapshot_dir / "model.vesk"
    tmp = Path(str(target) + ".vesk-incomplete")
    side = snapshot_dir / "side.vesk"

    # The two generations, each frozen completely once; the runs also
    # measure how long a freeze takes here.
    seeds = (1, 2)
    first = freeze_to_completion(side, seeds[1])
    generations = {seeds[1]: side.read_bytes()}
    duration = (first + freeze_to_completion(target, seeds[0])) / 2
    generations[seeds[0]] = target.read_bytes()
    side.unlink()
    assert generations[1] != generations[2]
    assert not tmp.exists()

    targets = [(kind, lid, device.alloc(size), size) for kind, lid, size in LAYOUT]

    def check_restores_as(seed: int) -> None:
        for _, _, ptr, size in targets:
            device.fill(ptr, 0xEE, size)
        vesk.restore_from_file_pipelined(str(target), targets, chunk_size_mb=8)
        for i, (kind, lid, ptr, size) in enumerate(targets):
            assert device.download(ptr, size) == pattern(size, seed + i), f"region {kind}/{lid}"

    rng = random.Random(20240607)
    print(f"\ncrash consistency: freeze takes {duration:.3f}s here; seed 20240607")
    current = seeds[0]
    outcomes = {"old": 0, "new": 0, "leftover": 0}
    started = time.monotonic()
    trial = 0

    def kill_moments():
        # Spread evenly over the freeze and half as long again, jittered.
        while trial < TRIALS and (trial < MIN_TRIALS or time.monotonic() - started < TIME_BUDGET_S):
            yield duration * 1.5 * (trial + rng.random()) / TRIALS
        # A busy machine stretches the freeze past the measured duration, so
        # top up until kills have struck both before and after the commit:
        # at once (before any byte is written), then ever later.
        for extra in range(8):
            if outcomes["old"] == 0:
                yield 0.0
            elif outcomes["new"] == 0:
                yield duration * 2 ** (extra + 1)
            else:
                return

    for at in kill_moments():
        incoming = seeds[1] if current == seeds[0] else seeds[0]
        proc = start_freeze(target, incoming)
        time.sleep(at)
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=60)
        ctx = f"trial {trial}: killed {at:.3f}s into a {duration:.3f}s freeze"

        names = set(os.listdir(snapshot_dir))
        assert names <= {target.name, tmp.name}, f"{ctx}: unexpected files {names}"
        assert target.name in names, f"{ctx}: the target is gone"
        content = target.read_bytes()
        if content == generations[current]:
            outcomes["old"] += 1
        elif content == generations[incoming]:
            outcomes["new"] += 1
            current = incoming
        else:
            pytest.fail(f"{ctx}: the target holds neither snapshot ({len(content)} bytes)")
        if tmp.exists():
            outcomes["leftover"] += 1

        check_restores_as(current)
        verified = cli_verify(target)
        assert verified.returncode == 0, f"{ctx}: verify said {verified.stdout} {verified.stderr}"
        trial += 1

    print(f"crash consistency: {trial} kills: {outcomes['old']} left the old snapshot, {outcomes['new']} the new "
          f"one; {outcomes['leftover']} left an unfinished file")
    # The kills must have struck both before and after the commit.
    assert outcomes["old"] >= 1 and outcomes["new"] >= 1, outcomes

    # A freeze over whatever was left behind succeeds and cleans up.
    incoming = seeds[1] if current == seeds[0] else seeds[0]
    freeze_to_completion(target, incoming)
    assert target.read_bytes() == generations[incoming]
    assert not tmp.exists()
    assert cli_verify(target).returncode == 0
