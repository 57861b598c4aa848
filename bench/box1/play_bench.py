#!/usr/bin/env python3
"""Play dispatch of MivraBox1: 4 busses play one-second clips against fake engines (one process
each) while control calls run in parallel. The design sends MivraIO.Play up to 39 ms before the
event start, so that the engine has time to start the clip on its frame. Prints the distribution
of (Play arrival at the engine) minus (event start), and the share of plays inside the designed
window [-40, 0] ms.

    MIVRA_BUILD=build/default python3 bench/box1/play_bench.py   (BENCH_EVENTS per bus, 30)
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
EVENTS = int(os.environ.get("BENCH_EVENTS", "30"))


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


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(len(v) * p))]



def main():
    os.environ["no_proxy"] = "127.0.0.1,localhost"
    procs = []
    run = tempfile.mkdtemp(prefix="play-bench-")
    try:
        lib, lib_addr = fake(["lib", "libio"])
        procs.append(lib)
        librpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % lib_addr)
        for i in range(EVENTS):
            librpc.Fake.AddItem("media/m%d.mxf" % i, {"id": "m%d" % i, "duration": 1.0})
        ios = []
        for _ in range(BUSSES):
            p, addr = fake(["io"])
            procs.append(p)
            ios.append(addr)
        port = free_port()
        conf = ["--port=%d" % port, "--log-file-name=%s/box.log" % run]
        for b in range(BUSSES):
            path = os.path.join(run, "bus%d" % b)
            os.mkdir(path)
            conf += ["--add-bus", "--path=" + path, "--current=current.ply", "--arl-ext=arl",
                     "--io=" + ios[b], "--lib=" + lib_addr, "--default-asset=C:logo"]
        with open(os.path.join(run, "box.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        box = subprocess.Popen([os.path.join(BUILD, "src", "box1", "MivraBox1"),
                                os.path.join(run, "box.conf")], cwd=run,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, TC_MODE="pal"))
        procs.append(box)
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
                calls[0] += 2
        threads = [threading.Thread(target=control, args=(b,)) for b in range(BUSSES)]
        for t in threads:
            t.start()
        time.sleep(max(0, t0 + EVENTS + 0.5 - time.time()))
        stop.set()
        for t in threads:
            t.join()
        offsets = []
        for addr in ios:
            rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)
            for c in rpc.Fake.Log("MivraIO.Play"):
                i = round(c["time"] - t0)
                if 0 <= i < EVENTS:
                    offsets.append((c["time"] - (t0 + i)) * 1000)
        box.send_signal(signal.SIGTERM)
        box.wait(20)
        print("plays: %d of %d, control calls in parallel: %d" % (len(offsets), BUSSES * EVENTS,
                                                                    calls[0]))
        if offsets:
            print("Play arrival - event start, ms: min %.2f  median %.2f  p99 %.2f  max %.2f" % (
                min(offsets), statistics.median(offsets), pct(offsets, 0.99), max(offsets)))
            inside = sum(1 for x in offsets if -40.0 <= x <= 0.0)
            print("share inside the designed window [-40, 0] ms: %.3f" % (inside / len(offsets)))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()


if __name__ == "__main__":
    main()
