"""The package as users get it: installed into a fresh virtual environment
(an editable install from the source tree, and each repaired wheel that
`make wheel` builds, in an environment of its own Python), binding the CUDA
runtime from the nvidia-cuda-runtime-cu12 package rather than the stand-in.
These need the package index: `make wheel-test` runs them (pytest -m
network)."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from helpers import build_snapshot
from readme_examples import examples_module

REPO = Path(__file__).resolve().parents[2]

CHECK = textwrap.dedent("""
    import glob, os, struct, sys, sysconfig
    import vesk, vesk.named
    site = sysconfig.get_paths()["platlib"]
    print("python_files", os.path.dirname(vesk.named.__file__))
    assert vesk.vesk.__file__.startswith(site), vesk.vesk.__file__
    for rel in ("vesk/__init__.pyi", "vesk/vesk.pyi", "vesk/named.pyi", "vesk/torch.pyi", "vesk/py.typed"):
        assert os.path.exists(os.path.join(os.path.dirname(vesk.__file__), rel[5:])), rel
    libs = os.path.join(site, "vesk_native.libs")
    assert glob.glob(os.path.join(libs, "libisal*.so*")), os.listdir(libs)
    assert not glob.glob(os.path.join(libs, "libcudart*"))
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


def fresh_venv(tmp_path, python=sys.executable):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 2)
    probe = run([sys.executable, "-m", "pip", "download", "--no-deps", "--dest", str(tmp_path / "probe"),
                 "scikit-build-core"], env=env, timeout=120)
    if probe.returncode != 0:
        pytest.skip("pip cannot reach the package index: " + (probe.stderr.strip().splitlines() or ["?"])[-1])
    made = run([python, "-m", "venv", "--clear", str(tmp_path / "venv")], env=env, timeout=300)
    assert made.returncode == 0, made.stderr
    return str(tmp_path / "venv" / "bin"), env


def check_installed(bin_dir, env, tmp_path):
    check = run([os.path.join(bin_dir, "python"), "-c", CHECK], env=env, cwd=tmp_path, timeout=120)
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
    # The console command, on a snapshot (no GPU needed to inspect one).
    snap = tmp_path / "one.vesk"
    snap.write_bytes(build_snapshot([("weights", 3, b"w" * 100)]))
    inspect = run([os.path.join(bin_dir, "vesk"), "inspect", "--json", str(snap)], env=env, timeout=60)
    assert inspect.returncode == 0, inspect.stderr
    assert json.loads(inspect.stdout)["regions"][0]["logical_id"] == 3
    return out


@pytest.mark.network
def test_editable_install_serves_the_python_files_from_the_tree(tmp_path):
    bin_dir, env = fresh_venv(tmp_path)
    install = run([os.path.join(bin_dir, "python"), "-m", "pip", "install", "-q", "-e", str(REPO)],
                  env=env, timeout=900)
    assert install.returncode == 0, install.stdout[-4000:] + install.stderr[-4000:]
    out = check_installed(bin_dir, env, tmp_path)
    assert out["python_files"] == str(REPO / "python" / "vesk")


def python_tag(python: str) -> str:
    return run([python, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])"], timeout=60).stdout.strip()


def wheels_with_their_python() -> list[tuple[Path, str]]:
    """(wheel, interpreter) for each wheel in $VESK_WHEELS, the interpreter
    taken from $VESK_WHEEL_PYTHONS by its tag."""
    wheels = [Path(w).resolve() for w in os.environ.get("VESK_WHEELS", "").split(os.pathsep) if w]
    if not wheels:
        return []
    pythons = {python_tag(p): p for p in os.environ.get("VESK_WHEEL_PYTHONS", sys.executable).split()}
    return [(w, pythons.get(w.name.split("-")[2], "")) for w in wheels]


WHEELS = wheels_with_their_python()


@pytest.mark.network
@pytest.mark.skipif(not WHEELS, reason="needs the repaired wheels: make wheel-test")
def test_there_is_a_wheel_for_every_python():
    # One wheel per interpreter, and an interpreter for each wheel.
    assert all(python for _, python in WHEELS), WHEELS
    assert len(WHEELS) == len(os.environ.get("VESK_WHEEL_PYTHONS", sys.executable).split()), WHEELS


@pytest.mark.network
@pytest.mark.parametrize("wheel, python", WHEELS, ids=[w.name.split("-")[2] for w, _ in WHEELS])
def test_repaired_wheel_installs_with_its_declared_dependencies(tmp_path, wheel, python):
    assert wheel.name.endswith("-manylinux_2_34_x86_64.whl"), wheel.name
    assert python, f"no interpreter given for {wheel.name}"
    bin_dir, env = fresh_venv(tmp_path, python)
    install = run([os.path.join(bin_dir, "python"), "-m", "pip", "install", "-q", str(wheel)], env=env, timeout=600)
    assert install.returncode == 0, install.stdout[-4000:] + install.stderr[-4000:]
    out = check_installed(bin_dir, env, tmp_path)
    assert "site-packages/vesk" in out["python_files"]
    version = run([os.path.join(bin_dir, "vesk"), "--version"], env=env, timeout=60)
    assert version.returncode == 0 and version.stdout.startswith("vesk ")
    check_types_as_installed(bin_dir, env, tmp_path)


def check_types_as_installed(bin_dir, env, tmp_path):
    """A type checker finds the installed package's stubs (py.typed) and
    accepts the README's examples with them."""
    try:
        import mypy  # noqa: F401
    except ImportError:
        return
    (tmp_path / "examples.py").write_text(examples_module(REPO / "README.md"))
    check = run([sys.executable, "-m", "mypy", "--config-file", str(REPO / "pyproject.toml"), "--python-executable",
                 os.path.join(bin_dir, "python"), "--cache-dir", str(tmp_path / "cache"), "examples.py"],
                env={k: v for k, v in env.items() if k != "MYPYPATH"}, cwd=tmp_path, timeout=600)
    assert check.returncode == 0, check.stdout + check.stderr
