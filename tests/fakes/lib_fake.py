#!/usr/bin/env python3
"""Fake media library: MivraLib. over XML-RPC.

    python3 fake.py --port 0 lib [libio] [ft ...]

It keeps items (media files in folders, each with an optional media id and a duration), the list
of changes it publishes through LibState ("+name" added, "-name" removed; newest first in the
reply), cue counts, subclips, overlays and graphics templates. Item metadata travels as the real
library sends it: numbers as strings, the st_* members as <i8>.

Control methods (Fake.<Name>, also callable in process on the personality):
    AddItem(path, fields)    adds or replaces the item "folder/name" and publishes "+name";
                             fields: id, duration (seconds), size, fps, timecode (default
                             "10:00:00:00"), timecode_at_mark_in and timecode_at_mark_out
                             (default ""), mtime, file (a local media file: LibBasenameItem
                             names it as the value, and its picture size, frame rate, inode,
                             size and mtime are read anew at every answer), any wire member
                             to send as it is (e.g.
                             {"duration_v": "0"}), and omit: names of wire members to leave out
    RemoveItem(path)         removes it and publishes "-name"
    Amend(text)              publishes a raw change entry
    Items()                  the items' paths
    SetSpace(total)          total space (free space is total minus the items' sizes)
    Cues()                   {name: count}
    SetCue(name, count, date)  the cue count and last cue date (seconds) LibRegisterCue reports
    CueQuery(on)             on: LibRegisterCue only reports (count 0 and date 0 for a name
                             without SetCue) instead of counting a cue; off by default
    SetTemplateVars(name, [vars])  creates the template or replaces its variable names, which
                             LibListTemplateVars lists in this order (an unknown template
                             answers -2); "lower_third" (title, subtitle) and "clock" (none)
                             exist from the start
"""

import os
import subprocess
import sys
import time
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402


def _split(path):
    folder, _, name = path.rpartition("/")
    return folder, name


def _stem(name):
    base = name.rpartition("/")[2]
    return base.rpartition(".")[0] if "." in base else base


