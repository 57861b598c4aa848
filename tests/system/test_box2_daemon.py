"""MivraBox2 as a process: options and options files, relay, signals, a busy port."""
import os
import signal
import socket
import subprocess
import threading
import unittest
import sys

from helpers.box2_util import BOX2, Box, I8, free_port, plain

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from fake_base import FakeService, Personality  # noqa: E402
from io_fake import IOEngine  # noqa: E402


def run(args, cwd=None, timeout=10):
    return subprocess.run([BOX2] + args, cwd=cwd, capture_output=True, timeout=timeout,
                          env=dict(os.environ, TC_MODE="pal"))


class OptionsTest(unittest.TestCase):
    def test_usage_and_bad_options(self):
        for args in (["-h"], ["--help"], ["--bogus"], ["--port"], ["-x"]):
            r = run(args)
            self.assertEqual(r.returncode, 255, args)
            err = r.stderr.decode()
            self.assertTrue(err.startswith("MivraBox2-") or "ERROR: Incorrect" in err, err)
            self.assertIn("Usage:\n    MivraBox2 [args]\nWhere args:\n", err)
            self.assertIn("    -h, --help                         Show this help and usage\n", err)
        self.assertIn("ERROR: Incorrect argument! [--bogus]\n", run(["--bogus"]).stderr.decode())

    def test_nested_files_and_port_reset(self):
        box = Box(self, start=False)
        p1, p2, p3 = free_port(), free_port(), free_port()
        inner = os.path.join(box.dir, "inner.conf")
        with open(inner, "w") as f:
            f.write("# the port of the last file read wins\n\n   --port=%d  \n"
                    "--io-a=127.0.0.1:5\n--help\n--lib=never\n" % p3)
        outer = os.path.join(box.dir, "outer.conf")
        with open(outer, "w") as f:
            f.write("--port=%d\n%s\n--log-file-name=%s\n\t--add-bus\r\n--path=%s\n"
                    "--current=current.ply\n--nodemonize\n--demonize\n"
                    % (p2, inner, box.log, box.paths[0]))
        box.port = p3
        box.args = ["--port=%d" % p1, outer, os.path.join(box.dir, "missing.conf")]
        box.start()
        with open(os.path.join(box.dir, "stderr.txt")) as f:
            err = f.read()
        self.assertIn("opts_from_file: failed to open [%s]" % os.path.join(box.dir, "missing.conf"), err)
        self.assertIn("Usage:", err)  # help inside a file: usage, and start-up goes on
        for p in (p1, p2):
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", p), timeout=0.5).close()
        st = plain(box.call("MivraBox.GetState", 0))
        self.assertEqual(st["result"], 0)
        # Lines after --help in that file are not applied: no library, so GetState of bus 1 fails.
        self.assertEqual(plain(box.call("MivraBox.GetState", 1)), {"result": -22})
        # Not detached: the process is still our child.
        self.assertIsNone(box.proc.poll())

    def test_port_resets_to_default_when_a_file_is_read(self):
        box = Box(self, start=False)
        p1 = free_port()
        conf = os.path.join(box.dir, "noport.conf")
        with open(conf, "w") as f:
            f.write("--log-file-name=%s\n--add-bus\n--path=%s\n" % (box.log, box.paths[0]))
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", 3001))
            except OSError:
                self.skipTest("port 3001 is in use")
        box.port = 3001
        box.args = ["--port=%d" % p1, conf]
        box.start()
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", p1), timeout=0.5).close()

    def test_surplus_busses_and_early_per_bus_options(self):
        lines = ["--path=/nonexistent"] + ["--add-bus"] * 17
        box = Box(self, buses=0, extra=lines)
        self.assertEqual(plain(box.call("MivraBox.GetState", 15))["result"], 0)
        self.assertEqual(plain(box.call("MivraBox.GetState", 16)), {"result": -22})


