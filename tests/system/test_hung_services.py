"""Services that accept a call and never answer, like a crashed but listening engine or library:
each call has its bound (3 s for the player's cue and play calls, 5 s for library lookups and the
change list), past which it fails as it does when the service is down. The channel goes on, the
control port keeps answering, and SIGTERM ends the daemon at once, whatever is in flight."""
import signal
import time
import unittest

from harness import scaled
from helpers.box1_util import Channel1
from helpers.box2_air_util import Channel, dur, next_second, tc
from helpers.box2_util import I8, line, wait_for

PLAYER_BOUND = 3.0
LIBRARY_BOUND = 5.0
# Wider only in the slower sanitizer builds.
TOL = scaled(0.3)
PLAY_TOL = scaled(0.1)
# A call's bound against one that never ends: wide enough for a busy machine, far below the fault.
BOUND_TOL = scaled(1.0)
CUE_FAILED, PLAY_FAILED, PRESENT, ABSENT = 0x10, 0x20, 0x4, 0x80


class Follow:
    """Polls a channel's events until done: the slowest control call, and the first time each
    media showed each flag."""

    def __init__(self, ch):
        self.ch = ch
        self.worst = 0.0
        self.first = {}  # (media, flag) -> time first seen

    def until(self, done, deadline, flags=(CUE_FAILED, PRESENT)):
        deadline += scaled(1) - 1  # the sanitizer builds' slowdown; none in the plain build
        while time.time() < deadline:
            t = time.time()
            events = self.ch.events()
            self.worst = max(self.worst, time.time() - t)
            for media, f, _ in events:
                for flag in flags:
                    if f & flag:
                        self.first.setdefault((media, flag), t)
            if done(events):
                return True
            time.sleep(0.03)
        return False


def call_times(fake, method, first_arg=None):
    return [c["time"] for c in fake.calls(method)
            if first_arg is None or first_arg in c["args"][:2]]


