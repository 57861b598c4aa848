"""A MivraBox1 channel against the fakes: one playout engine, a media library, one bus."""
import os
import sys

from test_box2_util import BUILD, Box, plain, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from fake_base import FakeService  # noqa: E402
from io_fake import IOEngine  # noqa: E402
from lib_fake import MediaLibrary  # noqa: E402
from libio_fake import LibraryIO  # noqa: E402

BOX1 = os.path.join(BUILD, "src", "box1", "MivraBox1")


class Box1(Box):
    binary = BOX1


class Channel1:
    """The fakes and one MivraBox1 bus wired to them."""

    def __init__(self, test, media=(), bus_extra=(), extra=(), start=True):
        self.test = test
        self.lib_p = MediaLibrary()
        self.lib = FakeService([self.lib_p, LibraryIO()]).start()
        self.io = FakeService([IOEngine()]).start()
        test.addCleanup(self.stop_fakes)
        for mid, seconds in media:
            self.add_media(mid, seconds, publish=False)
        self.box = Box1(test, extra=extra, bus_extra=[
            "--lib=%s" % self.lib.hostport, "--io=%s" % self.io.hostport] + list(bus_extra),
            start=False)
        self.path = self.box.paths[0]
        if start:
            self.box.start()

    def stop_fakes(self):
        for f in (self.lib, self.io):
            f.stop()

    def add_media(self, mid, seconds, publish=True, **fields):
        with self.lib_p.lock:
            self.lib_p.add_item("media/%s.mxf" % mid, dict(fields, id=mid, duration=seconds),
                                publish=publish)

    def write(self, name, lines, folder=None):
        with open(os.path.join(folder or self.path, name), "w") as f:
            f.write("".join(x + "\n" for x in lines))

    def call(self, method, *params):
        r = self.box.call(method, *params)
        self.test.assertNotEqual(r[0], "fault", r)
        return plain(r)

    def state(self):
        return self.call("MivraBox.GetState", 0)["state"]

    def load(self, lines, name="show"):
        self.write(name + ".ply", lines)
        r = self.call("MivraBox.LoadPlaylist", 0, name)
        self.test.assertEqual(r["result"], len(lines), r)

    def io_calls(self, which=""):
        return self.io.calls(which)

    def arl(self):
        out = []
        for name in sorted(os.listdir(self.path)):
            if name.endswith(".arl"):
                with open(os.path.join(self.path, name)) as f:
                    out += [(name, x.split("\t")) for x in f.read().splitlines()]
        return out

    def log(self):
        return self.box.log_text()


__all__ = ["BOX1", "Box1", "Channel1", "wait_for"]
