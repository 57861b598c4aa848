"""The library, file-transfer, scheduler and transcoder fakes as programs, the way the daemons
and the library services meet them: one process per address, exact wire types, changes
published through LibState, transfers landing in the library."""

import os
import re
import subprocess
import sys
import unittest
import urllib.request
import xmlrpc.client

SRC = os.environ.get("MIVRA_SRC", os.path.join(os.path.dirname(__file__), "../.."))
FAKES = os.path.join(os.path.abspath(SRC), "tests", "fakes")
sys.path.insert(0, FAKES)

from fake_base import I8  # noqa: E402  (64-bit values to the fakes' control methods)


class FakeProcess:
    def __init__(self, *names):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(FAKES, "fake.py"), "--port", "0", "--watch-stdin"] +
            list(names), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())
        self.url = "http://127.0.0.1:%d/RPC2" % self.port
        self.rpc = xmlrpc.client.ServerProxy(self.url, use_builtin_types=True)

    def raw(self, method, *params):
        """The response body as the service sends it."""
        body = xmlrpc.client.dumps(params, method).encode()
        req = urllib.request.Request(self.url, body, {"Content-Type": "text/xml"})
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.read().decode()

    def close(self):
        self.rpc("close")()
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


class LibraryFakeTest(unittest.TestCase):
    def setUp(self):
        self.fake = FakeProcess("lib", "libio")
        self.addCleanup(self.fake.close)
        self.rpc = self.fake.rpc

    def test_items_travel_with_string_numbers_and_i8_sizes(self):
        self.rpc.Fake.AddItem("media/NEWS1.mxf", {"id": "NEWS1", "duration": 30.0,
                                                  "size": I8(1 << 33)})
        body = self.fake.raw("MivraLib.LibMetaItem", "NEWS1")
        self.assertRegex(body, r"<name>st_size</name>\s*<value><i8>8589934592</i8></value>")
        self.assertRegex(body, r"<name>duration</name>\s*<value><string>30\.000000</string>")
        self.assertRegex(body, r"<name>width</name>\s*<value><string>1920</string>")
        item = self.rpc.MivraLib.LibMetaItem("NEWS1.mxf")["item"]
        self.assertEqual(item["r_frame_rate"], "25/1")

    def test_presence_changes_newest_first_and_id_lookup_for_the_daemons(self):
        self.assertEqual(self.rpc.MivraIO.LibBasenameItem("NEWS1")["result"], -2)
        idx0 = self.rpc.MivraLib.LibState(512)["amend_idx"]
        self.rpc.Fake.AddItem("media/NEWS1.mxf", {"id": "NEWS1"})
        self.rpc.Fake.AddItem("media/PROMO.mxf", {})
        self.rpc.Fake.RemoveItem("media/NEWS1.mxf")
        st = self.rpc.MivraLib.LibState(2)
        self.assertEqual(st["amend_idx"], idx0 + 3)
        self.assertEqual(st["amend_list"], [["-NEWS1.mxf"], ["+PROMO.mxf"]])
        self.assertIn("<i8>", self.fake.raw("MivraLib.LibState", 1))
        # A media id with '#' for its extension finds the file, as the daemons match it.
        got = self.rpc.MivraIO.LibBasenameItem("PROMO#")
        self.assertEqual((got["result"], got["object"]), (0, "PROMO.mxf"))

    def test_cleaner_view_usage_pages_and_delete(self):
        for i in range(5):
            self.rpc.Fake.AddItem("media/c%d.mxf" % i, {"size": 100})
        usage = self.rpc.MivraLib.LibDiskUsage()
        self.assertEqual((usage["total_items"], usage["used_space"]), (5, 500))
        page = self.rpc.MivraLib.LibListItems("media", 2, 2)["list"]
        self.assertEqual([i["name"] for i in page], ["c2.mxf", "c3.mxf"])
        self.assertEqual(self.rpc.MivraLib.LibDeleteItem("media/c2.mxf")["result"], 0)
        self.assertEqual(self.rpc.MivraLib.LibDeleteItem("media/c2.mxf")["result"], -2)
        self.assertEqual(self.rpc.MivraLib.LibState(1)["amend_list"], [["-c2.mxf"]])


class TransferFakeTest(unittest.TestCase):
    def setUp(self):
        self.fake = FakeProcess("ft", "lib")
        self.addCleanup(self.fake.close)
        self.rpc = self.fake.rpc

    def test_request_moves_to_done_and_the_file_reaches_the_library(self):
        self.rpc.Fake.FtSetRemote("store", "/in/A.mxf", 1700000000, 42)
        self.assertEqual(self.rpc.MivraFileTransfer.ListRemote("store", "/in")["list"],
                         ["A.mxf"])
        self.assertRegex(self.fake.raw("MivraFileTransfer.ListRemote", "store", "/in"),
                         r"<array><data>\s*<value><string>A\.mxf</string>")
        self.assertRegex(self.fake.raw("MivraFileTransfer.ProbeRemote", "store", "/in/A.mxf"),
                         r"<name>size</name>\s*<value><i8>42</i8>")
        rid = self.rpc.MivraFileTransfer.RequestAdd("store", 1, 0, "A.mxf", "/in/A.mxf")["result"]
        states = [self.rpc.MivraFileTransfer.RequestGet(rid)["item"]["state"] for _ in range(3)]
        self.assertEqual(states, [1, 2, 2])
        self.assertEqual(self.rpc.MivraLib.LibBasenameItem("A")["result"], 0)
        self.assertEqual(self.rpc.MivraLib.LibState(1)["amend_list"], [["+A.mxf"]])

    def test_request_for_a_missing_file_fails(self):
        self.rpc.Fake.FtSteps(1)
        rid = self.rpc.MivraFileTransfer.RequestAdd("store", 1, 0, "B.mxf", "/in/B.mxf")["result"]
        item = self.rpc.MivraFileTransfer.RequestGet(rid)["item"]
        self.assertEqual((item["state"], item["error"]), (3, "remote file not found"))
        self.assertEqual(self.rpc.MivraFileTransfer.ProbeRemote("store", "/in/B.mxf"),
                         {"result": -2})


class SchedulerAndTranscoderFakeTest(unittest.TestCase):
    def test_typed_members(self):
        fake = FakeProcess("sched", "ftc")
        self.addCleanup(fake.close)
        fake.rpc.MivraSched.SchedAddItem(*([0] * 6 + [1, 60, 0, "t", "p", "m", "e", 0, "", ""]))
        body = fake.raw("MivraSched.SchedListItems")
        self.assertEqual(len(re.findall(r"<i8>", body)), 7)
        self.assertEqual(fake.rpc.MivraFileTranscoder.RequestAdd(
            "s", "i", "d", "o", "f", "p", 0, "01", 1, "tc", "osd", "t", 0)["result"], 1)
        self.assertEqual(fake.rpc.MivraFileTranscoder.RequestAdd("short")["result"], -22)


if __name__ == "__main__":
    unittest.main()
