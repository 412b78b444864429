# The functions and the PinnedMmap class live in the native extension
# vesk.vesk; the package re-exports them with the extension's docstring.
# vesk.named (arrays by name) and vesk.torch (PyTorch state dicts) are
# submodules, imported on use.
from .vesk import *  # noqa: F401,F403
from .vesk import __all__, __doc__  # noqa: F401


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("vesk")
    except metadata.PackageNotFoundError:  # imported from a build tree
        from ._version import __version__

        return __version__


__version__ = _version()
del _version
