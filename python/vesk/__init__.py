# The functions and the PinnedMmap class live in the native extension
# vesk.vesk; the package re-exports them with the extension's docstring.
from .vesk import *  # noqa: F401,F403
from .vesk import __all__, __doc__  # noqa: F401
