#!/usr/bin/env python3
"""On-air timing of MivraBox2: 4 busses play one-second clips against fake engines (one process
each) while control calls run in parallel. Prints the distribution of (play datagram arrival at
the engine) minus (event start minus I/O delay), beside the period of the scheduler's turn
(an 800 microsecond sleep) measured on this machine in the same run. Goal: p99 within 2 ms.

    MIVRA_BUILD=build/default python3 bench/box2/onair_bench.py   (BENCH_EVENTS per bus, 50)
"""
import os
import statistics
import sys
import time
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_channel import I8, Channel, ev, pct  # noqa: E402

BUSSES = 4
EVENTS = int(os.environ.get("BENCH_EVENTS", "50"))
DELAY_MS = 40


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


def control(rpc, b):
    rpc.MivraBox.GetState(b)
    rpc.MivraBox.GetEvents(b, 0, 20)
    rpc.MivraBox.InsertEvent(b, ev("", "m0"), I8(-1))
    return 3


def main():
    ch = Channel("box2", "MivraBox2", BUSSES, EVENTS, 2, lambda b, ios: [
        "--io-a=" + ios[0], "--io-b=" + ios[1], "--io-delay=%d" % DELAY_MS])
    try:
        t0 = ch.start()
        stop, threads, calls = ch.control_load(control)
        periods = turn_period()
        time.sleep(max(0, t0 + EVENTS + 0.5 - time.time()))
        stop.set()
        for t in threads:
            t.join()
        lateness = []
        for addr in ch.ios:
            rpc = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)
            for d in rpc.Fake.Datagrams():
                t = d["time"]
                i = round(t + DELAY_MS / 1000.0 - t0)
                if 0 <= i < EVENTS:
                    lateness.append((t - (t0 + i - DELAY_MS / 1000.0)) * 1000)
        ch.stop_daemon()
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
        ch.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
