#!/usr/bin/env python3
"""On-air timing of MivraBox2: BENCH_BUSSES busses (4) play one-second clips against fake engines
(one process each) while control calls run in parallel. Prints the distribution of the play
lateness, (play datagram arrival at the engine, the kernel's receive time) minus (event start
minus I/O delay), beside the daemon's own turn period and longest bus lock holds, and beside a
baseline of the same run: how late a 1 ms sleep of a process at the scheduler's priority
wakes. Goal at 4 busses: median within 0.2 ms, p99 within 0.5 ms, max within 1 ms; at 16 busses
p99 within 1 ms.

    MIVRA_BUILD=build/default python3 bench/box2/onair_bench.py   (BENCH_EVENTS per bus, 50)
"""
import os
import statistics
import sys
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_channel import I8, Channel, ev, pct, print_daemon_stats  # noqa: E402

BUSSES = int(os.environ.get("BENCH_BUSSES", "4"))
EVENTS = int(os.environ.get("BENCH_EVENTS", "50"))
DELAY_MS = 40


def control(rpc, b):
    rpc.MivraBox.GetState(b)
    rpc.MivraBox.GetEvents(b, 0, 20)
    rpc.MivraBox.InsertEvent(b, ev("", "m0"), I8(-1))
    return 3


def main():
    ch = Channel("box2", "MivraBox2", BUSSES, EVENTS, 2, lambda b, ios: [
        "--io-a=" + ios[0], "--io-b=" + ios[1], "--io-delay=%d" % DELAY_MS])
    try:
        t0, calls, baseline = ch.air(control)
        lateness = []
        for addr in ch.ios:
            rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)
            for d in rpc.Fake.Datagrams():
                t = d["ktime"]
                i = round(t + DELAY_MS / 1000.0 - t0)
                if 0 <= i < EVENTS:
                    lateness.append((t - (t0 + i - DELAY_MS / 1000.0)) * 1000)
        ch.stop_daemon()
        print("busses: %d, plays: %d of %d, control calls in parallel: %d" % (
            BUSSES, len(lateness), BUSSES * EVENTS, calls))
        if lateness:
            print("play lateness ms: median %.3f  p99 %.3f  max %.3f" % (
                statistics.median(lateness), pct(lateness, 0.99), max(lateness)))
        print_daemon_stats(ch.daemon_stats())
        baseline.report(pct(lateness, 0.99) if lateness else None)
    finally:
        ch.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
