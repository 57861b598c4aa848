"""MivraBox2 on air while the playout engine fails: stopped and restarted, answering faults,
answering slowly; and killed during control edits. The daemon keeps its schedule and writes
every event that went to air once to the as-run log."""
import os
import random
import signal
import threading
import time
import unittest

from harness import scaled
from helpers.box2_air_util import Channel, dur, next_second, tc
from helpers.box2_util import Box, I8, line, plain, wait_for

from fake_base import FakeService  # noqa: E402  (path set by helpers.box2_air_util)
from io_fake import IOEngine  # noqa: E402

TOL = scaled(0.1)  # wider only in the slower sanitizer builds


class EngineFaultTest(unittest.TestCase):
    def run_channel(self, ch, n, seconds, t0):
        """Loads n clips m0.. of the given length from t0 and waits for the last to retire."""
        ch.load([line(start=tc(t0), media="m%d" % i, dur=dur(seconds)) if i == 0 else
                 line(media="m%d" % i, dur=dur(seconds)) for i in range(n)])
        ch.call("MivraBox.Run", 0, 1)
        end = t0 + n * seconds
        self.assertTrue(wait_for(lambda: ch.state()["count"] == 0, end + 3 - time.time()),
                        ch.log()[-3000:])
        names = [x[1][6] for x in ch.arl()]
        self.assertEqual(names, ["m%d" % i for i in range(n)])

    def test_engine_stopped_and_restarted(self):
        media = [("m%d" % i, 2.0) for i in range(6)]
        ch = Channel(self, media=media)
        t0 = next_second(1.5)
        port = ch.io[0].port

        def outage():
            time.sleep(max(0, t0 + 1.0 - time.time()))
            ch.io[0].kill()
            time.sleep(max(0, t0 + 5.2 - time.time()))
            ch.io[0] = FakeService([IOEngine()], port=port, reuse_address=True).start()
        th = threading.Thread(target=outage)
        th.start()
        self.run_channel(ch, 6, 2.0, t0)
        th.join()
        log = ch.log()
        self.assertIn("mivra_playlist_insert(m3.mxf{m3}", log)
        # Played on time all the same, and cued again once the engine was back.
        self.assertGreaterEqual(len(ch.io[0].calls("MivraIO.PlaylistInsert")), 1)
        plays = [t for _, t in ch.all_plays()]
        for i, t in enumerate(plays[-2:]):
            self.assertLess(abs(t - (t0 + (4 + i) * 2.0 - 0.04)), TOL)

    def test_engine_answers_faults(self):
        ch = Channel(self, media=[("m%d" % i, 2.0) for i in range(4)])
        ch.io[0].script("MivraIO.PlaylistInsert", reply={"result": -5}, times=0)
        ch.io[1].script("MivraIO.Stop", fault=[-1, "broken"], times=0)
        t0 = next_second(1.5)
        self.run_channel(ch, 4, 2.0, t0)
        self.assertIn("mivra_playlist_insert(m1.mxf{m1}, 0, 49) failed, r=-5", ch.log())
        # A failed cue still plays when due, on the player it was meant for.
        plays = ch.all_plays()
        self.assertEqual([k for k, _ in plays], [1, 0, 1, 0])
        for i, (_, t) in enumerate(plays):
            self.assertLess(abs(t - (t0 + i * 2.0 - 0.04)), TOL)

    def test_engine_answers_slowly(self):
        ch = Channel(self, media=[("m%d" % i, 1.0) for i in range(4)])
        t0 = next_second(3)
        # Cueing m2 outlasts m1: waiting for it would make m3 late, so m2 plays as cue failed,
        # on its own player, in time for m3's cue on the other one.
        ch.io[1].script("MivraIO.PlaylistInsert", delay=1.4, times=0)
        self.run_channel(ch, 4, 1.0, t0)
        plays = ch.all_plays()
        self.assertEqual([k for k, _ in plays], [1, 0, 1, 0])
        answered = [c["time"] for c in ch.io[1].calls("MivraIO.PlaylistInsert")][1] + 1.4
        self.assertLess(plays[2][1], answered)
        self.assertLess(abs(plays[3][1] - (t0 + 3 - 0.04)), TOL)
        self.assertIn("playing it as cue failed", ch.log())
        self.assertNotIn("dropping", ch.log())


class KillDuringEditsTest(unittest.TestCase):
    def test_sigkill_keeps_current_playlist_whole(self):
        box = Box(self, start=False)
        current = os.path.join(box.paths[0], "current.ply")
        rnd = random.Random(8)
        for rounds in range(100):
            box.start()
            stop = threading.Event()

            def edits():
                n = 0
                while not stop.is_set():
                    try:
                        if rnd.random() < 0.7:
                            box.call("MivraBox.InsertEvent", 0,
                                     line(media="m%d" % n, title="t" * rnd.randint(0, 3000)),
                                     I8(rnd.randint(-1, 5)))
                        else:
                            box.call("MivraBox.DeleteEvent", 0, I8(rnd.randint(0, 5)))
                    except Exception:  # noqa: BLE001 - the daemon was killed mid-call
                        return
                    n += 1
            th = threading.Thread(target=edits)
            th.start()
            time.sleep(rnd.uniform(0.0, 0.8))
            box.proc.send_signal(signal.SIGKILL)
            box.proc.wait()
            stop.set()
            th.join()
            box.err.close()
            box.proc = None
            if os.path.exists(current):
                with open(current, "rb") as f:
                    data = f.read()
                self.assertTrue(data == b"" or data.endswith(b"\n"), rounds)
                lines = data.decode().splitlines()
                for x in lines:
                    self.assertEqual(len(x.split("\t")), 15, (rounds, x[:80]))
                # Loads back whole at the next start.
                box.start()
                self.assertEqual(plain(box.call("MivraBox.GetState", 0))["state"]["count"],
                                 len(lines), rounds)
                box.proc.send_signal(signal.SIGKILL)
                box.proc.wait()
                box.err.close()
                box.proc = None
            leftovers = [n for n in os.listdir(box.paths[0]) if n.startswith(".")]
            for n in leftovers:  # temporary files of killed saves
                os.unlink(os.path.join(box.paths[0], n))


if __name__ == "__main__":
    unittest.main()
