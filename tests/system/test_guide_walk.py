"""Walks the control-method table of docs/guide.md against both daemons, started with the demo's
per-bus options and media: every method is called with the argument types the guide gives, and
each reply must hold the members and results the guide names. The table is read from the guide
itself, so the two cannot drift apart."""

import os
import re
import time
import unittest
import xmlrpc.client
import zlib

from helpers.box1_util import Channel1
from helpers.box2_air_util import BusChannel
from helpers.box2_util import I8, line, plain, wait_for

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
GUIDE = os.path.join(SRC, "docs", "guide.md")
DEMO = os.path.join(SRC, "examples", "demo")
NOSUCH = 999999  # a sys_id no event has


def method_table():
    """{method: (argument types, reply cell, results cell, daemons)} from the guide."""
    with open(GUIDE) as f:
        text = f.read()
    section = text[text.index("## Control methods"):]
    section = section[:section.index("\n## ", 4)]
    table = {}
    for row in section.splitlines():
        cells = [c.strip() for c in row.strip().strip("|").split("|")]
        if len(cells) != 5 or not re.fullmatch(r"[A-Z]\w+", cells[0]):
            continue
        args = cells[1].strip("()")
        types = [a.strip().split()[0] for a in args.split(",")] if args else []
        table[cells[0]] = (types, cells[2], cells[3], cells[4])
    return table


def reply_members(cell):
    """Top-level members and list-entry members named in a reply cell."""
    entries = re.findall(r"\[\{(.*?)\}\]", cell)
    top = re.sub(r"\[\{.*?\}\]", "", cell)
    return (re.findall(r'"(\w+)"', top),
            [m for e in entries for m in re.findall(r'"(\w+)"', e)])


class Raw:
    """An argument sent as it is, past the guide's types (to show what a wrong shape answers)."""

    def __init__(self, value):
        self.value = value


def demo_media():
    with open(os.path.join(DEMO, "media.txt")) as f:
        return [(r.split()[0], float(r.split()[1])) for r in f
                if r.strip() and not r.startswith("#")]


def demo_bus_options(conf):
    """The per-bus lines of a demo options file that name no address or folder of the demo."""
    with open(os.path.join(DEMO, conf)) as f:
        lines = [x.strip() for x in f.read().split("--add-bus", 1)[1].splitlines()]
    return [x for x in lines if x.startswith("--") and "@" not in x]


# The first event two hours ahead: a fixed time of day stands within twelve hours of now, so
# any constant time lies in the past for half of the day and the bus would drop the playlist.
START = time.strftime("%H:%M:%S:00", time.localtime(time.time() + 7200))
WALK = [
    line(start=START, mark_in="00:00:00:00", dur="00:00:06:00", media="intro",
         title="Opening titles"),
    line(mark_in="00:00:00:00", dur="00:00:04:00", media="news", title="News",
         meta="STEREO_1\\tx"),
    line(mark_in="00:00:00:00", dur="00:00:06:00", media="weather", title="Weather"),
    line(mark_in="00:00:00:00", dur="00:00:05:00", media="nomedia", title="Absent"),
]
NEWS_4S = line(mark_in="00:00:00:00", dur="00:00:04:00", media="news", title="Inserted")
NEWS_NO_IN = line(dur="00:00:04:00", media="news", title="No in point")


