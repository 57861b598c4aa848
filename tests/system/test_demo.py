"""The demo channel (scripts/demo) on both daemons, steered while it runs by the operator scripts
of examples/control: what the demo prints and what the scripts answer."""

import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

from harness import TIME_SCALE

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build/default")))
CONTROL = os.path.join(SRC, "examples", "control")


class Demo:
    """One scripts/demo run whose lines are collected as they come."""

    def __init__(self, daemon):
        env = dict(os.environ, DAEMON=daemon, DEMO_SECONDS="150", TZ="UTC0")
        self.proc = subprocess.Popen([os.path.join(SRC, "scripts", "demo"), BUILD], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines, self.fresh = [], queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))
            self.fresh.put(line)

    def wait_for(self, pattern, timeout=40, whole=False):
        """The first match in a line (or, whole, in the output so far), waited for."""
        deadline = time.monotonic() + timeout * TIME_SCALE
        while time.monotonic() < deadline:
            if whole:
                m = re.search(pattern, "\n".join(self.lines))
                if m:
                    return m
            for line in [] if whole else list(self.lines):
                m = re.search(pattern, line)
                if m:
                    return m
            try:
                self.fresh.get(timeout=0.2)
            except queue.Empty:
                pass
        raise AssertionError("no %r in the demo's output:\n%s" % (pattern, "\n".join(self.lines)))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(10)
        self.proc.stdout.close()
        return "\n".join(self.lines)


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=30 * TIME_SCALE)


LISTED = (r"\n  +\d+  \d\d:\d\d:\d\d:\d\d  \d\d:\d\d:\d\d:\d\d  \S+ +.* flags 0x[0-9a-f]+ "
          r"id \d+\n")


class DemoChannel(unittest.TestCase):
    def operate(self, addr):
        """Both operator scripts against one daemon, as the guide shows them."""
        r = run(sys.executable, os.path.join(CONTROL, "operator.py"), addr)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^bus 0 at \d\d:\d\d:\d\d:\d\d: running 1, \d+ events, ")
        self.assertRegex(r.stdout, LISTED)
        self.assertRegex(r.stdout, r"\nInsertEvent at 1: result 0, \d+ events now\n$")

        r = run(os.path.join(CONTROL, "operator.sh"), addr)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"^GetState:\n    result: Integer: 0\n    count: 64-bit "
                                   r"integer: \d+\n    time: String: '[\d:]+'\n")
        self.assertIn("GetEvent:\n    result: Integer: 0\n    event: String: '", r.stdout)
        self.assertIn("\t00:00:00:00\t\t00:00:04:00\tC\tnews\tInserted by operator.sh\t", r.stdout)
        # Found again by its title and deleted by its sys_id, wherever the air moved it.
        self.assertRegex(r.stdout, r"InsertEvent:\n    result: Integer: 0\n    count: 64-bit "
                                   r"integer: \d+\nSearchEvent:\n    result: Integer: \d+\n"
                                   r"GetEvent:\n(.|\n)*DeleteEvents2 \[\[\d+\]\]:\n    result: "
                                   r"Integer: 0\n$")
        r = run(os.path.join(CONTROL, "operator.sh"), addr, "7")
        self.assertEqual((r.returncode, r.stdout), (1, "GetState:\n    result: Integer: -22\n"))

    def test_demo_output_and_operator_scripts(self):
        # DEMO_SECONDS past the playlist's first pass (about 63 s): the demo appends it again.
        demos = {d: Demo(d) for d in ("MivraBox2", "MivraBox1")}
        try:
            ports = {d: demo.wait_for(r"%s on port (\d+)" % d).group(1)
                     for d, demo in demos.items()}
            for daemon, demo in demos.items():
                # Steered while on air, once the live event (the third) went on air.
                with self.subTest(daemon=daemon):
                    demo.wait_for(r"ON AIR  Studio \(live source 0\)")
                    self.operate("127.0.0.1:" + ports[daemon])
            for daemon, demo in demos.items():
                with self.subTest(daemon=daemon):
                    # The inserted clip has an in point: it airs its 4 s, not the clip's 8 s (an
                    # event without one gets the clip's length as its duration).
                    demo.wait_for(r"as-run \S+: \S+ 00:00:04:00 news +Inserted by operator.py$",
                                  60)
                    # Still on air after the first pass: the appended pass plays from its start.
                    demo.wait_for(r"the playlist appended again, pass 2 (?:.*\n)*?.*ON AIR  "
                                  r"Opening titles", 120, whole=True)
        finally:
            out = {d: demo.stop() for d, demo in demos.items()}

        for daemon, text in out.items():
            with self.subTest(daemon=daemon):
                self.assertIn("    #  start        mode duration     media      title\n", text)
                self.assertRegex(text, r"\n\S+      0  \d\d:\d\d:\d\d:00  -   00:00:06:00  "
                                       r"intro      Opening titles\n")
                self.assertNotIn("the playlist ran out", text)
                self.assertIn("demo: %s ended with 0" % daemon, text)
                # Player calls come short: MivraBox1's cue carries a struct of template variables.
                for line in text.splitlines():
                    if "  <- " in line:
                        self.assertLessEqual(len(line), 130, line)
        two, one = out["MivraBox2"], out["MivraBox1"]
        self.assertRegex(two, r"ON AIR  Opening titles \(intro\) on io-b, start \d\d:\d\d:\d\d:00\n")
        self.assertRegex(two, r"ON AIR  News \(news\) on io-a, start ")
        self.assertRegex(two, r"ON AIR  Studio \(live source 0\) \(#0\) on live input 0, start .*"
                              r"\n.* the Oxtel device's mixer switches to live input 0")
        self.assertIn("io-b  <- PlaylistInsert(0, \"intro.mxf\", 0, 149, \"\", \"\", \"\")", two)
        self.assertIn("io-b  <- UDP MivraIO.Play\n", two)
        self.assertIn("live source #LIVE0: the player is cued with source SDI-0 (--live-0=SDI-0)",
                      one)
        self.assertRegex(one, r"ON AIR  Opening titles \(intro\) on io, start ")
        self.assertRegex(one, r"io  <- PlaylistInsertTemplate\(0, \"SDI-0\", 0, 124, \[1 item\], "
                              r"\{\d+ vars\}, \"\"\)")


if __name__ == "__main__":
    unittest.main()
