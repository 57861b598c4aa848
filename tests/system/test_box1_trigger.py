"""The UDP trigger of MivraBox1: datagrams on the control port's number take on a bus, anything
else is logged and left alone, and the listener goes with the control server at shut-down."""
import os
import signal
import socket
import time
import unittest

from helpers.box1_util import Box1, wait_for
from helpers.box2_air_util import FakeService, IOEngine, LibraryIO, MediaLibrary
from helpers.box2_util import line, plain


class Box1TriggerTest(unittest.TestCase):
    def test_datagrams_and_shut_down(self):
        lib = FakeService([MediaLibrary(), LibraryIO()]).start()
        ios = [FakeService([IOEngine()]).start() for _ in range(2)]
        for f in [lib] + ios:
            self.addCleanup(f.stop)
        box = Box1(self, buses=2, bus_extra=["--lib=%s" % lib.hostport], start=False)
        # One player per bus: a take shows as a play on that bus's player.
        with open(box.conf) as f:
            conf = f.read().split("--add-bus\n")
        with open(box.conf, "w") as f:
            f.write(conf[0] + "".join("--add-bus\n--io=%s\n" % io.hostport + c
                                      for io, c in zip(ios, conf[1:])))
        box.start()
        for i, path in enumerate(box.paths):
            with open(os.path.join(path, "show.ply"), "w") as f:
                f.write("".join(line(media="#LIVE%d" % k, dur="01:00:00:00") + "\n"
                                for k in range(4)))
            self.assertEqual(plain(box.call("MivraBox.LoadPlaylist", i, "show"))["result"], 4)
        self.assertTrue(box.wait_log("trig_proc: waiting for commands"))
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(("127.0.0.1", 0))
        src = "127.0.0.1:%d" % sock.getsockname()[1]

        def takes(i):
            return len(ios[i].calls("MivraIO.Play"))

        big_ok = b"MivraBox.Take 1" + b"\0" * 5000
        big_bad = b"MivraBox.Take 1" + b"x" * 5000
        cases = [
            # (datagram, log line, takes on bus 0 and 1 afterwards)
            (b"MivraBox.Take 0\0", "trig_proc: [MivraBox.Take 0] from " + src, (1, 0)),
            (b"MivraBox.Take 1\0", "trig_proc: [MivraBox.Take 1] from " + src, (1, 1)),
            (b"MivraBox.Take 0", "trig_proc: wrong packet format, size=15, from=" + src, (1, 1)),
            (b"MivraBox.GetState\0", "trig_proc: UNSUPPORTED", (1, 1)),
            (b"", "trig_proc: wrong packet format, size=0, from=" + src, (1, 1)),
            (big_bad, "trig_proc: wrong packet format, size=4096, from=" + src, (1, 1)),
            (big_ok, "trig_proc: [MivraBox.Take 1] from " + src, (1, 2)),
            (b"MivraBox.Take 2\0", "trig_proc: UNSUPPORTED bus 2", (1, 2)),
            (b"MivraBox.Take /\0", "trig_proc: UNSUPPORTED bus -1", (1, 2)),
            (b"MivraBox.Take \0", "trig_proc: UNSUPPORTED bus -48", (1, 2)),
            (b"MivraBox.Take 0 \x1b[2J\\\xff\0",
             "trig_proc: [MivraBox.Take 0 \\x1b[2J\\x5c\\xff] from " + src, (2, 2)),
        ]
        refused_at = 0.0
        for data, text, want in cases:
            with self.subTest(data=data[:24]):
                seen = box.log_text().count(text)
                if "] from " not in text:
                    # Datagrams that take nothing are logged one a second, the rest counted.
                    time.sleep(max(0.0, refused_at + 1.05 - time.monotonic()))
                    refused_at = time.monotonic()
                sock.sendto(data, ("127.0.0.1", box.port))
                self.assertTrue(wait_for(lambda: box.log_text().count(text) > seen, 3), text)
                self.assertTrue(wait_for(lambda: (takes(0), takes(1)) == want, 3),
                                (takes(0), takes(1)))
        # The listener stops after the control server and before the busses.
        box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(10), 0)
        log = box.log_text()
        order = ["main: stopping control...", "trig_stop: shutting down socket...",
                 "trig_stop: joining thread...", "trig_stop: closing socket...",
                 "trig_stop: finished", "main: stopping busses..."]
        at = [log.find(x) for x in order]
        self.assertTrue(all(a >= 0 for a in at) and at == sorted(at), list(zip(order, at)))


if __name__ == "__main__":
    unittest.main()
