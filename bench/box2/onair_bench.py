#!/usr/bin/env python3
"""On-air timing of MivraBox2: 4 busses play one-second clips against fake engines (one process
each) while control calls run in parallel. Prints the distribution of (play datagram arrival at
the engine) minus (event start minus I/O delay), beside the period of the scheduler's turn
(an 800 microsecond sleep) measured on this machine in the same run. Goal: p99 within 2 ms.

    MIVRA_BUILD=build/default python3 bench/box2/onair_bench.py   (BENCH_EVENTS per bus, 50)
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build", "default")))
FAKE = os.path.join(SRC, "tests", "fakes", "fake.py")
sys.path.insert(0, os.path.dirname(FAKE))
from fake_base import I8  # noqa: E402  (registers <i8> with xmlrpc.client)
BUSSES = 4
EVENTS = int(os.environ.get("BENCH_EVENTS", "50"))
DELAY_MS = 40


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fake(names):
    p = subprocess.Popen([sys.executable, FAKE, "--port", "0", "--watch-stdin"] + names,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(p.stdout.readline())
    return p, "127.0.0.1:%d" % port


def tod(t):
    lt = time.localtime(int(t))
    return "%02d:%02d:%02d:%02d" % (lt.tm_hour, lt.tm_min, lt.tm_sec, int((t % 1) * 25))


def ev(start, media):
    return "\t".join([start, " ", "", "", "00:00:01:00", "C", media, "bench"] + [""] * 7)


def turn_period(n=2000):
    """Periods of an 800 us sleep, in ms: what one scheduler turn costs here."""
    out = []
    last = time.perf_counter()
    for _ in range(n):
        time.sleep(0.0008)
        now = time.perf_counter()
        out.append((now - last) * 1000)
        last = now
    return out


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(len(v) * p))]


def main():
    os.environ["no_proxy"] = "127.0.0.1,localhost"
    procs = []
    run = tempfile.mkdtemp(prefix="onair-bench-")
    try:
        lib, lib_addr = fake(["lib", "libio"])
        procs.append(lib)
        librpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % lib_addr)
        for i in range(EVENTS):
            librpc.Fake.AddItem("media/m%d.mxf" % i, {"id": "m%d" % i, "duration": 1.0})
        ios = []
        for _ in range(BUSSES * 2):
            p, addr = fake(["io"])
            procs.append(p)
            ios.append(addr)
        port = free_port()
        conf = ["--port=%d" % port, "--log-file-name=%s/box.log" % run]
        for b in range(BUSSES):
            path = os.path.join(run, "bus%d" % b)
            os.mkdir(path)
            conf += ["--add-bus", "--path=" + path, "--current=current.ply", "--arl-ext=arl",
                     "--io-a=" + ios[2 * b], "--io-b=" + ios[2 * b + 1],
                     "--io-delay=%d" % DELAY_MS, "--lib=" + lib_addr]
        with open(os.path.join(run, "box.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        box = subprocess.Popen([os.path.join(BUILD, "src", "box2", "MivraBox2"),
                                os.path.join(run, "box.conf")], cwd=run,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, TC_MODE="pal"))
        ctl = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port)
        for _ in range(100):
            try:
                ctl.MivraBox.GetState(0)
                break
            except OSError:
                time.sleep(0.1)
        t0 = float(int(time.time()) + 4)
        for b in range(BUSSES):
            lines = [ev(tod(t0) if i == 0 else "", "m%d" % i) for i in range(EVENTS)]
            with open(os.path.join(run, "bus%d" % b, "bench.ply"), "w") as f:
                f.write("\n".join(lines) + "\n")
            ctl.MivraBox.LoadPlaylist(b, "bench")
            ctl.MivraBox.Run(b, 1)
        stop = threading.Event()
        calls = [0]

        def control(b):
            rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port)
            while not stop.is_set():
                rpc.MivraBox.GetState(b)
                rpc.MivraBox.GetEvents(b, 0, 20)
                rpc.MivraBox.InsertEvent(b, ev("", "m0"), I8(-1))
                calls[0] += 3
        threads = [threading.Thread(target=control, args=(b,)) for b in range(BUSSES)]
        for t in threads:
            t.start()
        periods = turn_period()
        time.sleep(max(0, t0 + EVENTS + 0.5 - time.time()))
        stop.set()
        for t in threads:
            t.join()
        lateness = []
        for k, addr in enumerate(ios):
            rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)
            for d in rpc.Fake.Datagrams():
                t = d["time"]
                i = round(t + DELAY_MS / 1000.0 - t0)
                if 0 <= i < EVENTS:
                    lateness.append((t - (t0 + i - DELAY_MS / 1000.0)) * 1000)
        box.send_signal(signal.SIGTERM)
        box.wait(20)
        print("plays: %d of %d, control calls in parallel: %d" % (len(lateness), BUSSES * EVENTS,
                                                                    calls[0]))
        if lateness:
            print("play lateness ms: median %.2f  p99 %.2f  max %.2f" % (
                statistics.median(lateness), pct(lateness, 0.99), max(lateness)))
        print("turn period ms (800 us sleep): median %.3f  p99 %.3f  max %.3f" % (
            statistics.median(periods), pct(periods, 0.99), max(periods)))
        if lateness:
            print("p99 lateness / p99 turn period: %.2f" % (pct(lateness, 0.99) /
                                                           pct(periods, 0.99)))
    finally:
        for p in procs:
            if p.poll() is None:
                p.stdin.close()
                p.wait(5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
