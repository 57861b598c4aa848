#!/usr/bin/env python3
"""Runs several fake services in one process, on one port:

    python3 fake.py --port 0 io [lib ...]

Each name loads <name>_fake.py from this folder, whose PERSONALITY class serves one namespace.
"""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import run_main  # noqa: E402


def personalities(names):
    return [importlib.import_module("%s_fake" % n).PERSONALITY for n in names]


if __name__ == "__main__":
    sys.exit(run_main([], description=__doc__, load=personalities))
