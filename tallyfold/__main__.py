"""``python -m tallyfold``: the command line (see `tallyfold.cli`)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
