from typing import Final

from . import vesk as vesk
from .vesk import PinnedMmap as PinnedMmap
from .vesk import __all__ as __all__
from .vesk import freeze_to_file_pipelined as freeze_to_file_pipelined
from .vesk import restore_from_bytes_auto as restore_from_bytes_auto
from .vesk import restore_from_bytes_pipelined as restore_from_bytes_pipelined
from .vesk import restore_from_bytes_pipelined_zerocopy as restore_from_bytes_pipelined_zerocopy
from .vesk import restore_from_file_pipelined as restore_from_file_pipelined
from .vesk import restore_from_pinned_mmap as restore_from_pinned_mmap

__version__: Final[str]
