"""What a client, a peer or a device does must not stop a channel: calls started from the control
port share at most half of the client pool and each has its bound, a peer download ends at the
count the peer announced, the UDP trigger takes at most one event per bus every 100 ms and logs
what it ignores once a second, and an Oxtel device that closes every connection at once is
retried once a second."""
import collections
import os
import signal
import socket
import threading
import time
import unittest

from test_box1_util import Box1, Channel1
from test_box2_air_util import FakeService, dur, next_second, tc  # puts tests/fakes on the path
from test_box2_util import I8, Box, line, plain, wait_for
from test_hung_services import terminate_within

from box_fake import BoxFake  # noqa: E402
from fake_base import SilentHost  # noqa: E402
from oxtel_device import OxtelDevice  # noqa: E402

POOL_OUTSIDE = 16  # half of the pool
PREVIEW_BOUND = 3.0
PEER_BOUND = 5.0
RELAY_BOUND = 10.0
TOL = 0.5
LEAD = 0.04  # a play leaves this long before the event's start


def parallel(calls):
    """Runs every call on its own thread at once: (result, seconds taken) of each, in order."""
    out = [None] * len(calls)

    def run(i, fn):
        t = time.monotonic()
        try:
            r = fn()
        except Exception as e:  # a daemon that ended under the call
            r = e
        out[i] = (r, time.monotonic() - t)

    threads = [threading.Thread(target=run, args=(i, fn)) for i, fn in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    return out


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(x.split()[1]) for x in f if x.startswith("VmRSS:"))


def sanitized(pid):
    """A daemon under a sanitizer's allocator, which keeps what the program frees."""
    with open("/proc/%d/maps" % pid) as f:
        return any("libtsan" in x or "libasan" in x for x in f)


def result(box, method, *params):
    return plain(box.call(method, *params))["result"]


