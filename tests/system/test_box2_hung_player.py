"""MivraBox2 on air while one of its two playout engines stops answering for several seconds (the
engine's process stopped, then continued): the events of the other engine air on time, the stopped
engine's events go as failed cues, and once it answers again its next event airs on time, with no
burst of late events after it."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xmlrpc.client

from harness import scaled
from helpers.box2_air_util import Channel, dur, next_second, tc
from helpers.box2_util import line, wait_for

FAKES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes")
TOL = scaled(0.1)  # the play tolerance of the other on-air tests
IO_DELAY = 0.04


class EngineProcess:
    """A playout engine fake in a process of its own, so that it can be stopped like a hung one."""

    def __init__(self, test):
        # Its answers to calls that gave up while it was stopped find the peer gone: the broken
        # pipes go to a file, shown only when the fake cannot be reached.
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(FAKES, "fake.py"), "--port", "0", "--watch-stdin", "io"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)
        test.addCleanup(self.close)
        self.port = int(self.proc.stdout.readline())
        self.hostport = "127.0.0.1:%d" % self.port
        self.rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % self.hostport,
                                             use_builtin_types=True)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def plays(self):
        """Kernel receive times of the play datagrams (right even for those that came while the
        process was stopped)."""
        try:
            return [d["ktime"] for d in self.rpc.Fake.Datagrams()]
        except OSError as e:
            self.err.seek(0)
            raise AssertionError("engine fake unreachable (%s), exit status %r, its errors:\n%s" % (
                e, self.proc.poll(), self.err.read()[-3000:].decode(errors="replace"))) from e

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.err.close()


class HungChannel(Channel):
    """A channel whose second engine (io-b, the first one cued) runs in its own process."""

    players = 1

    def __init__(self, test, media):
        self.engine_b = EngineProcess(test)
        super().__init__(test, media=media, io_delay=int(IO_DELAY * 1000))

    def player_options(self):
        return ["--io-a=%s" % self.io[0].hostport, "--io-b=%s" % self.engine_b.hostport]


class HungPlayerTest(unittest.TestCase):
    def test_stopped_engine_costs_only_its_own_events(self):
        n = 14
        ch = HungChannel(self, media=[("m%d" % i, 1.0) for i in range(n)])
        t0 = next_second(2)
        due = [t0 + i - IO_DELAY for i in range(n)]
        ch.load([line(start=tc(t0), media="m0", dur=dur(1)) if i == 0 else
                 line(media="m%d" % i, dur=dur(1)) for i in range(n)])
        self.assertTrue(ch.wait_present(n))
        ch.call("MivraBox.Run", 0, 1)
        # io-b plays the even events. Stopped after m2 went to air, before m4 is cued; back
        # before m10 is cued: the cues of m4, m6 and m8 find it hung.
        stop_at, cont_at = t0 + 2.5, t0 + 8.5
        time.sleep(max(0, stop_at - time.time()))
        ch.engine_b.signal(signal.SIGSTOP)
        time.sleep(max(0, cont_at - time.time()))
        ch.engine_b.signal(signal.SIGCONT)
        self.assertTrue(wait_for(lambda: ch.state()["count"] == 0, t0 + n + 3 - time.time()),
                        ch.log()[-3000:])
        plays_a = [d["ktime"] for d in ch.io[0].datagrams()]
        plays_b = ch.engine_b.plays()
        log = ch.log()

        # Every event went to air once, in order, on alternate engines: no event dropped, none
        # aired twice.
        self.assertEqual([x[1][6] for x in ch.arl()], ["m%d" % i for i in range(n)])
        self.assertEqual((len(plays_a), len(plays_b)), (n // 2, n // 2), log[-3000:])
        # The healthy engine's events air on time throughout the outage.
        for i, t in zip(range(1, n, 2), plays_a):
            self.assertLess(abs(t - due[i]), TOL, "m%d" % i)
        for i, t in zip(range(0, n, 2), plays_b):
            if stop_at < due[i] < cont_at:
                # Played as failed cues, in time for the next event's cue on the other engine.
                self.assertGreaterEqual(t, due[i] - TOL, "m%d" % i)
                self.assertLess(t, due[i] + 0.5, "m%d" % i)
            else:
                # Before the outage, and from the first event due after it.
                self.assertLess(abs(t - due[i]), TOL, "m%d" % i)
        for i in (4, 6, 8):
            self.assertIn("{m%d} sys_id=" % i, log)
        # At least those three (a slow sanitizer build may add a late one inside its tolerance).
        self.assertGreaterEqual(log.count("playing it as cue failed"), 3, log[-3000:])
        self.assertIn("mivra_playlist_insert(m4.mxf{m4}", log)
        self.assertNotIn("dropping", log)

    def test_event_that_missed_its_cue_goes_and_the_next_keeps_its_time(self):
        # b's media lookup keeps failing, so b is never cued while a plays; once b's start has
        # passed it can no longer air: it is dropped and c airs at its own time.
        ch = Channel(self, media=[("a", 2.0), ("c", 1.0)])
        ch.lib.personalities["MivraIO"].Fake_FailNames(["b"])
        t0 = next_second(scaled(5))  # the failing lookups hold up the others a while
        ch.load([line(start=tc(t0), media="a", dur=dur(2)), line(media="b", dur=dur(1)),
                 line(media="c", dur=dur(1))])
        self.assertTrue(ch.wait_present(2))
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(ch.wait_plays(2, t0 + 3 + scaled(2) - time.time()), ch.log()[-3000:])
        self.assertIn("dropping FOLLOW outdated events range [1, 1] of {%s, %s}"
                      % (tc(t0 + 2), tc(t0 + 2)), ch.log())
        self.assertLess(abs(ch.all_plays()[1][1] - (t0 + 3 - IO_DELAY)), TOL)


if __name__ == "__main__":
    unittest.main()
