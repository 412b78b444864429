# The public surface of vesk.torch. PyTorch is imported only when a function
# is called; a checker without PyTorch sees its types as Any.
import os
from collections.abc import Mapping

import torch

__all__ = ["load", "save"]

def save(
    path: str | os.PathLike[str],
    tensors: Mapping[str, torch.Tensor],
    *,
    vllm_commit: str | None = None,
) -> dict[str, int]:
    """Freezes CUDA tensors by name."""

def load(path: str | os.PathLike[str], device: str | int | torch.device = "cuda") -> dict[str, torch.Tensor]:
    """Allocates tensors from the snapshot's manifest on `device` and restores into them."""