class Library(Personality):
    """Enough of a media library for relayed calls: it echoes what it got."""
    namespace = "MivraLib"

    def LibMetaItem(self, name, *rest):
        return {"result": 0, "object": name, "rest": list(rest)}

    def Echo(self, *args):
        return {"result": 0, "echo": list(args)}


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.lib = FakeService([Library()]).start()
        self.io = FakeService([IOEngine()]).start()
        self.addCleanup(self.lib.stop)
        self.addCleanup(self.io.stop)
        # A path makes the library address longer than 31 characters: it must be used whole.
        self.box = Box(self, bus_extra=[
            "--lib=127.0.0.1:%d/media/library/endpoint" % self.lib.port,
            "--io-a=%s" % self.io.hostport])

    def test_relay(self):
        r = self.box.call("MivraLib.LibMetaItem", "clip.mxf", 3, I8(1 << 40))
        self.assertEqual(r, ("struct", {"result": ("i4", 0), "object": ("string", "clip.mxf"),
                                        "rest": ("array", [("i4", 3), ("i8", 1 << 40)])}))
        # The bus's own library threads call too; only the relayed call is looked at.
        calls = self.lib.calls("MivraLib.LibMetaItem")
        self.assertEqual([c["sig"] for c in calls],
                         ['MivraLib.LibMetaItem(string:"clip.mxf",i4:3,i8:%d)' % (1 << 40)])
        self.assertEqual(calls[0]["path"], "/media/library/endpoint/RPC2")
        self.assertEqual(plain(self.box.call("MivraIO.Stop")), {"result": 0})
        self.assertEqual(self.io.sigs(), ["MivraIO.Stop()"])
        self.io.script("MivraIO.Play", fault=[-7, "engine says no"])
        self.assertEqual(self.box.call("MivraIO.Play"), ("fault", (-7, "engine says no")))
        self.assertEqual(self.box.call("MivraSched.SchedState"),
                         ("fault", (1, "ctl_method_default: method MivraSched.SchedState not bypassed")))
        self.assertEqual(self.box.call("MivraBox.Nothing", 0),
                         ("fault", (1, "ctl_method_default: method MivraBox.Nothing not bypassed")))

    def test_relay_from_many_threads(self):
        self.lib.script("MivraLib.Echo", delay=0.05, times=0)
        errors = []

        def worker(n):
            try:
                for i in range(10):
                    r = plain(self.box.call("MivraLib.Echo", n, i))
                    if r["echo"] != [n, i]:
                        errors.append(r)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(errors, [])
        self.assertEqual(len(self.lib.calls("MivraLib.Echo")), 120)
        # The calls overlapped: the relay does not serialise the control threads.
        self.assertGreater(self.lib.stats()["max_in_flight"], 1)


class NoBusRelayTest(unittest.TestCase):
    def test_not_bypassed_without_bus(self):
        box = Box(self, buses=0)
        self.assertEqual(box.call("MivraLib.LibState", 5),
                         ("fault", (1, "ctl_method_default: method MivraLib.LibState not bypassed")))


class ShutdownTest(unittest.TestCase):
    def shut(self, sig):
        box = Box(self, buses=2)
        pid = box.proc.pid
        box.signal(sig)
        self.assertEqual(box.wait(10), 0)
        log = box.log_text()
        order = ["sighandler: [%d] catched %d" % (pid, sig), "ctl_run: xmlrpc_server_abyss_run_server finished",
                 "main: stopping control...", "main: stopping busses...", "bus_stop[0] entering",
                 "bus_stop[0] exiting", "bus_stop[1] entering", "bus_stop[1] exiting",
                 "main: destroying busses...", "Bye!"]
        pos = [log.find(x) for x in order]
        self.assertNotIn(-1, pos, log)
        self.assertEqual(pos, sorted(pos), log)
        for name in ("bus_save_proc", "bus_ply_proc", "bus_lib_proc_state", "bus_lib_proc_queue",
                     "bus_append_proc"):
            self.assertIn("%s[1] finished" % name, log)

    def test_sigterm(self):
        self.shut(signal.SIGTERM)

    def test_sigint(self):
        self.shut(signal.SIGINT)

    def test_second_signal_only_counted(self):
        box = Box(self)
        # A playlist save keeps the daemon busy briefly; both signals land before it ends.
        box.signal(signal.SIGHUP)
        box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(10), 0)
        log = box.log_text()
        self.assertEqual(log.count("main: stopping control..."), 1)
        self.assertEqual(log.count("Bye!"), 1)

    def test_signal_before_the_server_runs(self):
        box = Box(self, start=False)
        # A long current playlist keeps the start of the busses busy while the signal comes; short
        # enough that its log lines (one per event) never fill the log queue, whose overflow
        # would drop the lines looked for below.
        one = "10:00:00:00\t \t\t\t00:00:01:00\tC\tclip%d\ttitle\t\t\t\t\t\t\t\n"
        with open(os.path.join(box.paths[0], "current.ply"), "w") as f:
            f.write("".join(one % (i % 50) for i in range(100000)))
        box.launch()
        self.assertTrue(box.wait_log("main: starting busses...", 10))
        box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(30), 0)
        log = box.log_text()
        self.assertLess(log.find("sighandler: [%d] catched 15" % box.proc.pid),
                        log.find("main: starting control..."), log[-2000:])
        self.assertIn("Bye!", log)

    def test_port_in_use(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen()
            box = Box(self, start=False)
            box.port = s.getsockname()[1]
            with open(box.conf) as f:
                conf = f.read().replace("--port=", "--port=%d\n#" % box.port, 1)
            with open(box.conf, "w") as f:
                f.write(conf)
            r = run([box.conf], cwd=box.dir)
        self.assertNotEqual(r.returncode, 0)
        log = box.log_text()
        self.assertIn("Failed to init control interface", log)
        self.assertIn("Bye!", log)
        self.assertNotIn("starting busses", log)


if __name__ == "__main__":
    unittest.main()