def _probe(path, picture=True):
    """The wire members a library reads from a media file: its stat numbers and (picture) its
    first video stream's size and frame rate, as ffprobe's texts; what cannot be read is left
    out."""
    w = {}
    try:
        st = os.stat(path)
        w.update(st_ino=I8(st.st_ino), st_size=I8(st.st_size), st_mtime=I8(int(st.st_mtime)))
        if not picture:
            return w
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                              "-show_entries", "stream=width,height,r_frame_rate",
                              "-of", "default=nw=1", path],
                             capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        return w
    w.update(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return w


class MediaLibrary(Personality):
    namespace = "MivraLib"

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.items = {}  # path -> item dict (insertion order is the listing order)
        self.dirs = set()
        self.amends = []  # oldest first
        self.amend_idx = 0
        self.total_space = 1 << 40
        self.cues = {}
        self.cue_dates = {}
        self.cue_query = False
        self.subclips = {}
        self.overlays = [{"path": "ovl/logos", "list": [
            {"name": "logo.png", "path": "ovl/logos/logo.png", "size": I8(1234)}]},
            {"path": "ovl/empty", "list": []}]
        self.templates = {"lower_third": {"vars": ["title", "subtitle"],
                                          "layers": [b"<layer id=\"1\"/>"]},
                          "clock": {"vars": [], "layers": []}}
        self.fonts = [("Sans", "Regular"), ("Sans", "Bold")]
        self.ino = 1000
        # Misbehaviour: LibListItems answers the first page for every offset (as a library that
        # ignores it, or clamps it to its last page); LibDiskUsage answers a reply frozen here.
        self.ignore_offset = False
        self.frozen_usage = None

    # --- state the tests and other fakes drive ---

    def add_item(self, path, fields=None, publish=True):
        fields = dict(fields or {})
        folder, name = _split(path)
        self.ino += 1
        item = {"path": path, "folder": folder, "name": name, "id": fields.pop("id", ""),
                "duration": float(fields.pop("duration", 10.0)),
                "size": int(fields.pop("size", 1000000)), "fps": int(fields.pop("fps", 25)),
                "timecode": fields.pop("timecode", "10:00:00:00"),
                "timecode_at_mark_in": fields.pop("timecode_at_mark_in", ""),
                "timecode_at_mark_out": fields.pop("timecode_at_mark_out", ""),
                "mtime": int(fields.pop("mtime", time.time())), "ino": self.ino,
                "file": fields.pop("file", ""), "wire": fields}
        self.items[path] = item
        if folder:
            self.dirs.add(folder)
        if publish:
            self.amend("+" + name)
        return item

    def remove_item(self, path, publish=True):
        item = self.find(path)
        if not item:
            return False
        del self.items[item["path"]]
        if publish:
            self.amend("-" + item["name"])
        return True

    def amend(self, text):
        self.amends.append(text)
        self.amend_idx += 1
        # Bounded as a real change log is: the newest entries are what a client asks for.
        del self.amends[:-4096]

    def find(self, key):
        """The item of a path, a file name, a media id, or a media id with '#' for its
        extension."""
        if key in self.items:
            return self.items[key]
        for it in self.items.values():
            if key in (it["name"], it["id"]) or (
                    key.endswith("#") and _stem(it["name"]) + "#" == key):
                return it
        for it in self.items.values():
            if _stem(it["name"]) == key:
                return it
        return None

    def wire_item(self, it):
        d = it["duration"]
        w = {"name": it["name"], "st_ino": I8(it["ino"]), "st_size": I8(it["size"]),
             "st_mtime": I8(it["mtime"]), "st_ctime": I8(it["mtime"]),
             "st_atime": I8(it["mtime"]), "format_name": "mxf", "duration": "%.6f" % d,
             "duration_v": "%.6f" % d, "duration_a": "%.6f" % d,
             "nb_frames": str(int(round(d * it["fps"]))), "nb_streams": "2", "width": "1920",
             "height": "1080", "display_aspect_ratio": "16:9", "sample_aspect_ratio": "1:1",
             "r_frame_rate": "%d/1" % it["fps"], "sample_fmt": "s16", "sample_rate": "48000",
             "channels": "2", "timecode": it["timecode"],
             "subclips": len(self.subclips.get(it["name"], [])),
             "timecode_at_mark_in": it["timecode_at_mark_in"],
             "timecode_at_mark_out": it["timecode_at_mark_out"]}
        if it["file"]:  # ffprobe only for what the item does not set itself
            picture = not {"width", "height", "r_frame_rate"} <= it["wire"].keys()
            w.update(_probe(it["file"], picture))
        for k, v in it["wire"].items():
            if k == "omit":
                for name in v:
                    w.pop(name, None)
            else:
                w[k] = v
        return w

    def used_space(self):
        return sum(it["size"] for it in self.items.values())

    # --- items and folders ---

    def LibListItems(self, folder, offset=-1, count=-1):
        folder = folder.rstrip("/")
        items = [it for it in self.items.values() if it["folder"] == folder]
        if offset >= 0 and not self.ignore_offset:
            items = items[offset:]
        if count >= 0:
            items = items[:count]
        return {"result": 0, "list": [self.wire_item(it) for it in items]}

    def LibListDirs(self, folder):
        folder = folder.rstrip("/")
        prefix = folder + "/" if folder else ""
        names = []
        for d in sorted(self.dirs):
            if d.startswith(prefix) and d != folder:
                sub = d[len(prefix):].split("/")[0]
                if sub not in names:
                    names.append(sub)
        return {"result": 0, "list": [{"name": n} for n in names]}

    def LibMetaItem(self, path):
        it = self.find(path)
        if not it:
            return {"result": -2}
        return {"result": 0, "item": self.wire_item(it)}

    def LibBasenameItem(self, name, ext=""):
        it = self.find(name)
        if it:
            return {"result": 0, "value": it["file"] or it["name"], "object": it["name"],
                    "cache_shm_id": I8(it["ino"])}
        local = name.rpartition("/")[2]
        if ext:
            local = _stem(local) + (ext if ext.startswith(".") else "." + ext)
        return {"result": -2, "value": local, "object": "", "cache_shm_id": I8(-1)}

    def LibSearchItem(self, a, s, name):
        it = self.find(name)
        return {"result": 0, "item": it["name"]} if it else {"result": -2}

    def LibSearchItemDurRange(self, a, s, lo, hi):
        for it in self.items.values():
            if lo <= it["duration"] <= hi:
                return {"result": 0, "item": it["name"]}
        return {"result": -2}

    def LibState(self, n):
        newest = list(reversed(self.amends))[:max(int(n), 0)]
        return {"result": 0, "amend_idx": I8(self.amend_idx), "total_items": len(self.items),
                "free_space": I8(self.total_space - self.used_space()),
                "total_space": I8(self.total_space), "amend_list": [[a] for a in newest]}

    def LibDiskUsage(self):
        if self.frozen_usage:
            return dict(self.frozen_usage)
        used = self.used_space()
        return {"result": 0, "total_items": len(self.items),
                "free_space": I8(self.total_space - used), "total_space": I8(self.total_space),
                "used_space": I8(used)}

    def LibRegisterItem(self, name):
        return {"result": 0}

    def LibDeleteItem(self, name):
        return {"result": 0 if self.remove_item(name) else -2}

    def LibDeleteDir(self, folder):
        folder = folder.rstrip("/")
        if any(it["folder"] == folder for it in self.items.values()):
            return {"result": -39}  # not empty
        if folder not in self.dirs:
            return {"result": -2}
        self.dirs.discard(folder)
        return {"result": 0}

    def LibCreateDir(self, folder):
        self.dirs.add(folder.rstrip("/"))
        return {"result": 0}

    def LibRenameItem(self, old, new):
        it = self.find(old)
        if not it:
            return {"result": -2}
        fields = dict(it["wire"], id=it["id"], duration=it["duration"], size=it["size"])
        for k in ("fps", "timecode", "timecode_at_mark_in", "timecode_at_mark_out"):
            fields[k] = it[k]
        self.remove_item(it["path"])
        self.add_item(new, fields)
        return {"result": 0}

    def LibRegisterCue(self, name, a):
        if self.cue_query:
            return {"result": 0, "cue_cnt": I8(self.cues.get(name, 0)),
                    "cue_date": I8(self.cue_dates.get(name, 0))}
        self.cues[name] = self.cues.get(name, 0) + 1
        self.cue_dates[name] = int(time.time())
        return {"result": 0, "cue_cnt": I8(self.cues[name]), "cue_date": I8(self.cue_dates[name])}

    def LibThumbItem(self, s1, s2, a, b):
        return {"result": 0, "thumb": xmlrpc.client.Binary(b"\x89PNG\r\n\x1a\n" + s1.encode())}

    def LibThumbOverlay(self, name):
        return {"result": 0, "png": xmlrpc.client.Binary(b"\x89PNG\r\n\x1a\n" + name.encode())}

    def LibListOverlays(self):
        return {"result": 0, "list": self.overlays}

    def LibBasenameOverlay(self, name):
        return {"result": 0, "value": "ovl/logos/" + name.rpartition("/")[2]}

    # --- subclips ---

    def LibListSubclips(self, name):
        return {"result": 0, "list": [dict(s) for s in self.subclips.get(name, [])]}

    def LibRegisterSubclip(self, name, mark_in, duration, title):
        self.subclips.setdefault(name, []).append(
            {"mark_in": mark_in, "duration": duration, "title": title})
        return {"result": 0}

    def LibDeleteSubclip(self, name, index):
        subs = self.subclips.get(name, [])
        if not 0 <= index < len(subs):
            return {"result": -34}
        del subs[index]
        return {"result": 0}

    # --- templates ---

    def _template(self, name):
        if name not in self.templates:
            raise KeyError(name)
        return self.templates[name]

    def LibListTemplates(self):
        return {"result": 0, "list": [[n] for n in self.templates]}

    def LibListTemplateVars(self, name):
        t = self.templates.get(name)
        if t is None:
            return {"result": -2}
        return {"result": 0, "list": [[v] for v in t["vars"]]}

    def LibTemplateGet(self, name):
        t = self.templates.get(name)
        if t is None:
            return {"result": -2}
        return {"result": 0, "list": [[xmlrpc.client.Binary(b)] for b in t["layers"]]}

    def LibTemplateSet(self, name, layers):
        t = self.templates.setdefault(name, {"vars": [], "layers": []})
        t["layers"] = [one[0] for one in layers]
        return {"result": 0}

    def LibTemplateAdd(self, name):
        if name in self.templates:
            return {"result": -17}
        self.templates[name] = {"vars": [], "layers": []}
        return {"result": 0}

    def LibTemplateDel(self, name):
        return {"result": 0 if self.templates.pop(name, None) is not None else -2}

    def LibTemplateRename(self, name, new):
        if name not in self.templates:
            return {"result": -2}
        self.templates[new] = self.templates.pop(name)
        return {"result": 0}

    def LibTemplateReplace(self, name, other):
        if name not in self.templates or other not in self.templates:
            return {"result": -2}
        self.templates[name] = dict(self.templates[other])
        return {"result": 0}

    def LibTemplateClone(self, name, new):
        if name not in self.templates:
            return {"result": -2}
        self.templates[new] = dict(self.templates[name])
        return {"result": 0}

    def LibTemplateFonts(self):
        return {"result": 0, "list": [{"family": f, "style": s} for f, s in self.fonts]}

    LibTemplateFonts2 = LibTemplateFonts

    def LibTemplateBuild(self, name, extra, a, b, values, variables):
        if name not in self.templates:
            return {"result": -2}
        parts = [name] + list(values) + ["%s=%s" % kv for kv in sorted(variables.items())]
        return {"result": 0, "value": "|".join(parts)}

    # --- control ---

    def Fake_AddItem(self, path, fields=None):
        self.add_item(path, fields)
        return 0

    def Fake_RemoveItem(self, path):
        return 0 if self.remove_item(path) else -2

    def Fake_Amend(self, text):
        self.amend(text)
        return self.amend_idx

    def Fake_Items(self):
        return list(self.items)

    def Fake_SetSpace(self, total):
        self.total_space = int(total)
        return 0

    def Fake_Cues(self):
        return dict(self.cues)

    def Fake_SetCue(self, name, count, date):
        self.cues[name] = int(count)
        self.cue_dates[name] = int(date)
        return 0

    def Fake_CueQuery(self, on):
        self.cue_query = bool(on)
        return 0

    def Fake_SetTemplateVars(self, name, names):
        t = self.templates.setdefault(name, {"vars": [], "layers": []})
        t["vars"] = [str(v) for v in names]
        return 0


PERSONALITY = MediaLibrary

if __name__ == "__main__":
    sys.exit(run_main([MediaLibrary], description=__doc__))
