#!/usr/bin/env python3
"""Fake file-transfer service: MivraFileTransfer. over XML-RPC.

    python3 fake.py --port 0 ft [lib]

Targets hold remote files (path -> time and size); ListRemote answers the names under a path as
bare strings, ProbeRemote a file's time and size (result -2 without them when there is none).
A request filed with RequestAdd (result: its id) starts in state 0 and moves one step per
RequestGet: state 1 with growing progress, then 2 (done) when the remote file exists, or 3
(failed) when it does not. A done import adds object_local to the library when the library fake
serves in the same process (the feeder also asks MivraLib.LibBasenameItem at this address).

Control: Fake.FtSetRemote(target, path, time, size), Fake.FtRemoveRemote(target, path),
Fake.FtSteps(n) (RequestGet calls until a request ends, default 2), Fake.FtRequests(),
Fake.FtMarkDirs(on) (ListRemote ends the names of sub-folders with '/'; off by default).
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402


class FileTransfer(Personality):
    namespace = "MivraFileTransfer"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.targets = {"store": {"id": "1", "type": "ftp", "title": "Store", "host": "10.0.0.5",
                                  "port": "21", "path": "/media", "login": "feeder",
                                  "passw": "secret"}}
        self.remote = {}  # (target, path) -> {"time", "size"}
        self.requests = {}
        self.next_id = 1
        self.steps = 2
        self.mark_dirs = False
        self.stuck = set()  # (target, remote path) whose requests never move

    def _wire(self, r):
        return {"id": r["id"], "target": r["target"], "f_delete": r["f_delete"],
                "f_import": r["f_import"], "object_local": r["object_local"],
                "object_remote": r["object_remote"], "progress": r["progress"],
                "state": r["state"], "error": r["error"], "updated": I8(r["updated"]),
                "created": I8(r["created"])}

    def TargetsList(self, a, limit):
        return {"result": 0, "list": [dict(t) for t in self.targets.values()]}

    def ListRemote(self, target, path):
        if target not in self.targets:
            return {"result": -2}
        prefix = path.rstrip("/") + "/"
        names = []
        for (t, p) in self.remote:
            if t == target and p.startswith(prefix):
                rest = p[len(prefix):]
                name = rest.split("/")[0]
                if self.mark_dirs and "/" in rest:
                    name += "/"
                if name not in names:
                    names.append(name)
        return {"result": 0, "list": names}

    def ProbeRemote(self, target, path):
        f = self.remote.get((target, path))
        if not f:
            return {"result": -2}
        return {"result": 0, "time": I8(f["time"]), "size": I8(f["size"])}

    def RequestAdd(self, target, f_import, f_delete, local, remote):
        if target not in self.targets:
            return {"result": -2}
        now = int(time.time())
        r = {"id": self.next_id, "target": target, "f_import": f_import, "f_delete": f_delete,
             "object_local": local, "object_remote": remote, "progress": 0, "state": 0,
             "error": "", "updated": now, "created": now, "gets": 0}
        self.requests[r["id"]] = r
        self.next_id += 1
        return {"result": r["id"]}

    def _advance(self, r):
        if r["state"] in (2, 3):
            return
        r["gets"] += 1
        r["updated"] = int(time.time())
        if (r["target"], r["object_remote"]) in self.stuck:
            r["state"], r["progress"] = 1, 0
            return
        if r["gets"] < self.steps:
            r["state"] = 1
            r["progress"] = 100 * r["gets"] // self.steps
            return
        f = self.remote.get((r["target"], r["object_remote"]))
        if not f:
            r["state"], r["error"] = 3, "remote file not found"
            return
        r["state"], r["progress"] = 2, 100
        lib = self.service.personalities.get("MivraLib") if self.service else None
        if lib and r["f_import"]:
            with lib.lock:
                lib.add_item(r["object_local"], {"size": f["size"]})

    def RequestGet(self, req_id):
        r = self.requests.get(req_id)
        if not r:
            return {"result": -2}
        self._advance(r)
        return {"result": 0, "item": self._wire(r)}

    def RequestsList(self, a, b, limit):
        return {"result": 0, "list": [self._wire(r) for r in self.requests.values()]}

    def RequestDel(self, req_id):
        return {"result": 0 if self.requests.pop(req_id, None) else -2}

    def RequestCancel(self, req_id):
        r = self.requests.get(req_id)
        if not r:
            return {"result": -2}
        r["state"], r["error"] = 3, "cancelled"
        return {"result": 0}

    def RequestRestart(self, req_id):
        r = self.requests.get(req_id)
        if not r:
            return {"result": -2}
        r.update(state=0, progress=0, error="", gets=0)
        return {"result": 0}

    def Fake_FtSetRemote(self, target, path, mtime, size):
        self.targets.setdefault(target, {"id": str(len(self.targets) + 1), "type": "ftp",
                                         "title": target, "host": "", "port": "", "path": "",
                                         "login": "", "passw": ""})
        self.remote[(target, path)] = {"time": int(mtime), "size": int(size)}
        return 0

    def Fake_FtRemoveRemote(self, target, path):
        return 0 if self.remote.pop((target, path), None) else -2

    def Fake_FtSteps(self, n):
        self.steps = max(int(n), 1)
        return 0

    def Fake_FtMarkDirs(self, on):
        self.mark_dirs = bool(on)
        return 0

    def Fake_FtRequests(self):
        return [self._wire(r) for r in self.requests.values()]


PERSONALITY = FileTransfer

if __name__ == "__main__":
    sys.exit(run_main([FileTransfer], description=__doc__))
