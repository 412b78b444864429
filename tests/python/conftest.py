"""Shared set-up of the Python tests.

The extension is imported from $VESK_PYTHON_DIR, else from PYTHONPATH, else
from the build tree (build/python under the repository root). Device memory comes from whichever
CUDA runtime the extension bound: normally the stand-in runtime built with
the tests, which plays device memory with host memory; with
VESK_TEST_REAL_CUDA=1 the real runtime of a GPU machine, in which case the
tests that drive the stand-in's controls are skipped.
"""

from __future__ import annotations

import ctypes
import importlib.util
import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# $VESK_PYTHON_DIR wins; otherwise a vesk already on the path (PYTHONPATH)
# is used, and failing that the build tree beside the sources.
if os.environ.get("VESK_PYTHON_DIR"):
    sys.path.insert(0, str(Path(os.environ["VESK_PYTHON_DIR"]).resolve()))
elif importlib.util.find_spec("vesk") is None:
    sys.path.insert(0, str(REPO / "build" / "python"))

import vesk  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from helpers import Device, Runtime  # noqa: E402

REAL_CUDA = os.environ.get("VESK_TEST_REAL_CUDA", "") not in ("", "0")


def pytest_configure(config):
    config.addinivalue_line("markers", "standin: drives the stand-in runtime's controls")
    config.addinivalue_line("markers", "network: needs the package index")


def pytest_collection_modifyitems(config, items):
    if not REAL_CUDA:
        return
    skip = pytest.mark.skip(reason="uses the stand-in runtime's controls; running against a real GPU")
    for item in items:
        if "standin" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def runtime() -> Runtime:
    # The very library the extension bound, so that the stand-in's controls
    # and the device allocations act on the same runtime instance.
    return Runtime(ctypes.CDLL(vesk.vesk._runtime_path()), standin=not REAL_CUDA)


@pytest.fixture(autouse=True)
def clean_runtime(runtime):
    """Each test starts with no injected failures and must leave no stream,
    registration or copy hazard behind."""
    if runtime.standin:
        runtime.lib.standin_reset()
        runtime.lib.standin_set_delay_us(0)
    yield
    if runtime.standin:
        runtime.lib.standin_reset()
        assert runtime.live("streams") == 0
        assert runtime.live("registered") == 0
        assert runtime.lib.standin_hazards() == 0


@pytest.fixture
def device(runtime):
    dev = Device(runtime)
    yield dev
    dev.free_all()


@pytest.fixture
def standin(runtime):
    assert runtime.standin
    return runtime
