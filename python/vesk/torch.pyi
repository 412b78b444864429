# The public surface of vesk.torch. PyTorch is imported only when a function
# is called; a checker without PyTorch sees its types as Any.
import os
from collections.abc import Buffer, Iterable, Mapping
from typing import Any

import torch

from ._arrays import ArraySpec
from .vesk import PinnedMmap

__all__ = ["load", "save"]

def save(
    path: str | os.PathLike[str],
    tensors: Mapping[str, torch.Tensor],
    *,
    vllm_commit: str | None = None,
    metadata: Mapping[str, str] | None = None,
) -> dict[str, int]:
    """Freezes CUDA tensors by name, with `metadata` (str to str) kept in the manifest."""

def load(
    source: str | os.PathLike[str] | Buffer | PinnedMmap,
    device: str | int | torch.device = "cuda",
    names: Iterable[str] | None = None,
) -> dict[str, torch.Tensor]:
    """Loads the snapshot's tensors (all, or the `names` given) onto `device`."""

# Used by vesk.named for PyTorch tensors; not part of the public surface.
def tensor_spec(torch: Any, label: str, t: Any) -> ArraySpec: ...
