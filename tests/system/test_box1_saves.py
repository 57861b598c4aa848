"""The autosave of MivraBox1 under SIGKILL: killed at random moments around its saves, the
current playlist is always whole (the old or the new content, never a part)."""
import os
import random
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import test_box1_fakes
from harness import scaled
from helpers.box1_util import BOX1, Box1, wait_for
from helpers.box2_util import free_port, line, plain
from helpers.files import read_text

EVENTS = 8000
ROUNDS = 25
PARALLEL = 4


class SaveKillTest(unittest.TestCase):
    def one_bus(self, folder, rng, failures):
        path = os.path.join(folder, "current.ply")
        with open(path, "w") as f:
            # An hour ahead: nothing is dropped as overdue, so every save writes every event.
            first = time.strftime("%H:%M:%S:00", time.gmtime(time.time() + 3600))
            f.write("".join(line(start=first if i == 0 else "", media="m", dur="00:00:01:00") +
                            "\n" for i in range(EVENTS)))
        env = dict(os.environ, TZ="UTC", TC_MODE="pal")
        first_round = True
        for _ in range(ROUNDS):
            p = subprocess.Popen([BOX1, "--port=%d" % free_port(), "--log-file-name=%s/box.log" % folder,
                                  "--add-bus", "--path=%s" % folder, "--current=current.ply",
                                  "--lib=127.0.0.1:9", "--io=127.0.0.1:9"],
                                 cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            log = os.path.join(folder, "box.log")
            # Each start renames the last log aside: box.log is this run's. The first autosave
            # begins about 0.8 s after the busses start, however long the start took; the first
            # round waits for a save to end, so that the check below is never vacuous.
            want = "saving done" if first_round else "main: starting control..."
            first_round = False
            if not wait_for(lambda: want in read_text(log), 120):
                failures.append((folder, "no %r in the log" % want))
            else:
                time.sleep(scaled(rng.uniform(0.0, 1.0)))
            p.send_signal(signal.SIGKILL)
            p.wait()
            with open(path) as f:
                lines = f.read().split("\n")
            if lines[-1] != "" or len(lines) - 1 != EVENTS or \
                    any(len(x.split("\t")) != 15 for x in lines[:-1]):
                failures.append((folder, len(lines)))
            # No other visible file beside the logs: temporary files are hidden.
            visible = [n for n in os.listdir(folder)
                       if not n.startswith(".") and not n.startswith("box.log")]
            if visible != ["current.ply"]:
                failures.append((folder, visible))

    def test_sigkill_during_saves_never_loses_the_playlist(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        failures = []
        threads = []
        for k in range(PARALLEL):
            folder = os.path.join(tmp.name, "bus%d" % k)
            os.mkdir(folder)
            t = threading.Thread(target=self.one_bus, args=(folder, random.Random(k), failures))
            t.start()
            threads.append(t)
        for t in threads:
            t.join()
        self.assertEqual(failures, [])


@unittest.skipIf(test_box1_fakes.fuse_usable() is not None, test_box1_fakes.fuse_usable() or "")
class NoLinkSaveTest(unittest.TestCase):
    mount = test_box1_fakes.NoLinkFsTest.mount

    def test_saves_on_a_file_system_without_hard_links(self):
        backing, mnt = self.mount()
        box = Box1(self, bus_extra=["--path=%s" % mnt, "--lib=127.0.0.1:9", "--io=127.0.0.1:9"])
        first = time.strftime("%H:%M:%S:00", time.localtime(time.time() + 3600))
        lines = [line(start=first, media="m%d" % i, dur="00:00:01:00") for i in range(3)]
        with open(os.path.join(mnt, "show.ply"), "w") as f:
            f.write("".join(x + "\n" for x in lines))
        self.assertEqual(plain(box.call("MivraBox.LoadPlaylist", 0, "show"))["result"], 3)
        cur = os.path.join(backing, "current.ply")
        self.assertTrue(wait_for(lambda: os.path.exists(cur), 5), box.log_text()[-2000:])
        self.assertTrue(wait_for(lambda: plain(box.call("MivraBox.GetState", 0))["state"]["ply_hash"], 5))
        with open(cur) as f:
            self.assertEqual([x.split("\t")[6] for x in f.read().splitlines()], ["m0", "m1", "m2"])
        self.assertEqual(plain(box.call("MivraBox.SavePlaylist", 0, "copy"))["result"], 3)
        self.assertTrue(os.path.exists(os.path.join(backing, "copy.ply")))


if __name__ == "__main__":
    unittest.main()
