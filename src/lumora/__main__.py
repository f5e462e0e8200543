"""python -m lumora: the command line (python -m lumora demo runs every analysis on a sample)."""

import sys

from lumora.cli import main

if __name__ == "__main__":
    sys.exit(main())
