#!/usr/bin/env python3
"""Memory and CPU of MivraBox1 through a burst of BENCH_DATAGRAMS (100000) trigger datagrams
"MivraBox.Take 0" sent as fast as one socket can, against the same daemon airing the same
playlist with no datagrams, for as long, in the same run. The trigger takes at most once every
100 ms and counts the rest, so the burst should leave the resident size where it was and cost
little CPU beyond the receive itself.

    MIVRA_BUILD=build/default python3 bench/box1/trigger_bench.py
"""
import os
import socket
import sys
import time
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_channel import Channel  # noqa: E402
from summary import summary  # noqa: E402

DATAGRAMS = int(os.environ.get("BENCH_DATAGRAMS", "100000"))
EVENTS = 600
SETTLE = 1.5  # after the burst: the last takes and counts


def usage(pid):
    """(resident kB, CPU seconds of the process so far)."""
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(x.split()[1]) for x in f if x.startswith("VmRSS:"))
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return rss, (int(fields[11]) + int(fields[12])) / tick


def main():
    ch = Channel("box1", "MivraBox1", 1, EVENTS, 1, lambda b, ios: ["--io=" + ios[0]])
    try:
        io = xmlrpc.client.ServerProxy("http://%s/RPC2" % ch.ios[0])
        t0 = ch.start(lead=2)
        time.sleep(max(0, t0 + 3 - time.time()))
        pid = ch.box.pid
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        to = ("127.0.0.1", ch.port)
        plays = lambda: len(io.Fake.Log("MivraIO.Play"))  # noqa: E731

        # The burst first, timed, so that the idle window can last as long.
        rss0, cpu0 = usage(pid)
        p0 = plays()
        t = time.monotonic()
        for _ in range(DATAGRAMS):
            sock.sendto(b"MivraBox.Take 0\0", to)
        sent = time.monotonic() - t
        time.sleep(SETTLE)
        window = time.monotonic() - t
        rss1, cpu1 = usage(pid)
        takes = plays() - p0

        # The same daemon airing on with no datagrams, for as long.
        rss2, cpu2 = usage(pid)
        time.sleep(window)
        rss3, cpu3 = usage(pid)
        mb = lambda kb: kb / 1024.0  # noqa: E731
        print("burst: %d datagrams in %.2f s, %d plays in the %.2f s window (debounce allows %d)" %
              (DATAGRAMS, sent, takes, window, int(window / 0.1) + 1))
        print("RSS MB: before burst %.1f  after burst %.1f  (ratio %.3f);  idle window %.1f -> "
              "%.1f (ratio %.3f)" % (mb(rss0), mb(rss1), rss1 / rss0, mb(rss2), mb(rss3),
                                     rss3 / rss2))
        burst_cpu, idle_cpu = cpu1 - cpu0, cpu3 - cpu2
        print("daemon CPU s over %.2f s: burst %.3f  idle %.3f  (burst / idle %.1f)" %
              (window, burst_cpu, idle_cpu, burst_cpu / max(idle_cpu, 0.01)))
        summary("MivraBox1 RSS through %d datagrams" % DATAGRAMS, "%.1f MB" % mb(rss1),
                "%.1f MB before the burst" % mb(rss0), rss1 / rss0, "lower")
        summary("MivraBox1 CPU through %d datagrams" % DATAGRAMS, "%.2f s" % burst_cpu,
                "%.2f s idle, as long" % idle_cpu, burst_cpu / max(idle_cpu, 0.01), "lower")
        ch.stop_daemon()
    finally:
        ch.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
