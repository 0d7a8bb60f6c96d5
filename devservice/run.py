#!/usr/bin/python3
"""Start the dev service or manage its accounts; see README.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from qm_devservice.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
