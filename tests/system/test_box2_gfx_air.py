"""MivraBox2 graphics on air: what the Oxtel device receives at the cue and at the play of events
with templates and metadata, around the engine's play datagram; the idle walk that keys the
layers at their in and out points; text boxes filled from the playlist and from a real HTTP whois
lookup, one per cue; and a hung whois endpoint that must not hold up the next play."""
import os
import sys
import time
import unittest

from harness import scaled
from helpers.box2_air_util import Channel, dur, next_second, tc
from helpers.box2_util import line, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from oxtel_device import OxtelDevice  # noqa: E402
from whois_fake import WhoisFake  # noqa: E402

TOL = scaled(0.1)  # wider only in the slower sanitizer builds
HANDSHAKE = [b"Y61", b"Y6"]


def meta(*pairs):
    """The metadata field of a playlist line."""
    return "\\n".join("%s\\t%s" % kv for kv in pairs)


def layer_of(msg):
    """Graphics layer a device command addresses, None for mixer and link commands."""
    if msg[:1] == b"3" and len(msg) == 4:
        return int(msg[1:2], 16)
    if msg[:2] in (b"R0", b"Z0", b"Z3", b"S4", b"S1") and len(msg) >= 3:
        return int(msg[2:3], 16)
    return None


def play_block(loads, keyed, cue_src, prev_src):
    """What a play sends: every layer keyed off or loaded or re-texted and keyed, then the
    mixer switch. loads: layer -> template; keyed: layer -> commands of an already loaded one."""
    out = []
    for i in range(16):
        if i in keyed:
            out += keyed[i]
        else:
            out.append(b"3%X 0" % i)
            if i in loads:
                out.append(b"R0%x" % i + loads[i])
    return out + [b"U1", b"UE0%d" % cue_src, b"U0", b"UE1%d" % prev_src]


class GfxChannel(Channel):
    """A channel whose bus drives a graphics device and asks a whois endpoint."""

    def __init__(self, test, media):
        self.dev = OxtelDevice(answer=True).start()
        test.addCleanup(self.dev.stop)
        self.whois = WhoisFake().start()
        test.addCleanup(self.whois.stop)
        super().__init__(test, media=media, start=False)
        with open(self.box.conf, "a") as f:
            f.write("--oxtel=127.0.0.1:%d\n--whois-arg-0=%s\n" % (self.dev.port, self.whois.url()))
        self.box.start()
        test.assertTrue(self.dev.wait(lambda: self.dev.texts()[:2] == HANDSHAKE))

    def msgs(self):
        """(monotonic seconds, bytes) of every message the device received."""
        return self.dev.timed()

    def datagrams(self):
        """(monotonic seconds, player) of every play datagram, in time order."""
        out = [(d["mono"], k) for k in (0, 1) for d in self.io[k].datagrams()]
        return sorted(out)

    def mono(self, wall):
        """A wall-clock instant on the monotonic clock of the fakes."""
        return wall - time.time() + time.monotonic()


