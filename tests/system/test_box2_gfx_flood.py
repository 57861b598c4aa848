"""MivraBox2 against a graphics device that floods it: unknown messages, unhandled commands and
forged tallies for a few seconds while the bus plays. The log grows by a bounded number of lines
a second, holds nothing the device forged, and keeps every play of the bus."""
import collections
import os
import re
import sys
import threading
import time
import unittest

from helpers.box2_air_util import BusChannel, dur, next_second, tc
from helpers.box2_util import line, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fakes"))
from oxtel_device import OxtelDevice  # noqa: E402

FORGED = b"  [2026-12-09 19:00:00.000] _send_play: PLAY event idx=999 at [forged]"
# Each kind the device may send at any rate, one write of many messages each.
FLOOD = [b"x:" * 20000, b":" * 40000, b"A1:" * 10000, b"30 1:" * 8000,
         (b"Y90evil\\3A\n" + FORGED + b"\x1b[2J:") * 500]
STAMP = re.compile(r"^(?:[ !?]. \[)?(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3}[\] ]")


class FloodChannel(BusChannel):
    def __init__(self, test, oxtel_port, media):
        super().__init__(test, media=media, bus_extra=[
            "--io-delay=40", "--oxtel=127.0.0.1:%d" % oxtel_port])

    def play_count(self):
        return sum(len(self.io[k].datagrams()) for k in (0, 1))


class FloodTest(unittest.TestCase):
    def test_flooding_device_costs_neither_disk_nor_play_lines(self):
        dev = OxtelDevice().start()
        self.addCleanup(dev.stop)
        ch = FloodChannel(self, dev.port, [("a", 2.0), ("b", 2.0)])
        self.assertTrue(dev.wait(lambda: dev.conns))
        t0 = next_second(2.5)
        events = 6
        ch.load([line(start=tc(t0), media="a", dur=dur(1))]
                + [line(media="ab"[i % 2], dur=dur(1)) for i in range(1, events)])
        ch.call("MivraBox.Run", 0, 1)

        sent = [0]
        stop = threading.Event()

        def flood():
            while not stop.is_set():
                for chunk in FLOOD:
                    dev.send(chunk)
                    sent[0] += len(chunk)

        flooder = threading.Thread(target=flood)
        flooder.start()
        self.addCleanup(stop.set)
        played = wait_for(lambda: ch.play_count() >= events, t0 + events + 10 - time.time())
        stop.set()
        flooder.join()
        self.assertTrue(played, ch.log()[-3000:])
        self.assertGreater(sent[0], 4 << 20)
        # The counts of the last second are said without a further message.
        self.assertTrue(ch.wait_log("unrecognized sequences not logged"))
        self.assertTrue(ch.wait_log("more tallies not logged"))
        self.assertTrue(ch.wait_log("unhandled commands not logged"))
        with open(ch.box.log, "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\x1b", raw)
        self.assertIsNone(re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", raw))
        text = raw.decode()
        lines = text.splitlines()
        self.assertFalse([l for l in lines if l.startswith(FORGED[:30].decode())])
        # The device's ':' splits the forged line into messages, each logged (or counted) on its
        # own: whatever part is shown stands inside an unrecognized-sequence line.
        self.assertFalse([l for l in lines if "idx=999" in l
                          and "Unrecognized sequence [" not in l.split("idx=999")[0]])
        per_second = collections.Counter(
            m.group(1) for m in map(STAMP.match, lines) if m)
        self.assertLess(max(per_second.values()), 500, per_second.most_common(3))
        self.assertLess(len(raw), 4 << 20)
        plays = [l for l in lines if re.match(r"  \[[^\]]+\] _send_play: PLAY event idx=", l)]
        self.assertEqual(len(plays), ch.play_count())
        self.assertIn("Unrecognized sequence [x]", text)


if __name__ == "__main__":
    unittest.main()
