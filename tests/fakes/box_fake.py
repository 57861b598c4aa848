#!/usr/bin/env python3
"""Fake single-player automation daemon: the MivraBox. control interface with the forms that
only MivraBox1 produces (compressed event bodies in and out, the error-flag entries with their
optional members, snapshots).

    python3 fake.py --port 0 box

It keeps one playlist of lines (every bus index answers from it, 16 and above answer -22 as a
daemon does for a bus it lacks); InsertEvent and UpdateEvent take the compressed body only.
Methods it does not model answer {"result": 0, "state"}. Replies can be scripted per method
(fake_base). Control: Fake.SetLines(lines), Fake.Lines(), Fake.SetFlags(list of ints),
Fake.SetLibList(which, objects): the media list LibList answers for every bus (which: 0 queued,
1 absent, 2 present; objects: structs of origin, object, ref).
"""

import os
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402
import xmlrpc.client  # noqa: E402

BUSSES = 16


def body(line):
    """The compressed event body of a line."""
    return xmlrpc.client.Binary(zlib.compress(line.encode() + b"\0", 9))


def unbody(data):
    text = zlib.decompress(data)
    return text[:text.index(b"\0")].decode()


class BoxFake(Personality):
    namespace = "MivraBox"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.lines = []
        self.flags = []
        self.snapshots = {}
        self.amend = 0
        self.lib_lists = {0: [], 1: [], 2: []}

    def state(self, er=(0, 0, 0, 0, 0)):
        return {"f_running": 1, "amend": I8(self.amend), "count": I8(len(self.lines)),
                "time": "10:00:00:00", "er": [I8(v) for v in er], "curr_remain": "+00:00:01:00",
                "ply_remain": "00:10:00:00", "lib_queued_count": 1, "lib_absent_count": 2,
                "lib_present_count": 3, "ply_stat_flag_range": 0, "ply_stat_flag_subclip": 0,
                "absent_remain": "", "last_playlist": "today", "type_C_remain": "",
                "type_L_remain": "", "ply_hash": "0" * 32, "fixed_time_remain": ""}

    def reply(self, result, **members):
        if result < 0:
            return {"result": result}
        out = {"result": result, "state": self.state(members.pop("er", (0, 0, 0, 0, 0)))}
        out.update(members)
        return out

    def handler(self, name):
        if not name[:1].isupper():
            return None
        fn = super().handler(name) or (lambda *args: self.reply(0))

        def bus_checked(*args):
            if args and isinstance(args[0], int) and not 0 <= args[0] < BUSSES:
                return {"result": -22}
            return fn(*args)
        return bus_checked

    def _er(self, i):
        flags = self.flags[i] if i < len(self.flags) else 0
        return (flags, 100 + i, 1700000000000 + 1000 * i, 0, i)

    def _insert(self, bus, data, pos):
        if not isinstance(data, bytes):
            raise xmlrpc.client.Fault(-501, "expected a compressed event body")
        line = unbody(data)
        pos = int(pos)
        self.lines.insert(len(self.lines) if pos < 0 else pos, line)
        self.amend += 1
        return self.reply(0)

    def InsertEvent(self, bus, data, pos):
        return self._insert(bus, data, pos)

    InsertEvent2 = InsertEvent

    def UpdateEvent(self, bus, data, pos):
        if not isinstance(data, bytes):
            raise xmlrpc.client.Fault(-501, "expected a compressed event body")
        if 0 <= int(pos) < len(self.lines):
            self.lines[int(pos)] = unbody(data)
            self.amend += 1
        return self.reply(0)

    UpdateEvent2 = UpdateEvent

    def _event(self, bus, i):
        if i < 0:
            return -22
        if i >= len(self.lines):
            return -34
        return 0

    def GetEvent(self, bus, i):
        r = self._event(bus, i)
        return self.reply(r, event=self.lines[i], er=self._er(i)) if r == 0 else {"result": r}

    def GetEvents2(self, bus, idxs):
        events = []
        last = 0
        for item in idxs:
            i = int(item[0] if isinstance(item, list) else item)
            last = self._event(bus, i)
            if last == 0:
                events.append({"index": i, "event_c": body(self.lines[i]),
                               "state": self.state(self._er(i))})
        if last < 0:
            return {"result": last}
        return self.reply(0, events=events)

    def ErrorFlagList(self, bus, mask):
        seen = set()
        out = []
        for i, line in enumerate(self.lines):
            flags = self.flags[i] if i < len(self.flags) else 0
            media = line.split("\t")[6] if line.count("\t") >= 6 else ""
            if not flags & mask or media in seen:
                continue
            seen.add(media)
            out.append({"comment": "range" if flags & 0x100 else "", "media_id": media,
                        "start_time": line.split("\t")[0], "sys_id": I8(100 + i),
                        "flags": I8(flags), "start": I8(1700000000000 + 1000 * i)})
        return self.reply(len(out), list=out)

    def LibList(self, bus, which):
        objs = self.lib_lists.get(int(which), [])
        return self.reply(len(objs), list=[{"origin": o.get("origin", ""),
                                            "object": o.get("object", ""),
                                            "ref": int(o.get("ref", 0))} for o in objs])

    def SnapshotNew(self, bus):
        for s in range(8):
            if s not in self.snapshots:
                self.snapshots[s] = []
                return self.reply(s)
        return {"result": -12}

    def SnapshotAddEvent(self, bus, slot, line):
        if not 0 <= slot < 8:
            return {"result": -22}
        if slot not in self.snapshots:
            return {"result": -2}
        self.snapshots[slot].append(line)
        return self.reply(0, event=line)

    def SnapshotGetEvent(self, bus, slot, i):
        if not 0 <= slot < 8 or i < 0:
            return {"result": -22}
        if slot not in self.snapshots:
            return {"result": -2}
        if i >= len(self.snapshots[slot]):
            return {"result": -34}
        return self.reply(0, event=self.snapshots[slot][i])

    def SnapshotDestroy(self, bus, slot):
        if self.snapshots.pop(slot, None) is None:
            return {"result": -22}
        return self.reply(0)

    def Fake_SetLines(self, lines):
        self.lines = list(lines)
        return 0

    def Fake_SetFlags(self, flags):
        self.flags = [int(f) for f in flags]
        return 0

    def Fake_SetLibList(self, which, objects):
        self.lib_lists[int(which)] = [dict(o) for o in objects]
        return 0

    def Fake_Lines(self):
        return list(self.lines)

    def Fake_Snapshot(self, slot):
        return list(self.snapshots.get(slot, []))


PERSONALITY = BoxFake

if __name__ == "__main__":
    sys.exit(run_main([BoxFake], description=__doc__))
