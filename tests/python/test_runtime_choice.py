"""Which CUDA runtime the module binds at import, in a fresh process each:
an explicit choice, then a runtime the process already holds (major 12
before 13), then the package's own folder. The CUDA 13 runtime is the
stand-in built under that name, as a framework built for CUDA 13 brings it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vesk

PACKAGE_PARENT = Path(vesk.__file__).resolve().parents[1]
PRIVATE_12 = PACKAGE_PARENT / "vesk_native.libs" / "libcudart.so.12"
STANDIN_13 = PACKAGE_PARENT.parent / "standin13" / "libcudart.so.13"

pytestmark = [
    pytest.mark.standin,
    pytest.mark.skipif(not STANDIN_13.exists(), reason="needs the build tree's CUDA 13 stand-in"),
]


def bound_runtime(package_parent: Path, preload: list[Path], chosen: Path | None = None) -> Path:
    """Loads `preload` as a framework would, then imports vesk from
    `package_parent`; the file the module bound."""
    env = {k: v for k, v in os.environ.items() if k != "VESK_CUDA_RUNTIME"}
    env["PYTHONPATH"] = str(package_parent)
    if chosen is not None:
        env["VESK_CUDA_RUNTIME"] = str(chosen)
    script = ("import ctypes, sys\n"
              "for lib in sys.argv[1:]: ctypes.CDLL(lib)\n"
              "import vesk\n"
              "print(vesk.vesk._runtime_path())\n")
    run = subprocess.run([sys.executable, "-c", script, *map(str, preload)], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return Path(run.stdout.strip()).resolve()


@pytest.fixture
def runtime_12_elsewhere(tmp_path) -> Path:
    """A CUDA 12 runtime outside the package, as PyTorch built for CUDA 12
    would load it from its own folder."""
    path = tmp_path / "framework" / "libcudart.so.12"
    path.parent.mkdir()
    shutil.copyfile(PRIVATE_12, path)
    return path


def test_order_of_choice(runtime_12_elsewhere):
    # Nothing loaded: the package's own CUDA 12 runtime.
    assert bound_runtime(PACKAGE_PARENT, []) == PRIVATE_12.resolve()
    # A framework's CUDA 13 runtime, already loaded, is shared rather than a
    # second runtime loaded beside it.
    assert bound_runtime(PACKAGE_PARENT, [STANDIN_13]) == STANDIN_13.resolve()
    # With both majors loaded, 12 is preferred.
    assert bound_runtime(PACKAGE_PARENT, [STANDIN_13, runtime_12_elsewhere]) == runtime_12_elsewhere.resolve()
    # An explicit choice wins over everything, a loaded runtime included.
    assert bound_runtime(PACKAGE_PARENT, [runtime_12_elsewhere], chosen=STANDIN_13) == STANDIN_13.resolve()


def system_has_cuda_12() -> bool:
    dirs = [d for d in os.environ.get("LD_LIBRARY_PATH", "").split(":") if d]
    if any((Path(d) / "libcudart.so.12").exists() for d in dirs):
        return True
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"
    listed = subprocess.run([ldconfig, "-p"], capture_output=True, text=True) if os.path.exists(ldconfig) else None
    return listed is not None and "libcudart.so.12 " in listed.stdout


def test_cuda_13_is_loaded_only_when_no_12_is_found(tmp_path):
    if system_has_cuda_12():
        pytest.skip("the system's search path holds a libcudart.so.12")
    # A copy of the package whose own folder holds only a CUDA 13 runtime.
    root = tmp_path / "site"
    shutil.copytree(PACKAGE_PARENT / "vesk", root / "vesk", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copytree(PACKAGE_PARENT / "vesk_native.libs", root / "vesk_native.libs",
                    ignore=shutil.ignore_patterns("libcudart*"))
    shutil.copyfile(STANDIN_13, root / "vesk_native.libs" / "libcudart.so.13")
    assert bound_runtime(root, []) == (root / "vesk_native.libs" / "libcudart.so.13").resolve()
