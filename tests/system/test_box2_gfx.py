"""MivraBox2 and its graphics device: the tally handshake on every connect and the template
listing behind MivraLib.LibListTemplates with its 5 s cache and the answer of a silent device."""
import os
import sys
import time
import unittest

from helpers.box2_util import Box, plain, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fakes"))
from oxtel_device import OxtelDevice  # noqa: E402


class GfxTest(unittest.TestCase):
    def setUp(self):
        self.dev = OxtelDevice(answer=True, templates=["beta", "Alpha", "a:b", "gamma"]).start()
        self.addCleanup(self.dev.stop)
        self.box = Box(self, bus_extra=["--oxtel=127.0.0.1:%d" % self.dev.port])

    def listing(self):
        r = plain(self.box.call("MivraLib.LibListTemplates"))
        return r["result"], [x[0] if isinstance(x, list) else x for x in r["list"]]

    def test_tallies_asked_on_every_connect(self):
        self.assertTrue(self.dev.wait(lambda: self.dev.texts()[:2] == [b"Y61", b"Y6"]))
        self.assertEqual(len(self.dev.texts()), 2)
        self.dev.close()
        self.assertTrue(self.dev.wait(lambda: self.dev.texts()[2:4] == [b"Y61", b"Y6"]))
        self.assertTrue(self.box.wait_log("oxtel_cb_conn: conn=0"))

    def test_template_listing_cache_and_silence(self):
        self.assertTrue(self.dev.wait(lambda: len(self.dev.texts()) >= 2))
        t0 = time.monotonic()
        self.assertEqual(self.listing(), (0, ["a:b", "Alpha", "beta", "gamma"]))
        asked = [m for m in self.dev.texts() if m.startswith(b"R")]
        self.assertEqual(asked, [b"R4$VIDEO"] + [b"R5$VIDEO"] * 4)
        # Within 5 s the stored names answer and the device is not asked.
        self.dev.templates = ["other"]
        self.assertEqual(self.listing(), (0, ["a:b", "Alpha", "beta", "gamma"]))
        self.assertEqual(len([m for m in self.dev.texts() if m.startswith(b"R")]), 5)
        # Later a silent device gets the time-out's answer, and the next call asks again.
        self.dev.listing_silent = True
        wait_for(lambda: time.monotonic() - t0 > 6.1, timeout=8, step=0.1)
        self.assertEqual(self.listing(), (110, []))
        self.dev.listing_silent = False
        self.assertEqual(self.listing(), (0, ["other"]))


if __name__ == "__main__":
    unittest.main()
