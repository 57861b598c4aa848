"""What the daemon benchmarks share: fake services in processes of their own, one daemon with
busses of one-second clips starting together, and control calls in parallel."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build", "default")))
FAKE = os.path.join(SRC, "tests", "fakes", "fake.py")
sys.path.insert(0, os.path.dirname(FAKE))
from fake_base import I8  # noqa: E402,F401  (registers <i8> with xmlrpc.client)
from summary import summary  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _engine_priority():
    # Below the daemon scheduler's real-time priority (10), above every normal process; left at
    # the normal one without the privilege.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(5))
    except OSError:
        pass


def fake(names, engine=False):
    """A fake in a process of its own: (process, address). An engine (player) fake runs with
    engine at a real-time priority, as a playout engine would on its own processor: the time it
    waits for one behind the daemon's control work (a 40,000-event reply being made) is not the
    daemon's play lateness."""
    p = subprocess.Popen([sys.executable, FAKE, "--port", "0", "--watch-stdin"] + names,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         preexec_fn=_engine_priority if engine else None)
    port = int(p.stdout.readline())
    return p, "127.0.0.1:%d" % port


def tod(t):
    lt = time.localtime(int(t))
    return "%02d:%02d:%02d:%02d" % (lt.tm_hour, lt.tm_min, lt.tm_sec, int((t % 1) * 25))


def ev(start, media):
    return "\t".join([start, " ", "", "", "00:00:01:00", "C", media, "bench"] + [""] * 7)


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(len(v) * p))]


def print_daemon_stats(stats):
    """One line of the daemon's own figures over all busses (see Channel.daemon_stats)."""
    if not stats:
        print("daemon figures: none logged")
        return
    ms = lambda us: us / 1000.0  # noqa: E731
    print("daemon turn period ms: median %.3f  p99 %.3f  max %.3f (worst bus)" % (
        ms(max(s["median"] for s in stats)), ms(max(s["p99"] for s in stats)),
        ms(max(s["max"] for s in stats))))
    # The hold is how long one thread kept a bus's lock at a time (the scheduler's includes its
    # wait for the play instant); the wait is how long a scheduler turn waited for the lock.
    print("daemon longest bus lock hold ms: scheduler %.3f  others %.3f;  longest lock wait of "
          "a turn ms: %.3f" % (ms(max(s["hold_sched"] for s in stats)),
                              ms(max(s["hold_others"] for s in stats)),
                              ms(max(s["lock_wait"] for s in stats))))
    # The holder's own time on the CPU: the rest of a hold it was preempted by other work.
    print("daemon longest bus lock hold on the CPU ms: scheduler %.3f  others %.3f" % (
        ms(max(s["cpu_sched"] for s in stats)), ms(max(s["cpu_others"] for s in stats))))


# Wakes a process of its own at the scheduler's priority every millisecond until its standard
# input closes, then prints how late each wake was, in microseconds.
_WAKER = r"""
import os, sys, threading, time
try:
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    kind = "real-time"
except OSError:
    kind = "normal"
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
out = []
while not done.is_set():
    t = time.perf_counter() + 0.001
    time.sleep(0.001)
    out.append(int((time.perf_counter() - t) * 1e6))
print(kind, *out)
"""


class Baseline:
    """The machine's own noise in the same run: how late a 1 ms sleep of a separate process at
    the daemon scheduler's real-time priority wakes while the benchmark runs."""

    def __init__(self, what):
        self.what = what
        self.p = subprocess.Popen([sys.executable, "-c", _WAKER], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)

    def result(self):
        """(kind of priority, wake lateness in ms)"""
        out, _ = self.p.communicate("")
        words = out.split()
        return words[0], [int(w) / 1000.0 for w in words[1:]]

    def report(self, p99):
        """Prints the baseline beside the benchmark's p99 (ms) and their ratio."""
        kind, late = self.result()
        if not late:
            return
        print("baseline, 1 ms sleep of a %s-priority process alongside, wakes late ms: median "
              "%.3f  p99 %.3f  max %.3f" % (kind, pct(late, 0.5), pct(late, 0.99), max(late)))
        if p99 is not None:
            # How much later the daemon's plays arrive than a bare process wakes on this machine
            # in the same run: 1 would be as punctual as the machine allows.
            ratio = p99 / max(pct(late, 0.99), 1e-3)
            print("p99 play lateness / p99 wake lateness: %.2f" % ratio)
            summary("%s: p99 play lateness" % self.what, "%.3f ms" % p99,
                    "%.3f ms (1 ms sleep, %s priority)" % (pct(late, 0.99), kind), ratio, "lower")


