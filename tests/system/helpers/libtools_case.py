"""What the system tests of the library maintenance services share: the build paths, waiting on
a condition, and one service run in a temporary folder from an options file."""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from harness import TIME_SCALE

SRC = os.environ.get("MIVRA_SRC", os.path.join(os.path.dirname(__file__), "..", "..", ".."))
BUILD = os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build", "default"))
sys.path.insert(0, os.path.join(SRC, "tests", "fakes"))


def libtool(name):
    return os.path.join(BUILD, "src", "libtools", name)


def wait_for(pred, timeout=60.0, step=0.02):
    deadline = time.monotonic() + timeout * TIME_SCALE
    while True:
        v = pred()
        if v or time.monotonic() > deadline:
            return v
        time.sleep(step)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServiceCase(unittest.TestCase):
    PROGRAM = None  # the program's name, under src/libtools of the build

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix=self.PROGRAM + "-")
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.log = os.path.join(self.dir, "service.log")
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def start_service(self, lines):
        """Starts the program on an options file of these lines, logging to self.log."""
        conf = os.path.join(self.dir, "service.opts")
        with open(conf, "w") as f:
            f.write("# test service\n" + "\n".join(lines + ["--log-file-name=%s" % self.log])
                    + "\n")
        self.err = open(os.path.join(self.dir, "stderr.txt"), "wb")
        self.addCleanup(self.err.close)
        self.proc = subprocess.Popen([libtool(self.PROGRAM), conf], cwd=self.dir,
                                     stdout=subprocess.DEVNULL, stderr=self.err)

    def stop_service(self):
        """SIGTERM ends the program cleanly."""
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(15), 0)
        log = self.log_text()
        self.assertIn("sighandler: [%d] catched %d" % (self.proc.pid, signal.SIGTERM), log)
        self.assertTrue(log.rstrip().endswith("Bye!"), log[-500:])

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, text, count=1, timeout=60.0):
        self.assertTrue(wait_for(lambda: self.log_text().count(text) >= count, timeout),
                        "%r not logged:\n%s" % (text, self.log_text()[-3000:]))

    def check_usage(self, *lines):
        """Help and an unknown option print the usage text and end with 255."""
        for arg in ("-h", "--help", "--bogus"):
            r = subprocess.run([libtool(self.PROGRAM), arg], cwd=self.dir, capture_output=True,
                               timeout=10)
            self.assertEqual(r.returncode, 255)
            err = r.stderr.decode()
            for line in ("%s-" % self.PROGRAM, "    %s [args]" % self.PROGRAM) + lines:
                self.assertIn(line, err)
        self.assertIn("ERROR: Incorrect argument! [--bogus]", err)