class GfxAirTest(unittest.TestCase):
    def assertNear(self, got, want, what=""):
        self.assertLess(abs(got - want), TOL, "%s: %.3f off" % (what, got - want))

    def find(self, msgs, text, after=0.0):
        """Time of the first message equal to text at or after a time."""
        for t, m in msgs:
            if t >= after and m == text:
                return t
        self.fail("%r not received after %.3f: %r" % (text, after, [m for _, m in msgs]))

    def test_cue_play_and_idle_walk(self):
        ch = GfxChannel(self, media=[("a", 3.0), ("b", 2.0)])
        ch.whois.reply("id=a&", body="artist\tAnna\r\nlabel\tNorth\r\n")
        ch.whois.reply("id=b&", body="artist\tBob\n")
        t0 = next_second(2.5)
        # LOGO stays until the next play; LOWER keys on after 1 s, runs its animation out at
        # 2 s and keys off at 2.4 s (15 frames before the end of the 75-frame event); on layer 3
        # BUG airs for 0.8 s, then CREDITS follows it in the chain from 2.6 s to 2.88 s.
        a_meta = meta(("DSK@LOGO#0", "1"), ("0@LOGO#0", "<current.meta.channel/>"),
                      ("channel", "Mivra One"),
                      ("DSK@LOWER#0", "2"), ("in@LOWER#0", "25"), ("out@LOWER#0", "-15"),
                      ("LOOP_OUT@LOWER#0", "10"),
                      ("0@LOWER#0", "<current.ply.title/> now"),
                      ("1@LOWER#0", "<current.whois.artist/> (<current.whois.label/>)"),
                      ("2@LOWER#0", "Next: <next.ply.title/>"),
                      ("DSK@BUG#0", "3"), ("in@BUG#0", "0"), ("dur@BUG#0", "20"),
                      ("DSK@CREDITS#0", "3"), ("in@CREDITS#0", "65"), ("out@CREDITS#0", "72"),
                      ("0@CREDITS#0", "<nextC0.meta.artist/>"))
        b_meta = meta(("artist", "Bea"),
                      ("DSK@LOWER#0", "2"), ("in@LOWER#0", "0"), ("out@LOWER#0", "25"),
                      ("0@LOWER#0", "<current.whois.artist/>"))
        ch.load([line(start=tc(t0), media="a", dur=dur(3), title="First",
                      assets="LOGO+LOWER+BUG+CREDITS", tag="news 1", meta=a_meta),
                 line(media="b", dur=dur(2), title="Second", assets="LOWER", meta=b_meta)])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(2, t0 + 5 - time.time()), ch.log()[-3000:])
        # B keys its layer off at its out point (t0 + 4); then the lone event is retired.
        self.assertTrue(wait_for(lambda: ch.state()["count"] == 0, t0 + 7 - time.time()))
        msgs = ch.msgs()
        (da, pa), (db, pb) = ch.datagrams()
        self.assertEqual((pa, pb), (1, 0))
        t0m = ch.mono(t0)
        self.assertNear(da, t0m - 0.04, "play datagram of a")
        self.assertNear(db, t0m + 2.96, "play datagram of b")
        texts = [m for _, m in msgs]
        self.assertEqual(texts[:2], HANDSHAKE)

        # Cue of a: the cued player (io-b) on mixer input 1, and a is the top event.
        before_a = [m for t, m in msgs[2:] if t < da]
        self.assertEqual(before_a, [b"UE11", b"UE01", b"U0"])

        # Play of a, after the datagram: both templates load, every other layer keys off.
        after_a = [(t, m) for t, m in msgs if da <= t < db]
        block = play_block({1: b"LOGO", 2: b"LOWER", 3: b"BUG"}, {}, 1, 0)
        self.assertEqual([m for _, m in after_a[:len(block)]], block)
        self.assertNear(after_a[0][0], t0m, "play of a")
        # The idle walk, per layer, once the device reports each template loaded; a ':' in a
        # text goes out escaped.
        walk = after_a[len(block):]
        self.assertEqual([m for _, m in walk if layer_of(m) == 1],
                         [b"Z01000Mivra One", b"Z31ff", b"S41", b"31 1"])
        self.assertEqual([m for _, m in walk if layer_of(m) == 2],
                         [b"Z02000First now", b"Z02010Anna (North)", b"Z02020Next\\3A Second",
                          b"Z32ff", b"S42", b"32 1", b"S120", b"32 0"])
        # The chain's second item loads in the walk, once the first one is gone.
        layer3 = [(t, m) for t, m in walk if layer_of(m) == 3]
        self.assertEqual([m for _, m in layer3],
                         [b"Z33ff", b"S43", b"33 1", b"33 0", b"R03CREDITS", b"Z03000Bea",
                          b"Z33ff", b"S43", b"33 1", b"33 0"])
        for (t, _), want in zip([layer3[i] for i in (2, 3, 4, 8, 9)],
                                [0, 0.8, 0.8, 2.6, 2.88]):
            self.assertNear(t, t0m + want, "layer 3")
        # The only other command: the cue of b on io-a.
        self.assertEqual([m for _, m in walk if layer_of(m) not in (1, 2, 3)], [b"UE10"])
        self.assertNear(self.find(walk, b"31 1"), t0m, "LOGO on")
        self.assertNear(self.find(walk, b"32 1"), t0m + 1.0, "LOWER on")
        self.assertNear(self.find(walk, b"S120"), t0m + 2.0, "LOWER loop out")
        self.assertNear(self.find(walk, b"32 0"), t0m + 2.4, "LOWER off")
        self.assertLess(self.find(walk, b"Z02000First now"), t0m + TOL)

        # Play of b: LOWER is still loaded, so it is re-texted and keyed on at once (in 0);
        # LOGO, without a new item, keys off. b keys off at its out point, 1 s later.
        after_b = [(t, m) for t, m in msgs if t >= db]
        block = play_block({}, {2: [b"Z02000Bob", b"Z32ff", b"S42", b"32 1"]}, 0, 1)
        self.assertEqual([m for _, m in after_b], block + [b"32 0"])
        self.assertNear(after_b[0][0], t0m + 3.0, "play of b")
        self.assertNear(after_b[-1][0], t0m + 4.0, "LOWER of b off")

        # One whois request per cue, with the media id and the tag encoded, each before its
        # event's play.
        reqs = ch.whois.requests()
        self.assertEqual([p for _, p in reqs], ["/whois?id=a&tag=news%201", "/whois?id=b&tag="])
        self.assertLess(reqs[0][0], da)
        self.assertTrue(da < reqs[1][0] < db)
        log = ch.log()
        self.assertIn("bus_cg_cue: val[2]=[Anna]", log)
        self.assertIn("bus_cg_play: [0] layer 2 already loaded {LOWER}", log)

    def test_taken_event_airs_its_graphics(self):
        # A take plays as soon as the cue answers: the graphics must be ready by then.
        ch = GfxChannel(self, media=[("a", 30.0), ("m", 5.0)])
        ch.whois.reply("id=m&", body="artist\tMax\n")
        t0 = next_second(1.5)
        m_meta = meta(("DSK@LOWER#0", "2"),
                      ("0@LOWER#0", "<current.ply.title/> <current.whois.artist/>"))
        ch.load([line(start=tc(t0), media="a", dur=dur(30)),
                 line(mode="M", media="m", dur=dur(5), title="Taken", assets="LOWER",
                      meta=m_meta)])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(1, t0 + 2 - time.time()), ch.log()[-3000:])
        self.assertEqual(ch.call("MivraBox.Take", 0)["result"], 0)
        self.assertTrue(ch.wait_plays(2, 5))
        taken = ch.datagrams()[1][0]
        self.assertTrue(ch.dev.wait(lambda: b"32 1" in ch.dev.texts(), 3), ch.dev.texts())
        msgs = ch.msgs()
        # Cued on io-a at the take, graphics and all, then played: nothing of the cue is left
        # to come after the play.
        self.assertEqual([m for t, m in msgs if t < taken][-1], b"UE10")
        after = [m for t, m in msgs if t >= taken]
        self.assertEqual(after, play_block({2: b"LOWER"}, {}, 0, 1) +
                         [b"Z02000Taken Max", b"Z32ff", b"S42", b"32 1"])
        self.assertEqual([p for _, p in ch.whois.requests()], ["/whois?id=m&tag="])

    def test_hung_whois_does_not_hold_the_next_play(self):
        ch = GfxChannel(self, media=[("h", 1.5), ("n", 1.5), ("m", 1.5)])
        # Far longer than the event spacing, and than the lookup's own time-out.
        ch.whois.reply("id=h&", body="artist\tLate\n", delay=30)
        ch.whois.reply("id=n&", body="artist\tNed\n")
        ch.whois.reply("id=m&", body="artist\tMia\n")
        t0 = next_second(2.5)

        def ev(mid, title, start=""):
            m = meta(("DSK@LOGO#0", "1"), ("0@LOGO#0", "<current.ply.title/>"),
                     ("DSK@LOWER#0", "2"), ("0@LOWER#0", "<current.whois.artist/>!"))
            return line(start=start, media=mid, dur=dur(1.5), title=title, assets="LOGO+LOWER",
                        meta=m)

        ch.load([ev("h", "Hh", tc(t0)), ev("n", "Nn"), ev("m", "Mm")])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(3, t0 + 5 - time.time()), ch.log()[-3000:])
        plays = ch.datagrams()
        self.assertEqual([k for _, k in plays], [1, 0, 1])
        t0m = ch.mono(t0)
        for (t, _), want in zip(plays, [t0, t0 + 1.5, t0 + 3.0]):
            self.assertNear(t, t0m + want - t0 - 0.04, "play")
        self.assertTrue(ch.dev.wait(lambda: b"Z02000Mia!" in ch.dev.texts(), 3))
        msgs = ch.msgs()
        # The hung lookup gave up in time: h's graphics air without the whois value, and the
        # events after it get theirs, each asked once.
        block = play_block({1: b"LOGO", 2: b"LOWER"}, {}, 1, 0)
        self.assertEqual([m for t, m in msgs if t >= plays[0][0]][:len(block)], block)
        self.assertNear(self.find(msgs, b"Z02000!"), t0m, "LOWER of h texted")
        per_event = []
        for (start, _), end in zip(plays, [p[0] for p in plays[1:]] + [float("inf")]):
            per_event.append([m for t, m in msgs if start <= t < end and layer_of(m) in (1, 2)])
        self.assertIn(b"Z02000!", per_event[0])
        self.assertIn(b"Z01000Hh", per_event[0])
        self.assertIn(b"Z02000Ned!", per_event[1])
        self.assertIn(b"Z02000Mia!", per_event[2])
        self.assertEqual([p.split("&")[0] for _, p in ch.whois.requests()],
                         ["/whois?id=h", "/whois?id=n", "/whois?id=m"])
        self.assertIn("whois_method_0: curl failed", ch.log())


if __name__ == "__main__":
    unittest.main()
