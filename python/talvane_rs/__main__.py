"""``python -m talvane_rs``: the talvane command line."""

import sys

from talvane_rs.cli import main

# Guarded: worker processes import this module again under another name.
if __name__ == "__main__":
    sys.exit(main())
