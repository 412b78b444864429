"""vesk: freeze GPU memory regions into snapshot files and restore them.

The functions and the PinnedMmap class live in the native extension
``vesk.vesk``; this package re-exports them.
"""

from .vesk import *  # noqa: F401,F403
from .vesk import __all__, __doc__  # noqa: F401
