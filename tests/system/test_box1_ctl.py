"""MivraBox1's control methods over real HTTP, grouped by family: compressed event bodies and
the replies about events, DeleteEvents2's blind regions, GetEvents2, truncate and the media it
gives back, error flags, aux media marks and the clock advance, playlist lists, the relay, the
XML size limit and the built-in methods a client may not use."""
import base64
import http.client
import time
import unittest
import xmlrpc.client
import zlib

from helpers.box1_util import Channel1, wait_for
from helpers.box2_air_util import FakeService, IOEngine
from helpers.box2_air_util import dur, tc
from helpers.box2_util import I8, line, plain


def body(text):
    return xmlrpc.client.Binary(zlib.compress(text.encode() + b"\0", 9))


def raw_post(port, doc):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    try:
        c.request("POST", "/RPC2", doc, {"Content-Type": "text/xml"})
        return c.getresponse().read()
    finally:
        c.close()


def ids(values):
    return [[I8(v)] for v in values]


class Box1CtlTest(unittest.TestCase):
    def channel(self, n=5, **kw):
        ch = Channel1(self, media=[("m%d" % i, 10.0) for i in range(n)], **kw)
        t0 = time.time() + 3600
        ch.load([line(start=tc(t0), media="m%d" % i, dur=dur(10), title="t%d" % i)
                 for i in range(n)])
        return ch

    def sys_ids(self, ch):
        return [e["state"]["er"][1] for e in ch.call("MivraBox.GetEvents", 0, 0, 100)["events"]]

    def test_event_bodies_and_replies_about_events(self):
        ch = self.channel(3)
        cases = [  # method, params, result
            ("MivraBox.InsertEvent", (0, body(line(media="new", title="n")), I8(1)), 0),
            ("MivraBox.UpdateEvent", (0, body(line(media="upd", title="u")), I8(0)), 0),
            ("MivraBox.InsertEvent", (0, xmlrpc.client.Binary(b"not zlib"), I8(0)), -84),
            ("MivraBox.InsertEvent", (0, xmlrpc.client.Binary(zlib.compress(b"no nul")), I8(0)), -84),
            ("MivraBox.InsertEvent", (9, body(line()), I8(0)), -22),
        ]
        for method, params, want in cases:
            with self.subTest(method=method, want=want):
                self.assertEqual(plain(ch.box.call(method, *params))["result"], want)
        # A plain string where the body belongs does not decode.
        r = ch.box.call("MivraBox.InsertEvent", 0, line(), I8(0))
        self.assertEqual(r[0], "fault")
        self.assertTrue(ch.box.wait_log("ctl_method_InsertEvent/helper_i6I: xmlrpc_decompose_value("
                                        "'bus idx','compressed event body','idx') failed", 3))
        # Replies about one event carry its index as the fifth "er" value, on the wire as i8.
        one = ch.box.call("MivraBox.GetEvent", 0, 2)
        self.assertEqual(one[1]["state"][1]["er"][1][4], ("i8", 2))
        evs = ch.call("MivraBox.GetEvents", 0, 0, 10)["events"]
        self.assertEqual([e["state"]["er"][4] for e in evs], [0, 1, 2, 3])
        self.assertEqual([e["event"].split("\t")[6] for e in evs], ["upd", "new", "m1", "m2"])
        # SearchEvent 0x40: the pattern as a sys_id.
        sid = evs[3]["state"]["er"][1]
        self.assertEqual(ch.call("MivraBox.SearchEvent", 0, str(sid), -1, 0x40)["result"], 3)

    def test_delete_events2_blind_regions(self):
        # p, q, a marker, r: the marker stands for what lies between q and r when that is as
        # many events as markers, else nothing is filled in.
        for r, want_left, text in ((4, ["m0", "m5", "m6"], "continious region [1, 3] same as"),
                                   (5, ["m0", "m3", "m4", "m6"], "non continious region [1, 3]")):
            with self.subTest(r=r):
                ch = self.channel(7)
                s = self.sys_ids(ch)
                sent = [s[1], s[2], -1, s[r]]
                self.assertEqual(ch.call("MivraBox.DeleteEvents2", 0, ids(sent))["result"], 0)
                left = [e["event"].split("\t")[6]
                        for e in ch.call("MivraBox.GetEvents", 0, 0, 100)["events"]]
                self.assertEqual(left, want_left)
                self.assertTrue(ch.box.wait_log("bus_ply_blind_region_restore: " + text, 3))

    def test_get_events2_items_and_budget(self):
        ch = self.channel(5)
        cases = [([0, 1, 99], {"result": -34}), ([99, 0, 1], [0, 1]), ([-1], {"result": -22}),
                 ([], [])]
        for want_ids, want in cases:
            with self.subTest(ids=want_ids):
                r = ch.call("MivraBox.GetEvents2", 0, ids(want_ids))
                if isinstance(want, dict):
                    self.assertEqual(r, want)
                    continue
                self.assertEqual(r["result"], 0)
                self.assertEqual([e["index"] for e in r["events"]], want)
                for e in r["events"]:
                    text = zlib.decompress(base64.b64decode(e["event_c"]))
                    self.assertEqual(text[-1:], b"\0")
                    self.assertEqual(text.split(b"\t")[6], b"m%d" % e["index"])
                    self.assertEqual(e["state"]["er"][4], e["index"])
        # Many long events: the reply stops short of the client's limit.
        ch = Channel1(self)
        lines = [line(media="x%d" % i, title="%04d" % i + "".join(chr(65 + (i * k) % 26) for k in range(3000)))
                 for i in range(400)]
        ch.load(lines)
        raw = raw_post(ch.box.port, xmlrpc.client.dumps((0, ids(range(400))), "MivraBox.GetEvents2"))
        self.assertLess(len(raw), 1048576)
        got = xmlrpc.client.loads(raw, use_builtin_types=True)[0][0]
        self.assertEqual(got["result"], 0)
        self.assertLess(len(got["events"]), 400)
        self.assertGreater(len(got["events"]), 10)

    def test_preview_on_another_player(self):
        ch = self.channel(3)
        other = FakeService([IOEngine()]).start()
        self.addCleanup(other.stop)
        url = "http://%s/RPC2" % other.hostport
        s = self.sys_ids(ch)
        other.script("MivraIO.PlaylistInsertTemplate", set={"result": -5})
        cases = [(1, -5, "m1.mxf"), (-s[2], 0, "m2.mxf"), (3, -34, None), (-2 ** 63, -2, None),
                 (-999999, -2, None)]
        self.assertTrue(wait_for(lambda: ch.state()["lib_present_count"] == 3, 5))
        for which, want, source in cases:
            with self.subTest(which=which):
                n = len(other.calls("MivraIO.PlaylistInsertTemplate"))
                self.assertEqual(ch.call("MivraBox.Preview", 0, I8(which), url)["result"], want)
                got = other.calls("MivraIO.PlaylistInsertTemplate")[n:]
                self.assertEqual([c["args"][1] for c in got], [source] if source else [])
        # The bus's own player and flags are left alone.
        self.assertEqual(ch.io_calls("MivraIO.PlaylistInsertTemplate"), [])

    def test_truncate_gives_media_back_and_lib_unregister(self):
        ch = self.channel(5)
        self.assertTrue(wait_for(lambda: ch.state()["lib_present_count"] == 5, 5))
        s = self.sys_ids(ch)
        for sid, below, want in ((s[0], 1, -2), (s[4], 0, -2), (12345, 1, -2)):
            self.assertEqual(ch.call("MivraBox.TruncatePlaylist", 0, I8(sid), below)["result"], want)
        self.assertTrue(ch.box.wait_log(
            "bus_ply_truncate: failed to find idx of event sys_id=%d" % s[0], 3))
        r = ch.call("MivraBox.TruncatePlaylist", 0, I8(s[2]), 1)
        self.assertEqual((r["result"], r["state"]["count"]), (0, 0))  # an empty state
        st = ch.state()
        self.assertEqual((st["count"], st["lib_present_count"]), (3, 3))
        r = ch.call("MivraBox.TruncatePlaylist", 0, I8(s[1]), 0)
        self.assertEqual(r["result"], 0)
        evs = ch.call("MivraBox.GetEvents", 0, 0, 10)["events"]
        self.assertEqual([e["event"].split("\t")[6] for e in evs], ["m1", "m2"])
        # The rest moved up: the first event keeps its time, the second follows it.
        self.assertEqual(evs[1]["state"]["er"][2] - evs[0]["state"]["er"][2], 10000)
        self.assertEqual(ch.state()["lib_present_count"], 2)
        self.assertEqual(ch.call("MivraBox.LibUnregister", 0, "m1")["result"], 0)
        self.assertEqual(ch.call("MivraBox.LibUnregister", 0, "nothing"), {"result": -2})

    def test_error_flags_aux_media_and_clock_advance(self):
        ch = Channel1(self, media=[("r", 4.0)])
        t0 = time.time() + 3600
        ch.load([line(start=tc(t0), media="r", mark_in="00:00:03:15", dur="00:00:00:20",
                      meta="STEREO_1\\tx"),
                 line(media="gone", dur=dur(1)), line(media="gone", dur=dur(1), meta="STL_888\\tx")])
        self.assertTrue(wait_for(lambda: ch.state()["lib_absent_count"] == 1, 5))
        for _ in range(3):  # polls hold no media
            r = ch.call("MivraBox.ErrorFlagList", 0, 0x80 | 0x100)
        self.assertEqual(r["result"], 2)
        self.assertEqual([e["media_id"] for e in r["list"]], ["r", "gone"])
        self.assertEqual(r["list"][0]["comment"],
                         "IN[00:00:03:15] + DUR[00:00:00:20] - 1 = [00:00:04:09] >= LEN[00:00:04:00]")
        self.assertEqual(sorted(r["list"][0]), ["comment", "flags", "media_id", "start", "start_time",
                                                "sys_id"])
        libs = ch.call("MivraBox.LibList", 0, 2)["list"]
        self.assertEqual([(o["object"], o["ref"]) for o in libs], [("r", 1)])
        flags = lambda: [e["state"]["er"][0] for e in ch.call("MivraBox.GetEvents", 0, 0, 9)["events"]]  # noqa: E731
        rev = ch.state()["amend"]
        cases = [((0, 2, "x"), [2 << 11 | 0x800000, 0, 0]), ((0, 2, "x"), [2 << 11 | 0x800000, 0, 0]),
                 ((4, 7, "x"), [2 << 11 | 0x800000, 0, 3 << 19 | 0x800000]),
                 ((6, 0, ""), [2 << 11, 0, 3 << 19]), ((7, 1, "x"), None)]
        for args, want in cases:
            with self.subTest(args=args):
                r = ch.call("MivraBox.UpdateAuxMedia", 0, *args)
                self.assertEqual(r["result"], -22 if want is None else 0)
                if want is not None:
                    mask = 0x3 << 11 | 0x3 << 19 | 0x1800000
                    self.assertEqual([f & mask for f in flags()], want)
        self.assertEqual(ch.state()["amend"], rev + 1)  # only kind 6 raised the revision
        for text, want in (("-500", -500000), ("+1500", 1000000), ("3600000", -694967296),
                           ("0", 0), ("9223372036854775807", None)):
            r = ch.call("MivraBox.SetTimeofdayAdvance", text)
            self.assertEqual(r["result"], -22 if want is None else 0, text)
            if want is not None:
                self.assertEqual(r["advance"], want, text)

    def test_lists_relay_size_limit_and_built_ins(self):
        ch = Channel1(self, bus_extra=["--peer-master-box=127.0.0.1:9", "--peer-slave-box=127.0.0.1:9"])
        for name in ("show", "peer_master", "peer_slave"):
            ch.write(name + ".ply", [line()])
        self.assertEqual(ch.call("MivraBox.ListPlaylists", 0)["list"],
                         [["show"], ["peer_master"], ["peer_slave"]])
        # MivraIO. calls go to the bus's player, others are refused.
        self.assertEqual(ch.box.call("MivraIO.PlaylistLoop", 1)[0], "struct")
        self.assertEqual(ch.io_calls()[-1]["sig"], "MivraIO.PlaylistLoop(i4:1)")
        self.assertEqual(ch.box.call("Other.Method", 0),
                         ("fault", (1, "ctl_method_default: method Other.Method not bypassed")))
        self.assertEqual(ch.box.call("system.shutdown", "bye")[0], "fault")
        for size, ok in ((1048576 - 1024, True), (1048576 + 1024, False)):
            doc = xmlrpc.client.dumps((0, "", 0, 1), "MivraBox.SearchEvent")
            doc = doc.replace("<string></string>", "<string>%s</string>" % ("x" * (size - len(doc))))
            self.assertEqual(len(doc), size)
            try:
                answered = b"<fault>" not in raw_post(ch.box.port, doc)
            except OSError:  # the server may cut the connection of a refused request
                answered = False
            self.assertEqual(answered, ok, size)
        self.assertEqual(ch.state()["count"], 0)  # still answering


if __name__ == "__main__":
    unittest.main()