def log_time(ch, text, timeout):
    """Wall time of the first log line holding text (waited for), or None."""
    if not ch.wait_log(text, timeout):
        return None
    stamp = next(x for x in ch.log().splitlines() if text in x)[3:26]  # "%Y-%m-%d %H:%M:%S.mmm"
    return time.mktime(time.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S")) + int(stamp[20:]) / 1000


def terminate_within(test, ch, in_flight, seconds=5.0):
    """SIGTERM while a call hangs (in_flight() true): the daemon ends cleanly within seconds."""
    test.assertTrue(wait_for(in_flight, 15), ch.log()[-2000:])
    t = time.monotonic()
    ch.box.signal(signal.SIGTERM)
    rc = ch.box.wait(10)
    test.assertLess(time.monotonic() - t, seconds)
    test.assertEqual(rc, 0)
    test.assertIn("Bye!", ch.log())


def in_flight(*fakes):
    return lambda: any(f.stats()["in_flight"] > 0 for f in fakes)


class HungServicesTest(unittest.TestCase):
    def test_box2_engine_that_never_answers_a_cue(self):
        n = 6
        cue_calls = ["MivraIO.Stop", "MivraIO.CuePlay", "MivraIO.Pause", "MivraIO.PlaylistLoop",
                     "MivraIO.PlaylistInsert"]
        # io-a takes the insert, or every call, and never answers: m1, m3, ... are cued there.
        # A player that left one call unanswered is not asked again within the same cue.
        for hung, asked in ((cue_calls[-1:], cue_calls), (cue_calls, cue_calls[:1])):
            with self.subTest(hung=hung):
                ch = Channel(self, media=[("m%d" % i, 2.0) for i in range(n)])
                for method in hung:
                    ch.io[0].script(method, hang=True, times=0)
                t0 = next_second(1.5)
                ch.load([line(start=tc(t0), media="m0", dur=dur(2))] +
                         [line(media="m%d" % i, dur=dur(2)) for i in range(1, n)])
                ch.call("MivraBox.Run", 0, 1)
                f = Follow(ch)
                self.assertTrue(f.until(lambda ev: not ev, t0 + 2 * n + 15), ch.log()[-3000:])
                # The lock is held through the half second before each cue, as always, never
                # through a hung call's bound.
                self.assertLess(f.worst, min(scaled(2.0), PLAYER_BOUND))
                sent = call_times(ch.io[0], hung[0])
                self.assertEqual(len(sent), n // 2)
                self.assertEqual([c["method"] for c in ch.io[0].calls()], asked * (n // 2))
                for k, i in enumerate(range(1, n, 2)):
                    # The failure's log time: the flag it sets may come and go between two polls
                    # of a busy machine.
                    failed = log_time(ch, "mivra_playlist_insert(m%d.mxf{m%d}, 0, 49) failed, "
                                      "r=-14" % (i, i), 5)
                    self.assertIsNotNone(failed, i)
                    self.assertLess(abs(failed - (sent[k] + PLAYER_BOUND)), BOUND_TOL, i)
                # Each event played, on the player it was cued on, and aired once.
                self.assertEqual([k for k, _ in ch.all_plays()], [1, 0] * (n // 2))
                self.assertEqual([x[1][6] for x in ch.arl()], ["m%d" % i for i in range(n)])
                # Both players hang now: the stop interrupts the cue in flight.
                ch.io[1].script("MivraIO.Stop", hang=True, times=0)
                ch.load([line(start=tc(time.time() + 5), media="m0", dur=dur(2))], name="again")
                ch.call("MivraBox.Run", 0, 1)
                terminate_within(self, ch, in_flight(*ch.io))

    def test_box2_library_that_never_answers_lookups(self):
        n = 4
        ch = Channel(self, media=[("m%d" % i, 2.0) for i in range(n + 1)] + [("late", 2.0)])
        ch.lib.script("MivraIO.LibBasenameItem", args=["late"], hang=True, times=0)
        ch.lib.script("MivraLib.LibState", hang=True, times=0)
        t0 = next_second(2.5)
        # "late" is looked up after the others, and airs an hour later.
        ch.load([line(start=tc(t0), media="m0", dur=dur(2))] +
                [line(media="m%d" % i, dur=dur(2)) for i in range(1, n)] +
                [line(start=tc(t0 + 3600), mode="F", media="late", dur=dur(2))])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.lib.wait_calls(1, 5, "MivraIO.LibBasenameItem"))
        self.assertTrue(wait_for(lambda: call_times(ch.lib, "MivraIO.LibBasenameItem", "late"), 5))
        # A media queued behind the hung lookup still resolves.
        ch.call("MivraBox.InsertEvent", 0, line(media="m%d" % n, dur=dur(2)), I8(-1))
        failed = log_time(ch, "mivra_io_basename_item(late) failed, r=-14", LIBRARY_BOUND + 2)
        self.assertIsNotNone(failed, ch.log()[-2000:])
        sent = call_times(ch.lib, "MivraIO.LibBasenameItem", "late")[0]
        self.assertLess(abs(failed - (sent + LIBRARY_BOUND)), TOL)
        f = Follow(ch)
        self.assertTrue(f.until(lambda ev: any(m == "m%d" % n and fl & PRESENT for m, fl, _ in ev),
                                time.time() + 8), ch.log()[-2000:])
        late = [fl for m, fl, _ in ch.events() if m == "late"]
        self.assertEqual(late[0] & (PRESENT | ABSENT), 0)
        polled = log_time(ch, "mivra_lib_state failed, r=-14", LIBRARY_BOUND + 5)
        self.assertIsNotNone(polled)
        self.assertTrue(any(abs(polled - (t + LIBRARY_BOUND)) < TOL
                            for t in call_times(ch.lib, "MivraLib.LibState")))
        # The channel itself never waited for the library: on time, and aired once each.
        self.assertTrue(f.until(lambda ev: ev[0][0] == "m%d" % (n - 1) and ev[0][1] & 0x40,
                                t0 + 2 * n))
        self.assertLess(f.worst, scaled(0.75))
        for i, (_, t) in enumerate(ch.all_plays()[:n]):
            self.assertLess(abs(t - (t0 + 2 * i - 0.04)), PLAY_TOL, i)
        self.assertEqual([x[1][6] for x in ch.arl()], ["m%d" % i for i in range(n - 1)])
        terminate_within(self, ch, in_flight(ch.lib))

    def test_box1_engine_that_never_answers_a_cue_or_a_play(self):
        n = 6
        ch = Channel1(self, media=[("a%d" % i, 2.0) for i in range(n)])
        io = ch.io[0]
        # The insert of a1 and the fourth play (a3's) never answer.
        io.script("MivraIO.PlaylistInsertTemplate", args=[0, "a1.mxf"], hang=True)
        for _ in range(3):
            io.script("MivraIO.Play")
        io.script("MivraIO.Play", hang=True)
        t0 = next_second(2)
        ch.load([line(start=tc(t0), media="a0", dur=dur(2))] +
                [line(media="a%d" % i, dur=dur(2)) for i in range(1, n)])
        ch.call("MivraBox.Run", 0, 1)
        f = Follow(ch)
        self.assertTrue(f.until(lambda ev: len(io.calls("MivraIO.Play")) >= 4, t0 + 10))
        play_failed = log_time(ch, "bus_async_play_proc[0] mivra_play failed, r=-14",
                               PLAYER_BOUND + 2)
        self.assertIsNotNone(play_failed, ch.log()[-2000:])
        self.assertTrue(f.until(lambda ev: not ev, t0 + 2 * n + 10), ch.log()[-3000:])
        self.assertLess(f.worst, scaled(0.25))
        sent = call_times(io, "MivraIO.PlaylistInsertTemplate", "a1.mxf")[0]
        self.assertLess(abs(f.first[("a1", CUE_FAILED)] - (sent + PLAYER_BOUND)), TOL)
        self.assertIn("mivra_playlist_insert_template(a1)(a1.mxf) failed, r=-14", ch.log())
        self.assertLess(abs(play_failed - (call_times(io, "MivraIO.Play")[3] + PLAYER_BOUND)), TOL)
        # The chain went on: every event cued and played after the hung calls, aired once.
        inserted = [c["args"][1] for c in io.calls("MivraIO.PlaylistInsertTemplate")]
        self.assertEqual(inserted, ["a%d.mxf" % i for i in range(n)])
        self.assertEqual(len(io.calls("MivraIO.Play")), n)
        self.assertEqual([x[1][6] for x in ch.arl()], ["a%d" % i for i in range(n)])
        io.script("MivraIO.PlaylistInsertTemplate", hang=True, times=0)
        ch.load([line(start=tc(time.time() + 5), media="a0", dur=dur(2))], name="again")
        ch.call("MivraBox.Run", 0, 1)
        terminate_within(self, ch, in_flight(io))


if __name__ == "__main__":
    unittest.main()
