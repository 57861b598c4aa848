"""What the system tests of the reader programs share: the program's path and a temporary folder
the program runs in."""

import os
import subprocess
import tempfile
import unittest

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../../build/default")))


def reader_binary(name):
    return os.path.join(BUILD, "src", "converters", "readers", name)


class ReaderCase(unittest.TestCase):
    BINARY = None  # path of the program under test
    TZ = None  # time zone of the program; None keeps the test's own
    USAGE = None  # what the program writes on standard error for a wrong argument count
    WRONG_ARGS = ([], ["a", "b", "c"])  # argument lists it must refuse
    USAGE_STDOUT_EMPTY = True  # nothing may reach standard output then

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return self.path(name)

    def run_reader(self, *args):
        env = dict(os.environ, TZ=self.TZ) if self.TZ else None
        return subprocess.run([self.BINARY, *args], cwd=self.dir, capture_output=True, text=True,
                              timeout=30, env=env)

    def test_argument_count(self):
        if self.BINARY is None:
            self.skipTest("the shared case itself runs no program")
        for args in self.WRONG_ARGS:
            r = self.run_reader(*args)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr, self.USAGE)
            if self.USAGE_STDOUT_EMPTY:
                self.assertEqual(r.stdout, "")
