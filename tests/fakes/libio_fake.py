#!/usr/bin/env python3
"""The media library's answer to MivraIO.LibBasenameItem: the daemons resolve media ids with
that method at the library's address. Serve it beside the library fake, in place of the engine
fake ("fake.py lib libio"); names resolve through the library's items."""

import os
import sys
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import Personality  # noqa: E402


class LibraryIO(Personality):
    namespace = "MivraIO"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.failing = set()

    def LibBasenameItem(self, name, *rest):
        if name in self.failing:
            raise xmlrpc.client.Fault(-32500, "lookup of %s failed" % name)
        lib = self.service.personalities["MivraLib"]
        with lib.lock:
            return lib.LibBasenameItem(name)

    def Fake_FailNames(self, names):
        """Lookups of these names answer a fault until changed."""
        self.failing = set(names)
        return 0


PERSONALITY = LibraryIO