class MisbehavingPeersTest(unittest.TestCase):
    def test_hung_host_takes_half_the_pool_and_the_channel_airs_on_time(self):
        silent = SilentHost().start()
        self.addCleanup(silent.stop)
        n = 10
        ch = Channel1(self, media=[("a%d" % i, 1.0) for i in range(n)], bus_extra=[
            "--peer-master-box=%s" % silent.hostport, "--peer-master-bus=0"])
        t0 = next_second(2)
        ch.load([line(start=tc(t0), media="a0", dur=dur(1))] +
                [line(media="a%d" % i, dur=dur(1)) for i in range(1, n)])
        ch.call("MivraBox.Run", 0, 1)
        # Beside it a daemon whose player, library and slave peer are that host: relayed calls
        # and pushes.
        aside = Box1(self, bus_extra=["--io=%s" % silent.hostport, "--lib=%s" % silent.hostport,
                                      "--peer-slave-box=%s" % silent.hostport])
        with open(os.path.join(aside.paths[0], "more.ply"), "w") as f:
            f.write(line(media="x") + "\n")
        url = "http://%s/RPC2" % silent.hostport
        rows = [  # (daemon, what, call, bound)
            (ch.box, "preview", lambda: result(ch.box, "MivraBox.Preview", 0, I8(0), url),
             PREVIEW_BOUND),
            (ch.box, "download", lambda: result(ch.box, "MivraBox.LoadPlaylist", 0,
                                                "peer_master"), PEER_BOUND),
            (aside, "relay", lambda: plain(aside.call("MivraIO.Play"))[0], RELAY_BOUND),
            # A refused push leaves the local answer as it was (-2: the bus is empty).
            (aside, "push", lambda: result(aside, "MivraBox.AppendPlaylist", 0, "more"),
             PEER_BOUND),
        ]
        time.sleep(max(0.0, t0 + 0.5 - time.time()))
        calls = [row for row in rows for _ in range(40 if row[0] is ch.box else 20)]
        got = parallel([fn for _, _, fn, _ in calls])
        for box in (ch.box, aside):
            mine = [(what, r, s, bound) for (b, what, _, bound), (r, s) in zip(calls, got)
                    if b is box]
            # Beyond the control port's share the calls are refused at once (-16); the others
            # end at their bound, as calls to a service that is down.
            hung = [x for x in mine if x[2] > TOL]
            self.assertEqual(len(hung), POOL_OUTSIDE, hung)
            for what, r, s, bound in mine:
                if s < TOL:
                    self.assertEqual(r, -2 if what == "push" else -16, what)
                else:
                    self.assertLess(abs(s - bound), TOL, (what, r, s))
                    self.assertNotEqual(r, -16, what)
        # Meanwhile the channel played every event on time.
        self.assertTrue(wait_for(lambda: len(ch.io_calls("MivraIO.Play")) >= n, t0 + n + 5))
        plays = [c["time"] for c in ch.io_calls("MivraIO.Play")]
        late = [round(p - (t0 + i - LEAD), 3) for i, p in enumerate(plays)]
        self.assertTrue(all(abs(x) < 0.1 for x in late), late)
        # A stop ends the daemon at once while calls hang.
        threading.Thread(target=parallel, args=([rows[0][2]] * 8,), daemon=True).start()
        terminate_within(self, ch, lambda: silent.open() > 0)

    def test_peer_that_answers_past_its_count(self):
        master = FakeService([BoxFake()]).start()
        self.addCleanup(master.stop)
        box = Box1(self, bus_extra=["--peer-master-box=%s" % master.hostport,
                                    "--peer-master-bus=0"])
        old = os.path.join(box.paths[0], "peer_master.ply")
        with open(old, "w") as f:
            f.write(line(media="kept") + "\n")
        event = {"result": 0, "event": line(media="again"), "state": BoxFake().state()}
        for announced in (3, 0):
            with self.subTest(announced=announced):
                master.reset()
                master.personalities["MivraBox"].lines = [line(media="m")] * announced
                master.script("MivraBox.SnapshotGetEvent", reply=event, times=0)
                self.assertEqual(result(box, "MivraBox.LoadPlaylist", 0, "peer_master"), -14)
                # One call past the announced count shows the peer holds more: nothing is taken.
                self.assertEqual(len(master.calls("MivraBox.SnapshotGetEvent")), announced + 1)
                self.assertIn("download of [peer_master] stopped at %d events" % announced,
                              box.log_text())
                with open(old) as f:
                    self.assertEqual(f.read(), line(media="kept") + "\n")
                self.assertEqual(len(master.calls("MivraBox.SnapshotDestroy")), 1)

    def test_trigger_flood(self):
        n = 400
        ch = Channel1(self)
        ch.load([line(start=tc(time.time() + 1), media="#LIVE0", dur=dur(10))] +
                [line(media="#LIVE%d" % (i % 4), dur=dur(10)) for i in range(1, n)])
        ch.call("MivraBox.Run", 0, 1)
        self.assertTrue(wait_for(lambda: ch.io_calls("MivraIO.Play"), 5))
        senders = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
        for s in senders:
            self.addCleanup(s.close)
        to = ("127.0.0.1", ch.box.port)
        take, wrong, unsupported = b"MivraBox.Take 0\0", b"MivraBox.Take 0", b"MivraBox.Run 0\0"
        # Warm-up: a few paced takes, so that what the daemon keeps for good is there before.
        for _ in range(5):
            senders[0].sendto(take, to)
            time.sleep(0.15)
        time.sleep(1)
        before = rss_kb(ch.box.proc.pid)
        plays_before = len(ch.io_calls("MivraIO.Play"))
        t = time.time()
        for i in range(100000):
            senders[0].sendto(take, to)
            if i % 10 == 0:
                senders[1].sendto(wrong, to)
                senders[2].sendto(unsupported, to)
        t_end = time.time()
        self.assertTrue(ch.wait_log("wrong or unsupported datagrams ignored", 3))
        time.sleep(1.5)  # the last counts and takes
        plays = [c["time"] for c in ch.io_calls("MivraIO.Play")][plays_before:]
        span = t_end - t + 0.3
        self.assertGreaterEqual(len(plays), 3)
        self.assertLessEqual(len(plays), span / 0.1 + 2, (len(plays), span))
        # Lines of the trigger per second: the takes made and one count of each kind.
        per_second = collections.Counter(x[3:22] for x in ch.log().splitlines()
                                         if "trig_proc:" in x)
        self.assertLessEqual(max(per_second.values()), 10 + 4, per_second.most_common(3))
        self.assertIn("takes ignored, each within 100 ms of the one before", ch.log())
        measured = not sanitized(ch.box.proc.pid)
        after = rss_kb(ch.box.proc.pid)
        if measured:
            self.assertLessEqual(after, before * 1.1, (before, after))
        # Takes over XML-RPC are not paced: each cue and play runs, and what they held goes
        # back once they are done (a little heap stays: the log's and the server's buffers).
        played = len(ch.io_calls("MivraIO.Play"))
        parallel([lambda: [ch.box.call("MivraBox.Take", 0) for _ in range(75)]] * 4)
        self.assertTrue(wait_for(lambda: len(ch.io_calls("MivraIO.Play")) > played + 50, 10))

        def settled():
            n = len(ch.io_calls())
            time.sleep(1)
            return n == len(ch.io_calls())
        self.assertTrue(wait_for(settled, 15))
        after = rss_kb(ch.box.proc.pid)
        if measured:
            self.assertLessEqual(after, before * 1.25, (before, after))

    def test_oxtel_device_that_closes_at_once(self):
        dev = OxtelDevice().start()
        self.addCleanup(dev.stop)
        box = Box(self, bus_extra=["--oxtel=127.0.0.1:%d" % dev.port])
        # A connection that was up is made again at once.
        self.assertTrue(dev.wait(lambda: dev.conns, 5))
        time.sleep(1.2)
        t = time.monotonic()
        dev.close()
        self.assertTrue(dev.wait(lambda: len(dev.accepted) >= 2, 5))
        self.assertLess(dev.accepted[1] - t, 0.5)
        # One closed at once counts as failed: the next attempt waits a second.
        dev.close_at_once = True
        time.sleep(1.2)
        dev.close()
        time.sleep(5)
        tries = dev.accepted[2:]
        self.assertGreaterEqual(len(tries), 3)
        self.assertLessEqual(len(tries), 6, tries)
        gaps = [b - a for a, b in zip(tries, tries[1:])]
        self.assertTrue(all(g > 0.9 for g in gaps), gaps)
        box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