class Walk:
    """One daemon on the walk playlist; calls typed as the guide says."""

    def __init__(self, test, channel, one):
        self.test, self.ch, self.one = test, channel, one
        self.table = method_table()

    def raw(self, method, *args):
        return plain(self.ch.box.call("MivraBox." + method, *args))

    def typed(self, method, args):
        types = self.table[method][0]
        self.test.assertEqual(len(types), len(args), "%s: the guide's arguments" % method)
        out = []
        for t, v in zip(types, args):
            v = v(self) if callable(v) else v
            if isinstance(v, Raw):
                out.append(v.value)
            elif t == "i":
                out.append(int(v))
            elif t == "I":
                out.append(I8(v))
            elif t == "s":
                out.append(str(v))
            elif t == "L":
                out.append(xmlrpc.client.Binary(zlib.compress(v.encode() + b"\0", 9))
                           if self.one else v)
            elif t == "A[I]":
                out.append([[I8(x(self) if callable(x) else x)] for x in v])
            else:
                self.test.fail("%s: unknown argument type %s in the guide" % (method, t))
        return out

    def sid(self, k):
        return self.raw("GetEvent", 0, k)["state"]["er"][1]

    def event(self, k):
        return self.raw("GetEvent", 0, k)["event"].split("\t")

    def reset(self):
        """The walk playlist on a paused bus; on MivraBox1 no snapshot slot in use."""
        self.raw("Run", 0, 0)
        self.raw("ClosePlaylist", 0)
        self.test.assertEqual(self.raw("LoadPlaylist", 0, "walk")["result"], len(WALK))
        if self.one:
            for slot in range(8):
                self.raw("SnapshotDestroy", 0, slot)
        self.test.assertTrue(wait_for(lambda: self.raw("GetState", 0)["state"]["lib_queued_count"]
                                      == 0 and self.raw("GetState", 0)["state"][
                                          "lib_absent_count"] == 1, 10))


def sid(k):
    return lambda w: w.sid(k)


def close(w):
    w.raw("ClosePlaylist", 0)


def curr(w):
    w.test.assertEqual(w.raw("SnapshotCurr", 0)["result"], 0)


def new(w):
    w.test.assertEqual(w.raw("SnapshotNew", 0)["result"], 0)


def count(n):
    return lambda w, r: w.test.assertEqual(r["state"]["count"], n)


def duration_becomes(k, text):
    return lambda w, r: w.test.assertTrue(wait_for(lambda: w.event(k)[4] == text, 10),
                                          (k, text, w.event(k)))


def updated(k):
    """Checks that an update gave the event a new sys_id (the old one is taken before)."""
    def check(w, r):
        w.test.assertEqual(w.event(k)[7], "Inserted")
        w.test.assertNotIn(w.seen_sid, [w.sid(i) for i in range(r["state"]["count"])])
    return check


def remember(k):
    def prep(w):
        w.seen_sid = w.sid(k)
    return prep


def saved(name):
    return lambda w, r: w.test.assertTrue(os.path.exists(os.path.join(w.ch.path, name)), name)


def entries(n):
    return lambda w, r: w.test.assertEqual(len(r.get("events", r.get("list", []))), n, r)


def advance(us):
    return lambda w, r: w.test.assertEqual(r["advance"], us)


def found(media):
    return lambda w, r: w.test.assertIn(media, [e["media_id"] for e in r["list"]])


def field(k, i, text):
    return lambda w, r: w.test.assertEqual(w.event(k)[i], text, w.event(k))


def position_in_er(w, r):
    # er[4]: the event's position on MivraBox1, 0 on MivraBox2.
    w.test.assertEqual(r["state"]["er"][4], 1 if w.one else 0)


def aux_marked(w, r):
    flags = w.raw("GetEvent", 0, 1)["state"]["er"][0]
    w.test.assertEqual(((flags >> 11) & 3, flags & 0x800000), (2, 0x800000), hex(flags))


