#!/usr/bin/env python3
"""Fake playout engine: MivraIO. over XML-RPC and the fast commands as UDP datagrams on the
same port number.

    python3 io_fake.py --port 0 [--watch-stdin]     prints the port, serves until stopped

It keeps the state of one player: its transport status (0 stopped, 1 playing, 2 paused, 3 cued),
the playlist loop switch, a small playlist and the clip and frame last sought to, so that cue,
insert, seek, remove, items and status answer consistently; the fast command datagrams
("MivraIO.Play" and its NUL, also Pause, Stop) change the status as the calls do. Every change
of state is kept in order with its time (Fake.History); Fake.State gives the current one and
Fake.Playlist the clips. Replies can be scripted per method (fake_base). Media names listed with
Fake.SetAbsent are unknown to LibBasenameItem (result -2).

PlaylistInsertTemplate(position, source, in, out, templates, variables, extra) inserts the source
as a clip of out - in + 1 frames (0, unknown, when out is 0 or before in) that also keeps "out",
"templates" (the array), "vars" (the struct) and "extra"; a position past the end appends.
PlaylistSeekTo(clip, frame) and PlaylistRemove(index) answer -34 for a clip or index that is not
in the playlist, so "remove index 1 until negative" ends with one clip left.
"""

import copy
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fake_base import I8, Personality, run_main  # noqa: E402

# Commands that only answer "result" and change nothing the fake keeps.
_PLAIN_COMMANDS = (
    "CuePlayWithData", "CueRecordWithData", "CueRecord", "RecordNext", "RecordPause",
    "PlaylistRepeatClip", "PlaylistResizeClip", "PlaylistMove", "PlaylistSeek", "PlaylistStep",
    "SettingsSave", "SettingsSetMode", "Record",
)

_DEFAULT_SETTINGS = {
    "MivraIO": "fake", "mode": "1080i50", "enc": "none", "playback_consumer_noscale": "0",
    "playback_consumer_buffer": "8", "playback_consumer_prefill": "4",
    "playback_consumer_preroll": "2", "record_channels_conf": "1",
    "record_producer_buffer": "8", "record_channels_map": "01", "playback_osd": "",
    "keyer": "0", "record_timecode_src": "vitc", "playback_timecode_src": "ltc",
    "record_bitdepth": "16",
}

_MODES = [
    {"idx": 0, "name": "1080i50", "desc": "HD 1080 interlaced 50",
     "list": [{"idx": 0, "name": "yuv422", "desc": "8 bit"}, {"idx": 1, "name": "yuv422p10",
                                                              "desc": "10 bit"}],
     "osds": [["osd-a"], ["osd-b"]]},
    {"idx": 1, "name": "576i50", "desc": "SD 576 interlaced 50", "list": [], "osds": []},
]


