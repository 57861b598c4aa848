#!/usr/bin/env python3
"""Fake transcoder: MivraFileTranscoder. over XML-RPC.

    python3 fake.py --port 0 ftc

Keeps the requests filed with RequestAdd (result: the new id) and lists them; cancel moves a
request to state 3, restart back to 0.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402

_ADD_FIELDS = ("src_object", "in", "dur", "dst_object", "factory", "profile", "f_delete",
               "audio_map", "audio_conf", "timecode", "osd", "transfer_target",
               "transfer_f_delete")


class Transcoder(Personality):
    namespace = "MivraFileTranscoder"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.requests = {}
        self.next_id = 1

    def RequestAdd(self, *args):
        if len(args) != len(_ADD_FIELDS):
            return {"result": -22}
        now = int(time.time())
        r = dict(zip(_ADD_FIELDS, args))
        r.update(id=self.next_id, updated=I8(now), created=I8(now), progress=0, state=0,
                 error="", src_local="/local/" + r["src_object"],
                 dst_local="/local/" + r["dst_object"])
        self.requests[r["id"]] = r
        self.next_id += 1
        return {"result": r["id"]}

    def RequestsList(self, a, b, limit):
        return {"result": 0, "list": [dict(r) for r in self.requests.values()]}

    def RequestDel(self, req_id):
        return {"result": 0 if self.requests.pop(req_id, None) else -2}

    def RequestCancel(self, req_id):
        if req_id not in self.requests:
            return {"result": -2}
        self.requests[req_id].update(state=3, error="cancelled")
        return {"result": 0}

    def RequestRestart(self, req_id):
        if req_id not in self.requests:
            return {"result": -2}
        self.requests[req_id].update(state=0, progress=0, error="")
        return {"result": 0}


PERSONALITY = Transcoder

if __name__ == "__main__":
    sys.exit(run_main([Transcoder], description=__doc__))