# method: (prepare or None, [(arguments, result, check or None)]). A result "fault" is an
# XML-RPC fault; None as result accepts any count >= 0.
CASES = {
    "GetState": (None, [((0,), 0, None), ((16,), -22, None)]),
    "Run": (None, [((0, 0), 0, None)]),
    "InsertEvent": (None, [((0, NEWS_4S, 1), 0, count(5)), ((0, "not a line", 1), -84, None),
                           ((0, NEWS_NO_IN, 99), 0, duration_becomes(5, "00:00:08:00")),
                           ((0, Raw([1]), 1), "fault", None)]),
    "InsertEvent2": (None, [((0, NEWS_4S, sid(1)), 0, duration_becomes(1, "00:00:04:00")),
                            ((0, NEWS_4S, -1), 0, count(6)), ((0, NEWS_4S, NOSUCH), -2, None)]),
    "UpdateEvent": (remember(1), [((0, NEWS_4S, 1), 0, updated(1)),
                                  ((0, NEWS_4S, 99), -34, None),
                                  ((0, "not a line", 1), -84, None)]),
    "UpdateEvent2": (remember(2), [((0, NEWS_4S, sid(2)), 0, updated(2)),
                                   ((0, NEWS_4S, NOSUCH), -2, None)]),
    "GetEvent": (None, [((0, 1), 0, position_in_er), ((0, 4), -34, None), ((0, -1), -22, None)]),
    "GetEvents": (None, [((0, 1, 99), 0, entries(3))]),
    "GetEvents2": (None, [((0, [0, 1]), 0, entries(2)), ((0, [99, 0]), 0, entries(1)),
                          ((0, [0, 99]), -34, None), ((0, [0, -1]), -22, None),
                          ((0, Raw([I8(0), I8(1)])), -14, None)]),
    "DeleteEvent": (None, [((0, 99), 0, count(4)), ((0, 3), 0, count(3))]),
    "DeleteEvents": (None, [((0, [1, 2, 99]), 0, count(2)), ((0, Raw([I8(1)])), "fault", None)]),
    "DeleteEvents2": (None, [((0, [sid(1), NOSUCH]), 0, count(3))]),
    "ListPlaylists": (None, [((0,), 0, lambda w, r: w.test.assertIn(["walk"], r["list"]))]),
    "LoadPlaylist": (None, [((0, "walk"), -17, None), ((0, "nosuch"), -2, None),
                            ((0, "../walk"), -22, None)]),
    "SavePlaylist": (None, [((0, "x.ply"), 4, saved("x.ply.ply")), ((0, "a/b"), -22, None)]),
    "AppendPlaylist": (None, [((0, "walk"), 4, count(8)), ((0, "nosuch"), -2, None)]),
    "ClosePlaylist": (None, [((0,), 0, count(0))]),
    "TruncatePlaylist": (None, [((0, sid(1), 1), None, None), ((0, sid(0), 1), -2, None),
                                ((0, NOSUCH, 0), -2, None)]),
    "Take": (None, [((0,), 0, None)]),
    "TakeN": (None, [((0, 0), 0, None), ((0, 99), 0, None)]),
    "Fallback": (close, [((0,), -2, None)]),
    "TrimPadEvent": (None, [((0, 25), 0, field(0, 4, "00:00:07:00"))]),
    "ResetEventsTC": (None, [((0, [sid(1)]), 0, duration_becomes(1, "00:00:08:00"))]),
    "SearchEvent": (None, [((0, "NEWS", -1, 2), 1, None), ((0, "news", 1, 2), -2, None),
                           ((0, "x", -1, 1), -2, None)]),
    "LibList": (None, [((0, 2), 3, None), ((0, 1), 1, None)]),
    "AbsentList": (None, [((0,), 1, found("nomedia"))]),
    "ErrorFlagList": (None, [((0, 0x80), 1, found("nomedia")), ((0, 0x100), 0, None)]),
    "LibUnregister": (None, [((0, "intro"), 0, None), ((0, "unknown"), -2, None)]),
    "Preview": (None, [((0, 1, lambda w: w.ch.io[0].hostport), 0, None),
                       ((0, -NOSUCH, lambda w: w.ch.io[0].hostport), -2, None)]),
    "SnapshotNew": (None, [((0,), 0, None), ((0,), 1, None)]),
    "SnapshotCurr": (None, [((0,), 0, None)]),
    "SnapshotLoad": (None, [((0, "walk"), 0, None), ((0, "nosuch"), -2, None)]),
    "SnapshotSave": (curr, [((0, 0, "snap"), 4, saved("snap.ply")), ((0, 5, "snap"), -22, None)]),
    "SnapshotDestroy": (new, [((0, 0), 0, None), ((0, 0), -22, None)]),
    "SnapshotGetEvent": (curr, [((0, 0, 1), 0, None), ((0, 0, 4), -34, None),
                                ((0, 8, 0), -22, None), ((0, 5, 0), -2, None)]),
    "SnapshotAddEvent": (new, [((0, 0, NEWS_4S), 0,
                                lambda w, r: w.test.assertEqual(r["event"], NEWS_4S)),
                               ((0, 5, NEWS_4S), -2, None), ((0, 8, NEWS_4S), -22, None)]),
    "SetTimeofdayAdvance": (None, [(("1000",), 0, advance(1000000)), (("+500",), 0,
                                   advance(1500000)), (("abc",), 0, advance(0))]),
    "UpdateAuxMedia": (None, [((0, 0, 2, "x"), 0, aux_marked),
                              ((0, 7, 0, "x"), -22, None)]),
}


