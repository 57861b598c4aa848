"""MivraBoxPlyConv watching a temporary source folder."""

import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import TIME_SCALE

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default")))
BINARY = os.path.join(BUILD, "src", "plyconv", "MivraBoxPlyConv")

HEADER = ("StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;"
          "EvsCount;Type_1;Scenario_1;offset_1;duration_1;ExtParams_1;Type_2;Scenario_2;offset_2;"
          "duration_2;ExtParams_2")
ROW = "Manual;01/03/2024;06:30:00:12;Morning news;NEWS.mxf;RK7;00:10:00:00;HD;10:00:00:00;1;N;" \
      "LOGO;;;;;;;;"
GUIDE = ('<?xml version="1.0" encoding="utf-8"?>\n<EPG><BROADCAST_DAY><TX_DAY>2024-03-05</TX_DAY>'
         "<PROGRAM><START_TIME>20:45</START_TIME><DURATION>01:30</DURATION>"
         "<TITRE>Match</TITRE></PROGRAM></BROADCAST_DAY></EPG>\n")


def wait_for(cond, timeout=20.0):
    deadline = time.monotonic() + timeout * TIME_SCALE
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


class PlyConv(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        for d in ("src", "dst", "err"):
            os.mkdir(self.path(d))
        self.log = self.path("plyconv.log")
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, rel, text):
        # Written beside the folder and moved in, as a transfer tool would.
        tmp = self.path("staging")
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.rename(tmp, self.path(rel))

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start(self, fmt):
        opts = self.path("plyconv.conf")
        with open(opts, "w", encoding="utf-8") as f:
            f.write("# test options\n\n--%s\n  --src=%s  \n--dst=%s\n--error=%s\n"
                    "--log-file-name=%s\n" % (fmt, self.path("src"), self.path("dst"),
                                              self.path("err"), self.log))
        env = dict(os.environ, TZ="UTC0")
        self.proc = subprocess.Popen([BINARY, opts], cwd=self.dir, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "watch_run: watching [" in self.log_text() or
                                 self.proc.poll() is not None))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=20), 0)
        text = self.log_text()
        self.assertIn("sighandler: [%d] catched %d" % (self.proc.pid, signal.SIGTERM), text)
        self.assertTrue(text.rstrip("\n").endswith("Bye!"), text[-300:])
        return text

    def dst_files(self):
        return sorted(os.listdir(self.path("dst")))

    def test_abcvs_existing_dropped_and_bad(self):
        self.write("src/early.cvs", HEADER + "\r\n" + ROW + "\r\n")
        self.start("abcvs")
        self.assertTrue(wait_for(lambda: "early.ply" in self.dst_files()))
        self.assertIn("EXISTING file [early.cvs]", self.log_text())

        self.write("src/day.cvs", HEADER + "\r\n" + ROW + "\r\n" + ROW + "\r\n")
        self.write("src/empty.cvs", HEADER + "\r\n")
        # Nobody writes into it: opening it to read would hold the daemon for good.
        os.mkfifo(self.path("src", "pipe.cvs"))
        self.assertTrue(wait_for(lambda: "day.ply" in self.dst_files() and
                                 os.path.exists(self.path("err", "empty.cvs")) and
                                 os.path.exists(self.path("err", "pipe.cvs"))))
        with open(self.path("dst", "day.ply"), encoding="utf-8") as f:
            lines = f.read().split("\n")
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[0].startswith("06:30:00:12\tM\t"), lines[0])
        # Sources leave the watched folder; no temporary or empty playlist is left behind.
        self.assertTrue(wait_for(lambda: os.listdir(self.path("src")) == []))
        self.assertEqual(self.dst_files(), ["day.ply", "early.ply"])
        text = self.stop()
        self.assertIn("ply_conv_abcvs: [empty.cvs]=>[%s], r=-2" % self.path("dst", "empty.ply"),
                      text)
        # Each file converted once, however often inotify named it.
        self.assertEqual(text.count("ply_conv_abcvs: [day.cvs]=>"), 1)
        self.assertIn("ply_conv: refused source [pipe.cvs]: Not a regular file", text)
        self.assertNotIn("ply_conv_abcvs: [pipe.cvs]", text)

    def test_busy_folder_still_converts(self):
        # Neither reads of a source nor a folder that never falls quiet hold conversions back.
        def opener(stop):
            while not stop.wait(0.5):
                try:
                    with open(self.path("src", "a.cvs"), "rb") as f:
                        f.read(1)
                except FileNotFoundError:
                    pass

        def writer(stop):
            while not stop.wait(0.3):
                with open(self.path("src", "busy.log"), "a") as f:
                    f.write("x\n")

        self.start("abcvs")
        for what, busy in (("opener", opener), ("writer", writer)):
            with self.subTest(busy=what):
                stop = threading.Event()
                t = threading.Thread(target=busy, args=(stop,))
                try:
                    self.write("src/a.cvs", HEADER + "\n" + ROW + "\n")
                    t.start()
                    self.write("src/b.cvs", HEADER + "\n" + ROW + "\n")
                    self.assertTrue(wait_for(lambda: {"a.ply", "b.ply"} <= set(self.dst_files()),
                                             timeout=40), self.log_text()[-2000:])
                finally:
                    stop.set()
                    t.join()
                for n in ("a.ply", "b.ply"):
                    os.unlink(self.path("dst", n))
        self.stop()

    def test_thousands_moved_in_at_once(self):
        # Far more than the settle queue holds, renamed in within a blink: none is left behind.
        count = 3000
        os.mkdir(self.path("staging.d"))
        for i in range(count):
            with open(self.path("staging.d", "s%04d.cvs" % i), "w", encoding="utf-8") as f:
                f.write(HEADER + "\n" + ROW + "\n")
        self.start("abcvs")
        for i in range(count):
            os.rename(self.path("staging.d", "s%04d.cvs" % i), self.path("src", "s%04d.cvs" % i))
        self.assertTrue(wait_for(lambda: len(os.listdir(self.path("dst"))) == count, 300),
                        "%d converted" % len(os.listdir(self.path("dst"))))
        self.assertTrue(wait_for(lambda: os.listdir(self.path("src")) == []))
        self.assertEqual(os.listdir(self.path("err")), [])
        text = self.stop()
        self.assertIn("queue overflowed", text)
        self.assertIn("sweeping [%s] again" % self.path("src"), text)

    def test_epg_named_after_its_day(self):
        self.start("beinsports_epg")
        self.write("src/guide.xml", GUIDE)
        self.write("src/broken.xml", "<EPG><BROADCAST_DAY>")
        self.assertTrue(wait_for(lambda: "beinsports_epg_20240305.ply" in self.dst_files() and
                                 os.path.exists(self.path("err", "broken.xml"))))
        with open(self.path("dst", "beinsports_epg_20240305.ply"), encoding="utf-8") as f:
            self.assertTrue(f.read().startswith("20:45:00:00\tF\t"))
        self.stop()

    def test_no_type_deletes(self):
        self.start("src=" + self.path("src"))
        self.write("src/any.txt", "x")
        self.assertTrue(wait_for(lambda: os.listdir(self.path("src")) == []), self.log_text())
        self.assertEqual(self.dst_files(), [])
        self.assertEqual(os.listdir(self.path("err")), [])
        self.stop()

    def test_help_and_bad_option(self):
        r = subprocess.run([BINARY, "--help"], capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 255)
        self.assertIn("MivraBoxPlyConv-", r.stderr)
        r = subprocess.run([BINARY, "--no-such"], capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 255)
        self.assertIn("ERROR: Incorrect argument!", r.stderr)


if __name__ == "__main__":
    unittest.main()
