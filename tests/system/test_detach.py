"""What every long-running program does alike at start and stop: detached, relative paths and the
default log name still mean the folder it was started in, and what it creates is not writable by
other accounts; a stop signal at any moment of its life ends it with 0."""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import xmlrpc.client

from harness import TIME_SCALE
from helpers.box2_util import BOX2, free_port, line, wait_for
from helpers.files import read_text
from helpers.libtools_case import closed_port, libtool
import helpers.libtools_case  # noqa: F401  (puts the fakes on the path)
from fake_base import FakeService
from lib_fake import MediaLibrary

BUILD = os.path.dirname(os.path.dirname(os.path.dirname(BOX2)))
BOX1 = os.path.join(BUILD, "src", "box1", "MivraBox1")
PLYCONV = os.path.join(BUILD, "src", "plyconv", "MivraBoxPlyConv")
SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "readers")
ENV = dict(os.environ, TZ="UTC", TC_MODE="pal", no_proxy="127.0.0.1,localhost")
STOP_SIGNALS = (1 << (signal.SIGTERM - 1)) | (1 << (signal.SIGHUP - 1))

# A detached daemon is reparented to this process, which can then read its exit status.
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


def children_of(program, known):
    """Pids of this process's children named program (ended ones too), but those in known."""
    out = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                head, tail = f.read().rsplit(")", 1)
        except OSError:
            continue
        comm, ppid = head.split("(", 1)[1], int(tail.split()[1])
        if ppid == os.getpid() and comm == os.path.basename(program)[:15] and \
                int(pid) not in known:
            out.append(int(pid))
    return out


class Detached:
    """A daemon that detached from the process this test started: its pid, its exit status."""

    def __init__(self, pid):
        self.pid, self.returncode = pid, None

    def poll(self):
        if self.returncode is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def wait(self, timeout=30):
        wait_for(lambda: self.poll() is not None, timeout)
        return self.returncode

    def stop(self):
        if self.poll() is None:
            os.kill(self.pid, signal.SIGTERM)
            if self.wait() is None:
                os.kill(self.pid, signal.SIGKILL)
                self.wait()


def not_writable_by_others(test, path):
    mode = os.stat(path).st_mode & 0o777
    test.assertEqual(mode & 0o022, 0, "%s has mode %o" % (path, mode))


class DetachTest(unittest.TestCase):
    known = set()

    def start_detached(self, program, lines, cwd):
        """Starts program on an options file of lines from cwd with a umask of 0, as a careless
        caller would; the detached process, once the starting one ended with 0."""
        conf = os.path.join(cwd, "run.opts")
        with open(conf, "w") as f:
            f.write("\n".join(["--demonize"] + lines) + "\n")
        r = subprocess.run([program, conf], cwd=cwd, env=ENV, preexec_fn=lambda: os.umask(0),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60 * TIME_SCALE)
        self.assertEqual(r.returncode, 0)
        pids = wait_for(lambda: children_of(program, self.known), 10)
        self.assertEqual(len(pids), 1, pids)
        self.known.add(pids[0])
        d = Detached(pids[0])
        self.addCleanup(d.stop)
        return d

    def box2_case(self, cwd):
        os.mkdir(os.path.join(cwd, "bus0"))
        with open(os.path.join(cwd, "bus0", "show.ply"), "w") as f:
            f.write(line(media="m0") + "\n" + line(media="m1") + "\n")
        port = free_port()
        d = self.start_detached(BOX2, ["--port=%d" % port, "--add-bus", "--path=bus0",
                                       "--current=current.ply", "--arl-ext=arl"], cwd)
        log = os.path.join(cwd, "MivraBox2.log")
        self.assertTrue(wait_for(lambda: "main: starting control" in read_text(log), 20),
                        read_text(log))
        rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port)
        self.assertEqual(rpc.MivraBox.LoadPlaylist(0, "show")["result"], 2)
        current = os.path.join(cwd, "bus0", "current.ply")
        self.assertTrue(wait_for(lambda: os.path.exists(current), 10), read_text(log)[-2000:])
        return d, [log, current], 0

    def plyconv_case(self, cwd):
        for name in ("in", "out", "err"):
            os.mkdir(os.path.join(cwd, name))
        shutil.copy(os.path.join(SAMPLES, "abcvs.cvs"), os.path.join(cwd, "in", "day.cvs"))
        d = self.start_detached(PLYCONV, ["--abcvs", "--src=in", "--dst=out", "--error=err"], cwd)
        out = os.path.join(cwd, "out", "day.ply")
        log = os.path.join(cwd, "MivraBoxPlyConv.log")
        self.assertTrue(wait_for(lambda: os.path.exists(out), 20), read_text(log)[-2000:])
        # The source goes once its playlist is written: wait for it, not for a fixed time.
        src = os.path.join(cwd, "in", "day.cvs")
        self.assertTrue(wait_for(lambda: not os.path.exists(src), 20), read_text(log)[-2000:])
        return d, [log, out], 0

    def feeder_case(self, cwd):
        absent = os.path.join(cwd, "absent.txt")
        with open(absent, "w") as f:
            f.write("old\r\n")
        d = self.start_detached(libtool("MivraBoxLibFeeder"), [
            "--transfer=127.0.0.1:%d" % closed_port(), "--absent-list=absent.txt"], cwd)
        log = os.path.join(cwd, "MivraBoxLibFeeder.log")
        # The absent list of an earlier run is removed at start.
        self.assertTrue(wait_for(lambda: "removing [%s]" % absent in read_text(log), 20),
                        read_text(log))
        self.assertFalse(os.path.exists(absent))
        return d, [log], 0

    def cleaner_case(self, cwd):
        lib = MediaLibrary()
        lib.cue_query = True
        lib.total_space = 1000
        lib.add_item("media/a.mxf", {"mtime": int(time.time()) - 100 * 86400, "size": 900,
                                     "duration": 30.0}, publish=False)
        svc = FakeService([lib]).start()
        self.addCleanup(svc.stop)
        os.mkdir(os.path.join(cwd, "lists"))
        d = self.start_detached(libtool("MivraBoxLibCleaner"), [
            "--lib=%s" % svc.hostport, "--path=media", "--lists-folder=lists",
            "--confirm-delete", "--lib-usage-limit=10"], cwd)
        self.assertEqual(d.wait(), 0)
        lists = os.listdir(os.path.join(cwd, "lists"))
        self.assertEqual(len(lists), 1, lists)
        return d, [os.path.join(cwd, "MivraBoxLibCleaner.log"),
                   os.path.join(cwd, "lists", lists[0])], 0

    def cleaner_unreachable_case(self, cwd):
        d = self.start_detached(libtool("MivraBoxLibCleaner"), [
            "--lib=127.0.0.1:%d" % closed_port(), "--path=media"], cwd)
        log = os.path.join(cwd, "MivraBoxLibCleaner.log")
        self.assertEqual(d.wait(), 1, read_text(log))
        # The reason, not only the result: standard error leads nowhere now.
        self.assertIn("Couldn't connect to server", read_text(log))
        self.assertIn("cleaner_run: mivra_lib_state(", read_text(log))
        return d, [log], 1

    def test_detached_programs_keep_their_start_folder(self):
        for case in (self.box2_case, self.plyconv_case, self.feeder_case, self.cleaner_case,
                     self.cleaner_unreachable_case):
            with self.subTest(case.__name__):
                tmp = tempfile.TemporaryDirectory(prefix="detach-")
                self.addCleanup(tmp.cleanup)
                d, created, status = case(tmp.name)
                log = created[0]
                # The default log name, in the start folder, with the banner.
                self.assertIn(os.path.basename(log)[:-len(".log")] + "-", read_text(log))
                for path in created:
                    not_writable_by_others(self, path)
                d.stop()
                self.assertEqual(d.returncode, status, read_text(log)[-2000:])
                self.assertIn("Bye!", read_text(log))