def zero_state(state):
    return all(not v for k, v in state.items() if k != "er") and not any(state["er"])


class GuideWalk(unittest.TestCase):
    def walk(self, channel, one):
        w = Walk(self, channel, one)
        daemon = "1" if one else "2"
        self.assertEqual(sorted(w.table), sorted(CASES), "every method of the guide has cases")
        channel.write("walk.ply", WALK)
        for method, (types, reply, results, daemons) in w.table.items():
            prep, cases = CASES[method]
            top, inner = reply_members(reply)
            with self.subTest(daemon=daemon, method=method):
                if daemons != "both" and daemon not in daemons:
                    args = [0 if callable(a) else a for a in cases[0][0]]
                    r = channel.box.call("MivraBox." + method, *w.typed(method, args))
                    self.assertEqual(r[0], "fault", r)
                    self.assertEqual(r[1][0], 1)
                    continue
                w.reset()
                if prep:
                    prep(w)
                for args, want, check in cases:
                    r = channel.box.call("MivraBox." + method, *w.typed(method, args))
                    if want == "fault":
                        self.assertEqual(r[0], "fault", (args, r))
                        continue
                    self.assertNotEqual(r[0], "fault", (args, r))
                    r = plain(r)
                    got = r["result"]
                    if want is None:
                        self.assertGreaterEqual(got, 0, (args, r))
                    else:
                        self.assertEqual(got, want, (args, r))
                    if got < 0:
                        # Negative results come alone and are named in the guide (a bad bus
                        # index is named once above the table).
                        if method != "SearchEvent":
                            self.assertEqual(sorted(r), ["result"], r)
                        if args[0] != 16:
                            self.assertIn(str(got), results, (args, r))
                        continue
                    for m in ["state"] + top:
                        self.assertIn(m, r, (args, reply))
                    for item in r.get("events", []) + [x for x in r.get("list", [])
                                                      if isinstance(x, dict)]:
                        self.assertTrue(set(inner) <= set(item), (inner, item))
                    self.check_state(w, method, reply, r["state"], one)
                    if check:
                        check(w, r)
        if one:
            w.raw("SetTimeofdayAdvance", "0")

    def check_state(self, w, method, reply, state, one):
        if "zero state" in reply:
            self.assertTrue(zero_state(state), (method, state))
            return
        for m in ("absent_remain", "last_playlist", "type_C_remain", "type_L_remain",
                  "ply_hash", "fixed_time_remain"):
            self.assertIn(m, state)
            if not one:
                self.assertEqual(state[m], "", (method, m))
        if one and state["count"]:
            self.assertEqual(state["last_playlist"][:4], "walk", (method, state))

    def test_guide_method_table_on_both_daemons(self):
        media = demo_media()
        with self.subTest(daemon="MivraBox2"):
            self.walk(BusChannel(self, media=media, bus_extra=demo_bus_options("demo.conf")),
                      False)
        with self.subTest(daemon="MivraBox1"):
            self.walk(Channel1(self, media=media, bus_extra=demo_bus_options("demo1.conf")),
                      True)


if __name__ == "__main__":
    unittest.main()
