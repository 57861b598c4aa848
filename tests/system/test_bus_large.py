"""Large inputs on a bus: an oversized dropped playlist is refused while the channel plays on, a
large append registers every event, MivraBox1's list and delete methods keep their results, and
a stop signal during the start-up load of a large playlist ends the daemon at once."""
import collections
import hashlib
import os
import signal
import tempfile
import threading
import time
import unittest

from harness import TIME_SCALE
from helpers.box2_air_util import Channel, next_second, tc
from helpers.box2_util import BOX2, Box, I8, line, wait_for
from helpers.box1_util import BOX1, Box1, Channel1

PRESENT, ABSENT, RANGE = 0x4, 0x80, 0x100


class DropChannel(Channel):
    """A MivraBox2 channel with a drop folder."""

    def __init__(self, test, drop, media):
        self.io_delay = 40
        super(Channel, self).__init__(test, media=media, bus_extra=[
            "--io-delay=40", "--auto-append=%s" % drop])


class LargeInputTest(unittest.TestCase):
    def test_oversized_drop_is_refused_while_the_channel_plays(self):
        drop = tempfile.TemporaryDirectory(prefix="bus-large-drop-")
        self.addCleanup(drop.cleanup)
        clips = ["c%d" % i for i in range(6)]
        ch = DropChannel(self, drop.name, [(c, 1.0) for c in clips])
        self.assertTrue(ch.wait_present(0))
        # Room for the load and the media lookups, slower in the sanitizer builds.
        t0 = next_second(3 * TIME_SCALE)
        ch.load([line(tc(t0) if i == 0 else "", dur="00:00:01:00", media=c)
                 for i, c in enumerate(clips)])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_present(len(clips)))
        # Sparse: just over the bound without taking the disk space.
        big = os.path.join(ch.box.dir, "big.ply")
        with open(big, "w") as f:
            f.truncate((256 << 20) + 1)
        self.assertTrue(wait_for(lambda: time.time() >= t0 + 1, 5))
        os.rename(big, os.path.join(drop.name, "big.ply"))
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(drop.name, "failed",
                                                                     "big.ply")), 10))
        self.assertTrue(ch.wait_log("refused [%s/big.ply]: larger than 268435456 bytes"
                                    % drop.name))
        self.assertTrue(ch.wait_plays(len(clips), len(clips) + 5))
        times = [t for _, t in ch.all_plays()][:len(clips)]
        for i, t in enumerate(times):
            self.assertAlmostEqual(t, t0 + i - 0.04, delta=0.1 * TIME_SCALE, msg="play %d" % i)

    def test_large_append_registers_every_event(self):
        ch = Channel(self, media=[("m%d" % i, 10.0) for i in range(5)])
        ch.load([line(media="m%d" % i) for i in range(5)] + [line(media="gone"), line(media="v#")])
        self.assertTrue(wait_for(lambda: ch.state()["lib_present_count"] == 5 and
                                 ch.state()["lib_absent_count"] == 2, 10))
        # Without the library nothing new resolves: what the append registered stays queued.
        ch.lib.stop()
        n = 30000
        lines = [line(media="d%d" % (i // 2 if i < 100 else i)) for i in range(n)]
        # Present and absent media by exact name, one by its '#' variant.
        lines += [line(media="m3"), line(media="gone"), line(media="v.mxf")]
        ch.write("big.ply", lines)
        r = ch.call("MivraBox.AppendPlaylist", 0, "big")
        self.assertEqual(r["result"], 7)
        # The queue thread may already have asked the stopped library about a new media, which
        # then went absent: new media count in either list.
        st = ch.state()
        self.assertEqual((st["lib_present_count"],
                          st["lib_absent_count"] + st["lib_queued_count"]), (5, 2 + n - 50))
        self.assertEqual(st["count"], 7 + n + 3)
        tail = ch.call("MivraBox.GetEvents", 0, 7 + n, 3)["events"]
        flags = [e["state"]["er"][0] & (PRESENT | ABSENT) for e in tail]
        self.assertEqual(flags, [PRESENT, ABSENT, ABSENT])

    def test_append_raced_by_deletions_counts_each_event_once(self):
        """A large append registers its events a chunk at a time, and a close gives them back a
        chunk at a time: a deletion, a close or a load meanwhile must neither give back media
        never counted nor count any twice."""
        ch = Channel(self, media=[("m%d" % i, 10.0) for i in range(3)])
        base = [line(media="m%d" % i) for i in range(3)]
        ch.load(base, "base")
        self.assertTrue(wait_for(lambda: ch.state()["lib_present_count"] == 3, 10))
        ch.lib.stop()
        n = 20000
        # Shared media: a reference given back in error shows in the others' count.
        ch.write("big.ply", [line(media="d%d" % (i % 300)) for i in range(n)] + base)
        ch.write("small.ply", [line(media="m1"), line(media="d7")])

        def refs():
            out = collections.Counter()
            for which in range(3):
                for o in ch.call("MivraBox.LibList", 0, which)["list"]:
                    out[o["object"]] += o["ref"]
            return +out

        def playlist():
            count = ch.state()["count"]
            got = ch.call("MivraBox.GetEvents", 0, 0, count)["events"] if count else []
            return collections.Counter(e["event"].split("\t")[6] for e in got)

        def spliced():
            self.assertTrue(wait_for(lambda: ch.state()["count"] > len(base), 30))

        def delete():
            spliced()
            for k in (n, n // 2, 10, n // 4, 3):
                ch.call("MivraBox.DeleteEvent", 0, I8(k))

        def close():
            spliced()
            ch.call("MivraBox.ClosePlaylist", 0)

        def reload():
            close()
            ch.call("MivraBox.LoadPlaylist", 0, "small")

        def close_while_read():
            # The events closed go to the reader's visit, which may still read them.
            spliced()
            reader = threading.Thread(target=lambda: ch.call("MivraBox.GetEvents", 0, 0, n))
            reader.start()
            ch.call("MivraBox.ClosePlaylist", 0)
            reader.join()

        for what, race in (("delete", delete), ("close", close), ("load", reload),
                           ("close while read", close_while_read)):
            with self.subTest(what):
                ch.call("MivraBox.ClosePlaylist", 0)
                ch.load(base, "base")
                failed = []

                def run(race=race):
                    try:
                        race()
                    except BaseException as e:  # noqa: B036 - reported by the test below
                        failed.append(e)
                th = threading.Thread(target=run)
                th.start()
                r = ch.call("MivraBox.AppendPlaylist", 0, "big")
                th.join()
                self.assertEqual(failed, [])
                self.assertEqual(r["result"], len(base))
                # The lists are read one call each while the queue thread may move a media from
                # one to the next (counted twice, or not at all): the counts are compared until
                # one reading agrees; only a failure reads again, for its message.
                if not wait_for(lambda: refs() == playlist(), 20, 0.2):
                    self.assertEqual(refs(), playlist())

    def test_box1_flag_and_delete_methods(self):
        ch = Channel1(self, media=[("ok", 10.0), ("short", 2.0)])
        # A range fault (out point past the media), an absent media twice, a partial one.
        ch.load([line(media="ok"), line(media="short", mark_out="00:00:05:00"),
                 line(media="lost"), line(media="ok", dur="00:00:05:00"), line(media="lost"),
                 line(media="short", mark_out="00:00:06:00"), line(media="lost2")])
        self.assertTrue(wait_for(lambda: ch.state()["lib_present_count"] == 2 and
                                 ch.state()["lib_absent_count"] == 2, 10))

        def ids():
            return [e["state"]["er"][1] for e in ch.call("MivraBox.GetEvents", 0, 0, 100)[
                "events"]]

        def flag_list(mask):
            r = ch.call("MivraBox.ErrorFlagList", 0, mask)
            return [(e["media_id"], e["flags"] & 0xfff) for e in r["list"]]

        for mask, want in (
                (ABSENT, [("lost", ABSENT), ("lost2", ABSENT)]),
                (RANGE, [("short", PRESENT | RANGE), ("short", PRESENT | RANGE)]),
                (ABSENT | RANGE, [("short", PRESENT | RANGE), ("lost", ABSENT),
                                  ("short", PRESENT | RANGE), ("lost2", ABSENT)]),
                (0x8000, [])):
            self.assertEqual(flag_list(mask), want, "mask 0x%x" % mask)

        # ResetEventsTC: marks dropped and the range checked again; unknown ids ignored.
        sid = ids()
        r = ch.call("MivraBox.ResetEventsTC", 0, [[I8(sid[1])], [I8(10 ** 12)], [I8(sid[1])]])
        self.assertEqual(r["result"], 0)
        self.assertEqual(flag_list(RANGE), [("short", PRESENT | RANGE)])
        self.assertEqual(ch.state()["lib_present_count"], 2)

        # DeleteEvents2: known ids, unknown ones, a repeat, and a run of markers between two
        # known ids filled with what now stands between them.
        for ask, gone in (([sid[6], 10 ** 12, sid[6]], [6]),
                          ([10 ** 12, sid[1], -1, -1, sid[4]], [1, 2, 3, 4]),
                          ([10 ** 12 + 1], [])):
            before = ids()
            r = ch.call("MivraBox.DeleteEvents2", 0, [[I8(x)] for x in ask])
            self.assertEqual(r["result"], 0, ask)
            self.assertEqual(ids(), [x for i, x in enumerate(before)
                                     if sid.index(x) not in gone], ask)
        self.assertEqual(ids(), [sid[0], sid[5]])
        st = ch.state()
        self.assertEqual((st["lib_present_count"], st["lib_absent_count"]), (2, 0))

    def test_stop_signal_during_a_large_start_up(self):
        n = 100000
        for binary in (BOX2, BOX1):
            with self.subTest(binary=os.path.basename(binary)):
                box = (Box if binary == BOX2 else Box1)(self, start=False)
                text = "".join(line(media="s%d" % i) + "\n" for i in range(n)).encode()
                cur = os.path.join(box.paths[0], "current.ply")
                with open(cur, "wb") as f:
                    f.write(text)
                box.launch()
                self.assertTrue(wait_for(lambda: "main: starting busses" in box.log_text(), 10))
                time.sleep(0.3)
                sent = time.monotonic()
                box.signal(signal.SIGTERM)
                self.assertEqual(box.wait(30), 0)
                self.assertLess(time.monotonic() - sent, 2 * TIME_SCALE)
                with open(cur, "rb") as f:
                    self.assertEqual(hashlib.md5(f.read()).digest(), hashlib.md5(text).digest())
                self.assertEqual([x for x in os.listdir(box.paths[0]) if x.startswith(".")], [])


if __name__ == "__main__":
    unittest.main()
