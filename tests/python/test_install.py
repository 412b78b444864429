"""The package as users get it: pip-installed into a fresh virtual
environment, binding the CUDA runtime from the nvidia-cuda-runtime-cu12
package rather than the stand-in."""

import os
import subprocess
import sys
import textwrap
import venv
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

CHECK = textwrap.dedent("""
    import os, struct, sys, sysconfig
    import vesk
    site = sysconfig.get_paths()["platlib"]
    assert vesk.__file__.startswith(site), vesk.__file__
    for rel in ("vesk/__init__.pyi", "vesk/py.typed", "vesk_native.libs/libisal.so.2"):
        assert os.path.exists(os.path.join(site, rel)), rel
    assert not os.path.exists(os.path.join(site, "vesk_native.libs", "libcudart.so.12"))
    print("runtime", vesk.vesk._runtime_path())
    payload = bytes(range(256)) * 16
    header = b"VESK" + struct.pack("<IQQ", 2, 1, 4096) + bytes(40)
    header += bytes(4096 - len(header))
    snap = header + struct.pack("<IIQQII", 0, 0, len(payload), 4096 + 32, 0, 0) + payload
    target = bytearray(len(payload))
    addr = (__import__("ctypes").c_char * len(target)).from_buffer(target)
    try:
        print("result", vesk.restore_from_bytes_pipelined_zerocopy(
            snap, [("weights", 0, __import__("ctypes").addressof(addr), len(payload))]))
    except RuntimeError as e:
        print("RuntimeError", e)
""")


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


@pytest.mark.network
def test_pip_install_into_a_fresh_venv(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 2)
    probe = run([sys.executable, "-m", "pip", "download", "--no-deps", "--dest", str(tmp_path / "probe"),
                 "scikit-build-core"], env=env, timeout=120)
    if probe.returncode != 0:
        pytest.skip("pip cannot reach the package index: " + (probe.stderr.strip().splitlines() or ["?"])[-1])

    venv.EnvBuilder(with_pip=True, clear=True).create(tmp_path / "venv")
    python = str(tmp_path / "venv" / "bin" / "python")
    install = run([python, "-m", "pip", "install", "-q", str(REPO)], env=env, timeout=900)
    assert install.returncode == 0, install.stdout[-4000:] + install.stderr[-4000:]

    check = run([python, "-c", CHECK], env=env, cwd=tmp_path, timeout=120)
    assert check.returncode == 0, check.stdout + check.stderr
    out = dict(line.split(" ", 1) for line in check.stdout.splitlines())
    assert "nvidia/cuda_runtime/lib/libcudart.so" in out["runtime"]
    if not os.path.exists("/dev/nvidia0"):
        # The real runtime without a GPU: a clean error naming the call and
        # the runtime's status, not a crash. The first call is the question
        # of where the region lives.
        assert "RuntimeError" in out, check.stdout
        assert out["RuntimeError"].startswith("vesk runtime error: ")
        assert "cuda runtime error during cudaPointerGetAttributes: CudaStatus(" in out["RuntimeError"]
