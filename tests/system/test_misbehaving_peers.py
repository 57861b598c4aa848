"""What a client, a peer or a device does must not stop a channel: calls started from the control
port share at most half of the client pool and each has its bound, a peer download ends at the
count the peer announced, the UDP trigger takes at most once per bus every 100 ms and logs what
it ignores once a second, and an Oxtel device that closes at once is retried once a second."""
import collections
import os
import signal
import socket
import threading
import time
import unittest

from harness import scaled
from helpers.box1_util import Box1, Channel1
from helpers.box2_air_util import FakeService, dur, next_second, tc  # puts tests/fakes on the path
from helpers.box2_util import I8, Box, line, plain, wait_for
from test_hung_services import terminate_within

from box_fake import BoxFake  # noqa: E402
from fake_base import SilentHost  # noqa: E402
from oxtel_device import OxtelDevice  # noqa: E402

POOL_OUTSIDE, TOL = 16, scaled(0.5)  # half of the pool; wider in the sanitizer builds
PREVIEW_BOUND, PEER_BOUND, RELAY_BOUND = 3.0, 5.0, 10.0


def parallel(calls):
    """Runs the calls on a thread each at once: (result, seconds taken) of each, in order."""
    out = [None] * len(calls)

    def run(i, fn):
        t = time.monotonic()
        try:
            out[i] = (fn(), time.monotonic() - t)
        except Exception as e:  # a daemon that ended under the call
            out[i] = (e, time.monotonic() - t)

    threads = [threading.Thread(target=run, args=x) for x in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    return out


def rss_kb(pid):
    """Resident size, or None under a sanitizer's allocator (it keeps what the program frees)."""
    with open("/proc/%d/maps" % pid) as f:
        if any("libtsan" in x or "libasan" in x for x in f):
            return None
    with open("/proc/%d/status" % pid) as f:
        return next(int(x.split()[1]) for x in f if x.startswith("VmRSS:"))


def result(box, method, *params):
    return plain(box.call(method, *params))["result"]


class MisbehavingPeersTest(unittest.TestCase):
    def test_hung_host_takes_half_the_pool_and_the_channel_airs_on_time(self):
        silent = SilentHost().start()
        self.addCleanup(silent.stop)
        n = 10
        ch = Channel1(self, media=[("a%d" % i, 1.0) for i in range(n)], bus_extra=[
            "--peer-master-box=%s" % silent.hostport])
        t0 = next_second(2)
        ch.load([line(start=tc(t0), media="a0", dur=dur(1))] +
                [line(media="a%d" % i, dur=dur(1)) for i in range(1, n)])
        ch.call("MivraBox.Run", 0, 1)
        # Beside it a daemon whose player, library and slave are that host: relays and pushes.
        aside = Box1(self, bus_extra=["--%s=%s" % (o, silent.hostport)
                                      for o in ("io", "lib", "peer-slave-box")])
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
             PEER_BOUND)]
        time.sleep(max(0.0, t0 + 0.5 - time.time()))
        calls = [row for row in rows for _ in range(40 if row[0] is ch.box else 20)]
        got = parallel([fn for _, _, fn, _ in calls])
        for box in (ch.box, aside):
            mine = [(w, r, s, bound) for (b, w, _, bound), (r, s) in zip(calls, got) if b is box]
            # Beyond the control port's share the calls are refused at once (-16); the others
            # end at their bound, as calls to a service that is down.
            self.assertEqual(len([x for x in mine if x[2] > TOL]), POOL_OUTSIDE, mine)
            for what, r, s, bound in mine:
                if s < TOL:
                    self.assertEqual(r, -2 if what == "push" else -16, what)
                else:
                    self.assertLess(abs(s - bound), TOL, (what, r, s))
                    self.assertNotEqual(r, -16, what)
        # Meanwhile the channel played every event on time (a play leaves 40 ms ahead).
        self.assertTrue(wait_for(lambda: len(ch.io_calls("MivraIO.Play")) >= n, t0 + n + 5))
        late = [round(c["time"] - (t0 + i - 0.04), 3)
                for i, c in enumerate(ch.io_calls("MivraIO.Play"))]
        # A channel held up by the hung calls would be seconds late; a busy machine a tenth or two.
        self.assertTrue(all(abs(x) < scaled(0.5) for x in late), late)
        # A stop ends the daemon at once while calls hang.
        held = len(silent.conns)
        threading.Thread(target=parallel, args=([rows[0][2]] * 8,), daemon=True).start()
        terminate_within(self, ch, lambda: len(silent.conns) > held)

    def test_peer_that_answers_past_its_count(self):
        master = FakeService([BoxFake()]).start()
        self.addCleanup(master.stop)
        box = Box1(self, bus_extra=["--peer-master-box=%s" % master.hostport])
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
                # The log writer lags behind the reply.
                self.assertTrue(box.wait_log("download of [peer_master] stopped at %d events"
                                             % announced), box.log_text())
                with open(old) as f:
                    self.assertEqual(f.read(), line(media="kept") + "\n")
                self.assertEqual(len(master.calls("MivraBox.SnapshotDestroy")), 1)

    def test_trigger_flood(self):
        ch = Channel1(self)
        ch.load([line(start=tc(time.time() + 1), media="#LIVE0", dur=dur(10))] +
                [line(media="#LIVE%d" % (i % 4), dur=dur(10)) for i in range(1, 400)])
        ch.call("MivraBox.Run", 0, 1)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        to = ("127.0.0.1", ch.box.port)
        plays = lambda: [c["time"] for c in ch.io_calls("MivraIO.Play")]  # noqa: E731
        for _ in range(5):  # a few paced takes first: what the daemon keeps for good is there
            sock.sendto(b"MivraBox.Take 0\0", to)
            time.sleep(0.15)
        time.sleep(1)
        before, played, t = rss_kb(ch.box.proc.pid), len(plays()), time.time()
        for i in range(100000):
            sock.sendto(b"MivraBox.Take 0\0", to)
            if i % 10 == 0:
                sock.sendto(b"MivraBox.Take 0", to)  # no NUL
                sock.sendto(b"MivraBox.Run 0\0", to)
        span = time.time() - t + 0.3
        self.assertTrue(ch.wait_log("wrong or unsupported datagrams ignored", 3))
        time.sleep(1.5)  # the last counts and takes
        self.assertTrue(3 <= len(plays()) - played <= span / 0.1 + 2, (len(plays()), span))
        # Lines of the trigger per second: the takes made and one count of each kind.
        per_second = collections.Counter(x[3:22] for x in ch.log().splitlines()
                                         if "trig_proc:" in x)
        self.assertLessEqual(max(per_second.values()), 10 + 4, per_second.most_common(3))
        self.assertIn("takes ignored, each within 100 ms of the one before", ch.log())
        if before:
            self.assertLessEqual(rss_kb(ch.box.proc.pid), before * 1.1, before)
        # Takes over XML-RPC are not paced: each cue and play runs, and what they held goes
        # back once they are done (a little heap stays: the log's and the server's buffers).
        played = len(plays())
        parallel([lambda: [ch.box.call("MivraBox.Take", 0) for _ in range(75)]] * 4)
        self.assertTrue(wait_for(lambda: len(plays()) > played + 50, 10))

        def settled():
            n = len(ch.io_calls())
            time.sleep(1)
            return n == len(ch.io_calls())
        self.assertTrue(wait_for(settled, 15))
        if before:
            self.assertLessEqual(rss_kb(ch.box.proc.pid), before * 1.25, before)

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
        gaps = [b - a for a, b in zip(tries, tries[1:])]
        self.assertTrue(3 <= len(tries) <= 6 and all(g > 0.9 for g in gaps), gaps)
        box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
