"""Command line of vesk: ``python -m vesk {inspect,verify,bench}``.

inspect  prints a snapshot's header and region table (no GPU needed);
verify   recomputes every region's CRC-32C on the host and reports mismatches;
bench    freezes and restores device regions by every path and prints GB/s
         beside the limits of this machine measured in the same run.
"""

import sys

from vesk._cli import main

if __name__ == "__main__":
    sys.exit(main())
