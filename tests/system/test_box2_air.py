"""MivraBox2 on air against the engine and library fakes: cue ahead on the player that is not on
air, the fast play at the start, take, fallback, overdue events, presence, as-run lines."""
import os
import time
import unittest

from harness import scaled
from helpers.box2_air_util import (CUE_SEQUENCE, Channel, dur, insert_sig, next_second, tc)
from helpers.box2_util import I8, line, wait_for

TOL = scaled(0.1)  # wider only in the slower sanitizer builds


class AirTest(unittest.TestCase):
    def assertNear(self, got, want, what=""):
        self.assertLess(abs(got - want), TOL, "%s: %.3f off" % (what, got - want))

    def test_follow_fixed_and_live_alternate(self):
        ch = Channel(self, media=[("a", 2.0), ("b", 3.0), ("c", 2.0)])
        t0 = next_second(2.5)
        ch.load([line(start=tc(t0), media="a", dur=dur(2)),
                 line(media="b", mark_in="00:00:00:10", dur=dur(2)),
                 line(media="#0", dur=dur(1)),
                 line(start=tc(t0 + 5.5), mode="F", media="c", dur=dur(2)),
                 line(media="a", dur=dur(2))])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(4, t0 + 12 - time.time()), ch.log()[-3000:])
        delay = ch.io_delay / 1000.0
        plays = ch.all_plays()
        self.assertEqual([k for k, _ in plays], [1, 0, 1, 0])
        for (_, t), want in zip(plays, [t0, t0 + 2, t0 + 5.5, t0 + 7.5]):
            self.assertNear(t, want - delay, "play")
        self.assertTrue(all(d == b"MivraIO.Play\0" for k in (0, 1) for d, _ in ch.plays(k)))
        # Each player: the cue sequence, ahead of its play and while the other one plays.
        ins = {1: [insert_sig("a.mxf", 0, 49), insert_sig("c.mxf", 0, 49)],
               0: [insert_sig("b.mxf", 10, 49), insert_sig("a.mxf", 0, 49)]}
        for k in (0, 1):
            calls = ch.io[k].calls()
            self.assertEqual([c["sig"] for c in calls],
                             CUE_SEQUENCE + [ins[k][0]] + CUE_SEQUENCE + [ins[k][1]])
        order = [(c["time"], k) for k in (0, 1) for c in ch.io[k].calls("MivraIO.PlaylistInsert")]
        order.sort()
        for (cue_t, k), (pk, play_t) in zip(order, plays):
            self.assertEqual(k, pk)
            self.assertLess(cue_t, play_t - 0.3)
        # The lone last event stays until its end plus the delay, then is logged and removed.
        self.assertTrue(wait_for(lambda: ch.state()["count"] == 0, t0 + 11 - time.time()))
        self.assertGreater(time.time(), t0 + 9.5 + delay - TOL)
        arl = ch.arl()
        self.assertEqual([x[1][6] for x in arl], ["a", "b", "#0", "c", "a"])
        self.assertEqual({x[0] for x in arl}, {time.strftime("%Y-%m-%d.arl", time.localtime(t0))})
        log = ch.log()
        self.assertIn("bus_io_cue[0]: bus->last_cue_src=2", log)
        self.assertIn("bus_ply_proc[0] bus paused", log)
        self.assertEqual(ch.state()["f_running"], 0)

    def test_manual_take_and_take_n(self):
        ch = Channel(self, media=[("a", 3.0), ("b", 2.0), ("c", 30.0), ("x", 30.0)])
        t0 = next_second(1.5)
        ch.load([line(start=tc(t0), media="a", dur=dur(3)),
                 line(mode="M", media="b", dur=dur(2)),
                 line(media="c", dur=dur(30)),
                 line(media="x", dur=dur(30)),
                 line(media="c", dur=dur(30))])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(1, 5))
        # The manual event waits: a stays on air past its end, nothing else is cued.
        time.sleep(max(0, t0 + 4 - time.time()))
        self.assertEqual(len(ch.all_plays()), 1)
        self.assertEqual(len(ch.io[0].calls()), 0)
        before = time.time()
        self.assertEqual(ch.call("MivraBox.Take", 0)["result"], 0)
        self.assertTrue(ch.wait_plays(2, 5))
        self.assertLess(ch.all_plays()[1][1] - before, 1.0)
        self.assertEqual(ch.io[0].calls("MivraIO.PlaylistInsert")[0]["args"][1], "b.mxf")
        # b now plays; TakeN 2 skips c and plays x; an index past the end takes nothing.
        self.assertTrue(wait_for(lambda: ch.events()[0][0] == "b", 3))
        self.assertEqual(ch.call("MivraBox.TakeN", 0, 99)["result"], 0)
        self.assertEqual(ch.call("MivraBox.TakeN", 0, 2)["result"], 0)
        self.assertTrue(ch.wait_plays(3, 5))
        self.assertTrue(wait_for(lambda: ch.events()[0][0] == "x", 3))
        self.assertEqual([e[0] for e in ch.events()], ["x", "c"])
        self.assertTrue(wait_for(lambda: len(ch.arl()) == 2, 3))
        self.assertEqual([x[1][6] for x in ch.arl()], ["a", "b"])
        self.assertIn("TAKE next_idx=1", ch.log())
        self.assertIn("TAKE next_idx=2", ch.log())
        self.assertNotIn("TAKE next_idx=99", ch.log())

    def test_fallback(self):
        ch = Channel(self, media=[("a", 20.0), ("fb", 1.0), ("n", 5.0)],
                     files={"fallback.ply": [line(media="fb", dur=dur(1))]})
        t0 = next_second(1.5)
        ch.load([line(start=tc(t0), media="a", dur=dur(20)), line(media="n", dur=dur(5))])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(1, 5))
        self.assertEqual(ch.call("MivraBox.Fallback", 0)["result"], 0)
        # The fallback event airs at once, then the interrupted event from its beginning.
        self.assertTrue(ch.wait_plays(2, 5), ch.log()[-2000:])
        fb_t = ch.all_plays()[1][1]
        self.assertTrue(ch.wait_plays(3, 4))
        self.assertLess(abs(ch.all_plays()[2][1] - fb_t - 1.0), TOL)
        self.assertEqual([e[0] for e in ch.events()], ["a", "n"])
        self.assertIn("FALLBACK happens, path=[%s/fallback.ply], r=1" % ch.path, ch.log())
        self.assertTrue(wait_for(lambda: len(ch.arl()) == 2, 3))
        self.assertEqual([x[1][6] for x in ch.arl()], ["a", "fb"])

    def test_overdue_events_dropped(self):
        ch = Channel(self, media=[("a", 8.0), ("b", 1.0), ("w", 2.0)])
        now = time.time()
        # Follow events that passed while the bus was paused go, the one still ahead airs.
        t0 = int(now) - 7
        ch.load([line(start=tc(t0), media="b", dur=dur(3)),
                 line(media="b", dur=dur(3)),
                 line(media="a", dur=dur(4)),
                 line(media="w", dur=dur(2))])
        start_w = ch.events()[3][2]
        self.assertTrue(ch.wait_present(3))
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_log("dropping FOLLOW outdated events range [0, 2] of {%s, %s}"
                                    % (tc(t0), tc(t0 + 6))))
        self.assertTrue(ch.wait_plays(1, start_w - time.time() + 2))
        self.assertLess(abs(ch.all_plays()[0][1] - (start_w - 0.04)), TOL)
        # An overdue fixed-time event after the playing one goes with the follow events behind
        # it that passed too; the next one becomes fixed-time.
        past = time.time() - 3
        r = ch.call("MivraBox.InsertEvent", 0, line(start=tc(past), mode="F", media="b",
                                                     dur=dur(1)), I8(1))
        self.assertEqual(r["result"], 0)
        self.assertTrue(ch.wait_log("dropping FT events range [1, 1]"))

    def test_presence_follows_library(self):
        ch = Channel(self, media=[("a", 30.0)])
        ch.load([line(start=tc(time.time() + 60), media="p#", dur=dur(5)),
                 line(media="p#", dur=dur(5))])
        flags = lambda: [e[1] for e in ch.events()]  # noqa: E731
        self.assertTrue(wait_for(lambda: all(f & 0x80 for f in flags()), 5))
        self.assertEqual(ch.state()["lib_absent_count"], 1)
        ch.add_media("p", 7.0)
        self.assertTrue(wait_for(lambda: all(f & 0x4 for f in flags()), 8), ch.log()[-2000:])
        self.assertFalse(any(f & 0x80 for f in flags()))
        # Registered while its media was queued: no range check, the event keeps its length.
        self.assertEqual(ch.call("MivraBox.GetEvent", 0, 0)["event"].split("\t")[4], dur(5))
        self.assertEqual(ch.call("MivraBox.GetEvent", 0, 0)["event"].split("\t")[6], "p#")
        ch.remove_media("p")
        self.assertTrue(wait_for(lambda: all(f & 0x80 for f in flags()), 8))
        self.assertIn("PRESENT->ABSENT object=[p#], origin=[p.mxf]", ch.log())
        self.assertIn("ABSENT->PRESENT object=[p#], origin=[p.mxf]", ch.log())

    def test_failing_lookup_blocks_no_other_media(self):
        ch = Channel(self, media=[("a", 30.0), ("b", 30.0)])
        ch.lib.personalities["MivraIO"].Fake_FailNames(["bad"])
        ch.load([line(start=tc(time.time() + 60), media="bad", dur=dur(5)),
                 line(media="a", dur=dur(5)), line(media="b", dur=dur(5))])
        self.assertTrue(ch.wait_present(2, 8), ch.log()[-2000:])
        # The failing one stays queued; the others were looked up behind it.
        self.assertEqual([e[1] & 0x284 for e in ch.events()], [0x200, 0x204, 0x204])
        self.assertIn("mivra_io_basename_item(bad) failed", ch.log())

    def test_midnight_with_zero_delay(self):
        # Local time shortly before midnight: an fixed-time event after midnight follows an
        # event that ends before it, and every first event airs with no I/O delay.
        old = os.environ.get("TZ")
        self.addCleanup(lambda: (os.environ.__setitem__("TZ", old) if old is not None
                                 else os.environ.pop("TZ", None), time.tzset()))
        now = time.time()
        off = (int(now) % 86400 - (86400 - 6)) % 86400
        if off > 43200:
            off -= 86400
        sign = "+" if off >= 0 else "-"
        off = abs(off)
        os.environ["TZ"] = "XXX%s%02d:%02d:%02d" % (sign, off // 3600, off // 60 % 60, off % 60)
        time.tzset()
        ch = Channel(self, media=[("a", 1.0), ("f", 2.0), ("b", 1.0)], io_delay=0)
        t0 = next_second(1.5)
        self.assertTrue(tc(t0).startswith("23:59:5"), tc(t0))
        lt = time.localtime(t0)
        t_mid = t0 + (86400 - (lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec))
        ch.load([line(start=tc(t0), media="a", dur=dur(1)),
                 line(start="00:00:01:00", mode="F", media="f", dur=dur(2)),
                 line(media="b", dur=dur(1))])
        self.assertEqual([round(e[2] - t0, 2) for e in ch.events()],
                         [0, round(t_mid + 1 - t0, 2), round(t_mid + 3 - t0, 2)])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(3, t_mid + 5 - time.time()), ch.log()[-3000:])
        # What goes wrong at midnight is a day or a second, not a busy machine's tenth.
        for (_, t), want in zip(ch.all_plays(), [t0, t_mid + 1, t_mid + 3]):
            self.assertLess(abs(t - want), scaled(0.5))
        self.assertTrue(wait_for(lambda: len(ch.arl()) == 3, 3))
        days = [time.strftime("%Y-%m-%d.arl", time.localtime(x)) for x in (t0, t_mid + 1)]
        self.assertEqual([(n, x[6]) for n, x in ch.arl()],
                         [(days[0], "a"), (days[1], "f"), (days[1], "b")])
        self.assertNotIn("dropping", ch.log())


if __name__ == "__main__":
    unittest.main()
