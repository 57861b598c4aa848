#!/usr/bin/env python3
"""Play dispatch of MivraBox1: 4 busses play one-second clips against fake engines (one process
each) while control calls run in parallel. The design sends MivraIO.Play up to 39 ms before the
event start, so that the engine has time to start the clip on its frame. Prints the distribution
of (Play arrival at the engine) minus (event start), and the share of plays inside the designed
window [-40, 0] ms.

    MIVRA_BUILD=build/default python3 bench/box1/play_bench.py   (BENCH_EVENTS per bus, 30)
"""
import os
import statistics
import sys
import time
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_channel import Channel, pct  # noqa: E402

BUSSES = 4
EVENTS = int(os.environ.get("BENCH_EVENTS", "30"))


def control(rpc, b):
    rpc.MivraBox.GetState(b)
    rpc.MivraBox.GetEvents(b, 0, 20)
    return 2


def main():
    ch = Channel("box1", "MivraBox1", BUSSES, EVENTS, 1,
                 lambda b, ios: ["--io=" + ios[0], "--default-asset=C:logo"])
    try:
        t0 = ch.start()
        stop, threads, calls = ch.control_load(control)
        time.sleep(max(0, t0 + EVENTS + 0.5 - time.time()))
        stop.set()
        for t in threads:
            t.join()
        offsets = []
        for addr in ch.ios:
            rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)
            for c in rpc.Fake.Log("MivraIO.Play"):
                i = round(c["time"] - t0)
                if 0 <= i < EVENTS:
                    offsets.append((c["time"] - (t0 + i)) * 1000)
        ch.stop_daemon()
        print("plays: %d of %d, control calls in parallel: %d" % (len(offsets), BUSSES * EVENTS,
                                                                    calls[0]))
        if offsets:
            print("Play arrival - event start, ms: min %.2f  median %.2f  p99 %.2f  max %.2f" % (
                min(offsets), statistics.median(offsets), pct(offsets, 0.99), max(offsets)))
            inside = sum(1 for x in offsets if -40.0 <= x <= 0.0)
            print("share inside the designed window [-40, 0] ms: %.3f" % (inside / len(offsets)))
    finally:
        ch.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
