#!/usr/bin/env python3
"""The media library's answer to MivraIO.LibBasenameItem: the daemons resolve media ids with
that method at the library's address. Serve it beside the library fake, in place of the engine
fake ("fake.py lib libio"); names resolve through the library's items."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import Personality  # noqa: E402


class LibraryIO(Personality):
    namespace = "MivraIO"

    def LibBasenameItem(self, name, *rest):
        lib = self.service.personalities["MivraLib"]
        with lib.lock:
            return lib.LibBasenameItem(name)


PERSONALITY = LibraryIO
