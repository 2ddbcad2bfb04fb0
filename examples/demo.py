"""What `make demo` runs: search this repository's own sources (see search.py)."""

import sys

from search import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