class Channel:
    """A library fake with the media m0.. of one second, players per bus fakes of the engine,
    and the daemon (src/<folder>/<program>) with bus_options(bus, players) per bus."""

    def __init__(self, folder, program, busses, events, players, bus_options):
        os.environ["no_proxy"] = "127.0.0.1,localhost"
        self.program, self.busses, self.events = program, busses, events
        self.procs = []
        self.box = None
        self.run = tempfile.mkdtemp(prefix="%s-bench-" % program)
        try:
            self.setup(folder, program, busses, events, players, bus_options)
        except BaseException:
            self.close()
            raise

    def setup(self, folder, program, busses, events, players, bus_options):
        lib, lib_addr = self.fake(["lib", "libio"])
        librpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % lib_addr)
        for i in range(events):
            librpc.Fake.AddItem("media/m%d.mxf" % i, {"id": "m%d" % i, "duration": 1.0})
        self.ios = [self.fake(["io"])[1] for _ in range(busses * players)]
        self.port = free_port()
        conf = ["--port=%d" % self.port, "--log-file-name=%s/box.log" % self.run]
        for b in range(busses):
            path = os.path.join(self.run, "bus%d" % b)
            os.mkdir(path)
            conf += ["--add-bus", "--path=" + path, "--current=current.ply", "--arl-ext=arl",
                     "--lib=" + lib_addr] + bus_options(b, self.ios[b * players:(b + 1) * players])
        with open(os.path.join(self.run, "box.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        self.box = subprocess.Popen([os.path.join(BUILD, "src", folder, program),
                                     os.path.join(self.run, "box.conf")], cwd=self.run,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    env=dict(os.environ, TC_MODE="pal", MIVRA_BUS_STATS="1"))
        self.ctl = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % self.port)
        for _ in range(100):
            try:
                self.ctl.MivraBox.GetState(0)
                break
            except OSError:
                time.sleep(0.1)

    def fake(self, names):
        p, addr = fake(names)
        self.procs.append(p)
        return p, addr

    def start(self, lead=4):
        """Loads every bus with the clips from a whole second lead seconds on; that instant."""
        t0 = float(int(time.time()) + lead)
        for b in range(self.busses):
            lines = [ev(tod(t0) if i == 0 else "", "m%d" % i) for i in range(self.events)]
            with open(os.path.join(self.run, "bus%d" % b, "bench.ply"), "w") as f:
                f.write("\n".join(lines) + "\n")
            self.ctl.MivraBox.LoadPlaylist(b, "bench")
            self.ctl.MivraBox.Run(b, 1)
        return t0

    def air(self, calls):
        """Starts the busses and runs each bus's calls(rpc, bus) in a loop on a thread of its own
        until every event has aired, beside the machine's baseline; (t0, calls made, Baseline)."""
        t0 = self.start()
        baseline = Baseline(self.program)
        stop = threading.Event()
        made = [0]

        def control(b):
            rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % self.port)
            while not stop.is_set():
                made[0] += calls(rpc, b)
        threads = [threading.Thread(target=control, args=(b,)) for b in range(self.busses)]
        for t in threads:
            t.start()
        time.sleep(max(0, t0 + self.events + 0.5 - time.time()))
        stop.set()
        for t in threads:
            t.join()
        return t0, made[0], baseline

    def stop_daemon(self):
        self.box.send_signal(signal.SIGTERM)
        self.box.wait(20)

    def daemon_stats(self):
        """After stop_daemon: what each bus's scheduler measured of itself, as dicts of turn period
        median, p99 and max, turns, the longest bus lock holds of the scheduler and of the other
        threads, and the longest wait for the lock at a turn (microseconds)."""
        pat = re.compile(r"stats: turn period us median (\d+) p99 (\d+) max (\d+) over (\d+) "
                         r"turns; longest bus lock hold us: scheduler (\d+), others (\d+); "
                         r"longest lock wait of a turn us (\d+); longest hold on the CPU us: "
                         r"scheduler (\d+), others (\d+)")
        keys = ("median", "p99", "max", "turns", "hold_sched", "hold_others", "lock_wait",
                "cpu_sched", "cpu_others")
        out = []
        with open(os.path.join(self.run, "box.log"), errors="replace") as f:
            for line in f:
                m = pat.search(line)
                if m:
                    out.append(dict(zip(keys, map(int, m.groups()))))
        return out

    def close(self):
        """Ends the daemon and the fakes and removes the run's folder (MIVRA_BENCH_KEEP=1 keeps
        it for a look at the log)."""
        if self.box and self.box.poll() is None:
            self.box.kill()
            self.box.wait()
        for p in self.procs:
            if p.poll() is None:
                p.stdin.close()
                p.wait(5)
        if not os.environ.get("MIVRA_BENCH_KEEP"):
            shutil.rmtree(self.run, ignore_errors=True)