class IOEngine(Personality):
    namespace = "MivraIO"
    udp = True

    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.playlist = []
        self.gen = 0
        self.status = 0
        self.loop = 0
        # Clip index and frame of the last seek; until one, the first clip is the current one.
        self.current = None
        self.frame = 0
        self.settings = dict(_DEFAULT_SETTINGS)
        self.absent = set()
        self.history = []  # [time, what, clip name or ""], oldest first

    def _clip_index(self):
        c = self.current
        return c if c is not None and c < len(self.playlist) else 0

    def _note(self, what):
        clip = self.playlist[self._clip_index()]["name"] if self.playlist else ""
        self.history.append([time.time(), what, clip])
        del self.history[:-4096]

    def _ok(self):
        return {"result": 0}

    def _changed(self):
        self.gen += 1
        return self._ok()

    _STATUS_NAMES = {0: "stop", 1: "play", 2: "pause", 3: "cue"}

    def _set_status(self, status):
        self.status = status
        self._note(self._STATUS_NAMES[status])
        return self._ok()

    _DATAGRAMS = {b"MivraIO.Play\0": 1, b"MivraIO.Pause\0": 2, b"MivraIO.Stop\0": 0}

    def datagram(self, data):
        if data in self._DATAGRAMS:
            self._set_status(self._DATAGRAMS[data])

    # --- transport ---
    def Play(self, *speed):
        return self._set_status(1)

    def Pause(self):
        return self._set_status(2)

    def Stop(self):
        return self._set_status(0)

    def CuePlay(self):
        return self._set_status(3)

    def GetStatus(self):
        idx = self._clip_index()
        clip = self.playlist[idx] if self.playlist else {"name": "", "cookie": "", "in": 0,
                                                         "dur": 0}
        return {"result": 0, "status": self.status, "name": clip["name"],
                "cookie": clip["cookie"], "loop": self.loop, "clip_length": clip["dur"],
                "clip_in": clip["in"], "clip_dur": clip["dur"],
                "clip_pos": self.frame if idx == self.current else 0, "clip_start": 0,
                "clip_idx": idx, "playlist_gen": self.gen,
                "playlist_dur": sum(c["dur"] for c in self.playlist), "playlist_pos": 0,
                "playlist_count": len(self.playlist), "playlist_speed": 1.0, "rec_paused": 0,
                "tc_frames": 0, "tc_src": 0}

    # --- playlist ---
    def _insert(self, position, name, tc_in, dur, cookie="", **more):
        if position < 0 or position > len(self.playlist):
            return {"result": -34}
        self.playlist.insert(position, dict({"name": name, "cookie": cookie, "in": tc_in,
                                             "dur": dur}, **more))
        if self.current is not None and position <= self.current < len(self.playlist) - 1:
            self.current += 1  # the sought clip moved down
        self._note("insert")
        return self._changed()

    def PlaylistClear(self):
        self.playlist.clear()
        self.current, self.frame = None, 0
        return self._changed()

    def PlaylistInsert(self, position, name, tc_in, dur, *extra):
        return self._insert(position, name, tc_in, dur)

    def PlaylistAppend(self, name, tc_in, dur, *extra):
        return self._insert(len(self.playlist), name, tc_in, dur)

    def PlaylistInsert2(self, position, clip):
        return self._insert(position, clip["name"], clip["in"], clip["dur"], clip["cookie"])

    def PlaylistAppend2(self, clip):
        return self._insert(len(self.playlist), clip["name"], clip["in"], clip["dur"],
                            clip["cookie"])

    def PlaylistInsertTemplate(self, position, source, tc_in, tc_out, templates, variables,
                               extra=""):
        # The single-player daemon sends 0 for "no out point".
        dur = tc_out - tc_in + 1 if tc_out > 0 and tc_out >= tc_in else 0
        return self._insert(min(position, len(self.playlist)), source, tc_in, dur, out=tc_out,
                            templates=list(templates), vars=dict(variables), extra=extra)

    def PlaylistRemove(self, index):
        if index < 0 or index >= len(self.playlist):
            return {"result": -34}
        del self.playlist[index]
        if self.current is not None and index < self.current:
            self.current -= 1
        self._note("remove %d" % index)
        return self._changed()

    def PlaylistSeekTo(self, index, frame):
        if index < 0 or index >= len(self.playlist) or frame < 0:
            return {"result": -34}
        self.current, self.frame = index, frame
        self._note("seek %d %d" % (index, frame))
        return self._ok()

    def PlaylistLoop(self, on):
        self.loop = 1 if on else 0
        self._note("loop %d" % self.loop)
        return self._ok()

    def PlaylistItems(self):
        items, start = [], 0
        for i, c in enumerate(self.playlist):
            items.append({"name": c["name"], "cookie": c["cookie"], "length": c["dur"],
                          "in": c["in"], "dur": c["dur"], "pos": 0, "start": start, "idx": i,
                          "repeat": 0})
            start += c["dur"]
        return {"result": 0, "gen": self.gen, "pos": 0, "idx": 0, "list": items}

    # --- settings ---
    def SettingsGet(self):
        return {"result": 0,
                "list": [{"name": k, "value": v} for k, v in self.settings.items()]}

    def SettingsGetModes(self):
        return {"result": 0, "list": _MODES}

    def SettingsSetValue(self, name, value):
        self.settings[name] = value
        return self._ok()

    # --- media ---
    def LibBasenameItem(self, name, *rest):
        if name in self.absent:
            return {"result": -2, "value": "", "object": "", "cache_shm_id": I8(-1)}
        return {"result": 0, "value": name, "object": name,
                "cache_shm_id": I8(0x100000000 + len(name))}

    # --- control ---
    def Fake_SetAbsent(self, names):
        self.absent = set(names)
        return 0

    def Fake_Playlist(self):
        return copy.deepcopy(self.playlist)

    def Fake_State(self):
        return {"status": self.status, "loop": self.loop,
                "seek": [self._clip_index(), self.frame], "playlist": copy.deepcopy(self.playlist)}

    def Fake_History(self):
        return [list(h) for h in self.history]


for _name in _PLAIN_COMMANDS:
    if not hasattr(IOEngine, _name):
        setattr(IOEngine, _name, lambda self, *args: {"result": 0})

PERSONALITY = IOEngine

if __name__ == "__main__":
    sys.exit(run_main([IOEngine], description=__doc__))
