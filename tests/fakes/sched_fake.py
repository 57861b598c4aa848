#!/usr/bin/env python3
"""Fake scheduler: MivraSched. over XML-RPC.

    python3 fake.py --port 0 sched

Items are kept by id; SchedListItems answers them newest first, so a client's order by calc is
its own. calc is the item's next start as the fake works it out: year, month, day, hour and
minute packed as YYYYMMDDhhmm (fields below 0 count as 0). Control: Fake.SchedOnAir(id) puts an
item on air (-1: none), Fake.SchedLog(entries) sets the log.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402

_TIMES = ("min", "hour", "day", "weekday", "month", "year")


class Scheduler(Personality):
    namespace = "MivraSched"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.items = {}
        self.next_id = 1
        self.on_air = -1
        self.log = []

    def _wire(self, it):
        w = {k: I8(it[k]) for k in _TIMES + ("calc",)}
        for k in ("duration", "tc", "id", "enabled", "start_time"):
            w[k] = it[k]
        for k in ("path", "title", "mode", "enc", "transfer", "prefix"):
            w[k] = it[k]
        return w

    def SchedAddItem(self, mi, hour, day, weekday, month, year, enabled, duration, tc, title,
                     path, mode, enc, start_time, transfer, prefix):
        t = [max(int(x), 0) for x in (year, month, day, hour, mi)]
        calc = (((t[0] * 100 + t[1]) * 100 + t[2]) * 100 + t[3]) * 100 + t[4]
        it = {"id": self.next_id, "min": mi, "hour": hour, "day": day, "weekday": weekday,
              "month": month, "year": year, "calc": calc, "enabled": enabled,
              "duration": duration, "tc": tc, "title": title, "path": path, "mode": mode,
              "enc": enc, "start_time": start_time, "transfer": transfer, "prefix": prefix}
        self.items[self.next_id] = it
        self.next_id += 1
        return {"result": 0}

    def SchedDeleteItem(self, item_id):
        return {"result": 0 if self.items.pop(item_id, None) else -2}

    def SchedEnableItem(self, item_id, enabled):
        if item_id not in self.items:
            return {"result": -2}
        self.items[item_id]["enabled"] = enabled
        return {"result": 0}

    def SchedExpandCurr(self, n):
        return {"result": 0}

    def SchedGetItem(self, item_id):
        it = self.items.get(item_id)
        if not it:
            return {"result": -2}
        return {"result": 0, "item": self._wire(it)}

    def SchedListItems(self):
        return {"result": 0,
                "list": [self._wire(it) for it in reversed(list(self.items.values()))]}

    def SchedListLogs(self):
        return {"result": 0, "list": list(self.log)}

    def SchedGetState(self):
        now = int(time.time())
        s_now = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(now))
        it = self.items.get(self.on_air)
        if it:
            return {"result": 1, "state": {
                "status": 1, "duration": it["duration"], "s_now": s_now, "t_now": I8(now),
                "s_start": s_now, "t_start": I8(now), "s_end": s_now,
                "t_end": I8(now + it["duration"])}}
        nxt = min((i["calc"] for i in self.items.values()), default=0)
        return {"result": 0, "state": {"s_now": s_now, "t_now": I8(now), "s_next": str(nxt),
                                       "t_next": I8(nxt)}}

    def Fake_SchedOnAir(self, item_id):
        self.on_air = item_id
        return 0

    def Fake_SchedLog(self, entries):
        self.log = []
        for e in entries:
            e = dict(e)
            for k in ("start", "calc"):
                if k in e:
                    e[k] = I8(e[k])
            self.log.append(e)
        return 0


PERSONALITY = Scheduler

if __name__ == "__main__":
    sys.exit(run_main([Scheduler], description=__doc__))