class StopSignalTest(unittest.TestCase):
    def run_daemon(self, program, send):
        """Starts the daemon in the foreground; once its main has blocked the stop signals (its
        first step), send(pid, log) signals it. Its exit status."""
        tmp = tempfile.TemporaryDirectory(prefix="stopsig-")
        self.addCleanup(tmp.cleanup)
        log = os.path.join(tmp.name, "box.log")
        p = subprocess.Popen([program, "--port=%d" % free_port(), "--log-file-name=" + log,
                              "--add-bus", "--path=" + tmp.name], cwd=tmp.name, env=ENV,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))

        def blocked():
            """Blocked, or already handled (the watcher may have run between two looks)."""
            status = read_text("/proc/%d/status" % p.pid)
            masks = dict(ln.split(":", 1) for ln in status.splitlines()
                         if ln.startswith(("SigBlk:", "SigCgt:")))
            if len(masks) < 2:
                return p.poll() is not None
            return any(int(m, 16) & STOP_SIGNALS == STOP_SIGNALS for m in masks.values())
        deadline = time.monotonic() + 30 * TIME_SCALE
        while not blocked() and time.monotonic() < deadline:
            time.sleep(0.0005)
        send(p.pid, log)
        try:
            rc = p.wait(60 * TIME_SCALE)
        except subprocess.TimeoutExpired:
            rc = "still running"
        return rc, read_text(log)

    def test_stop_signal_at_any_moment_exits_0(self):
        def at(sig, delay):
            def send(pid, log):
                time.sleep(delay)
                os.kill(pid, sig)
            return send

        def burst(pid, log, first=0.005):
            time.sleep(first)
            for _ in range(20):
                os.kill(pid, signal.SIGTERM)
                time.sleep(0.005)

        def burst_when_serving(pid, log):
            wait_for(lambda: "main: starting control" in read_text(log), 30)
            burst(pid, log, 0)
        cases = [("%s at %d ms" % (sig.name, delay * 1000), at(sig, delay))
                 for sig in (signal.SIGTERM, signal.SIGHUP) for delay in (0.005, 0.02, 0.05)]
        cases += [("20 SIGTERMs from the start", burst),
                  ("20 SIGTERMs once serving", burst_when_serving)]
        for program in (BOX2, BOX1):
            for name, send in cases:
                with self.subTest(program=os.path.basename(program), case=name):
                    rc, log = self.run_daemon(program, send)
                    self.assertEqual(rc, 0, log[-2000:])
                    self.assertIn("Bye!", log)


if __name__ == "__main__":
    unittest.main()
