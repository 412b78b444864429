"""vesk.torch against safetensors on a machine with a GPU and PyTorch: the
same state dict saved by both, then loaded onto the device by
`safetensors.torch.load_file(device="cuda")` and by `vesk.torch.load`, from a
cold page cache, compared tensor by tensor. Prints both times and exits
non-zero on any difference.

Usage: PYTHONPATH=<dir holding vesk/> python3 tests/python/torch_check.py [DIR]
Environment: VESK_TORCH_MB (default 1024) sets the state dict's size.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time


def drop_cache(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def main() -> int:
    try:
        import torch
        from safetensors.torch import load_file, save_file
    except ImportError as e:
        print(f"torch check: skipped, {e.name} not importable")
        return 0
    import vesk.torch

    if not torch.cuda.is_available():
        print("torch check: skipped, no CUDA device")
        return 0
    total = int(os.environ.get("VESK_TORCH_MB", "1024")) << 20
    dtypes = [torch.bfloat16, torch.float16, torch.float32]
    state, size, i = {}, 0, 0
    gen = torch.Generator(device="cuda").manual_seed(0)
    while size < total:
        dtype = dtypes[i % 3]
        shape = (1024, 256 + 64 * (i % 5)) if i % 7 else (4096,)
        t = torch.randn(shape, generator=gen, device="cuda", dtype=torch.float32).to(dtype)
        state[f"layers.{i // 4}.{['q', 'k', 'v', 'o'][i % 4]}.weight"] = t
        size += t.numel() * t.element_size()
        i += 1
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.gettempdir()
    st_path, vk_path = os.path.join(directory, "check.safetensors"), os.path.join(directory, "check.vesk")
    try:
        save_file(state, st_path)
        t0 = time.perf_counter()
        vesk.torch.save(vk_path, state)
        t_save = time.perf_counter() - t0
        for p in (st_path, vk_path):
            drop_cache(p)
        t0 = time.perf_counter()
        st = load_file(st_path, device="cuda")
        torch.cuda.synchronize()
        t_st = time.perf_counter() - t0
        t0 = time.perf_counter()
        vk = vesk.torch.load(vk_path, device="cuda")
        torch.cuda.synchronize()
        t_vk = time.perf_counter() - t0
        bad = [n for n in state if n not in vk or vk[n].dtype != state[n].dtype or not torch.equal(vk[n], state[n])]
        bad += [n for n in state if not torch.equal(st[n], state[n])]
        print(f"torch check: {len(state)} tensors, {size / 2**30:.2f} GiB; vesk.torch.save {t_save:.3f} s; "
              f"cold load: safetensors load_file(device='cuda') {t_st:.3f} s, vesk.torch.load {t_vk:.3f} s")
        if bad or sorted(vk) != sorted(state):
            print(f"torch check: FAILED, {len(bad)} tensors differ, e.g. {bad[:3]}")
            return 1
        print("torch check: every tensor equal")
        return 0
    finally:
        for p in (st_path, vk_path):
            if os.path.exists(p):
                os.unlink(p)


if __name__ == "__main__":
    sys.exit(main())
