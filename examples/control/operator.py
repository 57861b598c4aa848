#!/usr/bin/env python3
"""Steers one bus of a running MivraBox2 or MivraBox1 from Python's standard library: prints the
bus state and the playlist, inserts a clip right after the event on air and prints the reply.

    examples/control/operator.py [host:port] [bus]      (default 127.0.0.1:3001, bus 0)
"""
import sys
import xmlrpc.client
import zlib


class I8(int):
    """An int sent as <i8>: InsertEvent's position and the indexes of DeleteEvent are 64-bit,
    and xmlrpc.client sends every int as <int> unless told otherwise."""


def _dump_i8(marshaller, value, write):
    write("<value><i8>%d</i8></value>" % int(value))


xmlrpc.client.Marshaller.dispatch[I8] = _dump_i8

# The 15 columns of a playlist line: start, mode, in, out, duration, type, media, title, assets,
# follow time, tag, metadata, audio map, audio amplification, aspect ratio. The duration counts
# only with an in point: without one the daemons play the clip's whole length.
CLIP = ["", " ", "00:00:00:00", "", "00:00:04:00", "C", "news", "Inserted by operator.py",
        "", "", "", "", "", "", ""]


def insert(box, bus, line, position):
    """MivraBox2 takes the line as a string; MivraBox1 as a zlib stream (level 9) of the line with
    its NUL, sent as a byte string (a string there is a decoding fault)."""
    try:
        return box.MivraBox.InsertEvent(bus, line, I8(position))
    except xmlrpc.client.Fault:
        body = xmlrpc.client.Binary(zlib.compress(line.encode() + b"\0", 9))
        return box.MivraBox.InsertEvent(bus, body, I8(position))


def main():
    addr = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:3001"
    bus = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    box = xmlrpc.client.ServerProxy("http://%s/RPC2" % addr)

    r = box.MivraBox.GetState(bus)
    if r["result"] < 0:
        raise SystemExit("GetState: result %d (no bus %d?)" % (r["result"], bus))
    st = r["state"]
    print("bus %d at %s: running %d, %d events, next change in %s" % (
        bus, st["time"], st["f_running"], st["count"], st["curr_remain"] or "-"))

    # Positions count from the event on air (0); each event's state carries its flags and
    # sys_id in "er".
    for item in box.MivraBox.GetEvents(bus, 0, st["count"])["events"]:
        f = item["event"].split("\t")
        er = item["state"]["er"]
        print("  %2d  %s  %s  %-10s %-30s flags 0x%x id %d" % (
            item["index"], f[0], f[4], f[6], f[7], er[0], er[1]))

    r = insert(box, bus, "\t".join(CLIP), 1)
    print("InsertEvent at 1: result %d, %d events now" % (
        r["result"], r["state"]["count"] if "state" in r else -1))
    return 0 if r["result"] >= 0 else 1


if __name__ == "__main__":
    sys.exit(main())
