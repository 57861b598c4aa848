"""MivraBox2 control interface: every MivraBox. method over real HTTP with exact wire types."""
import os
import unittest

from helpers.box2_util import Box, I8, line, plain, wait_for

STATE_TYPES = {
    "f_running": "i4", "amend": "i8", "count": "i8", "time": "string", "er": "array",
    "curr_remain": "string", "ply_remain": "string", "lib_queued_count": "i4",
    "lib_absent_count": "i4", "lib_present_count": "i4", "ply_stat_flag_range": "i4",
    "ply_stat_flag_subclip": "i4", "absent_remain": "string", "last_playlist": "string",
    "type_C_remain": "string", "type_L_remain": "string", "ply_hash": "string",
    "fixed_time_remain": "string",
}


def ids(n):
    """The (iA) array form: one single-element array per i8 value."""
    return [[I8(v)] for v in n]


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.box = Box(self)

    def call(self, method, *params):
        r = self.box.call(method, *params)
        self.assertNotEqual(r[0], "fault", r)
        self.assertEqual(r[0], "struct")
        self.assertEqual(r[1]["result"][0], "i4")
        return r[1]

    def check_state(self, st):
        self.assertEqual(st[0], "struct")
        self.assertEqual({k: v[0] for k, v in st[1].items()}, STATE_TYPES)
        self.assertEqual([t for t, _ in st[1]["er"][1]], ["i8"] * 5)
        return plain(st)

    def result(self, method, *params):
        return plain(("struct", self.call(method, *params)))

    def insert(self, ev, idx=-1):
        return self.result("MivraBox.InsertEvent", 0, ev, I8(idx))

    def test_state_and_bus_index(self):
        r = self.call("MivraBox.GetState", 0)
        st = self.check_state(r["state"])
        self.assertEqual((st["count"], st["f_running"], st["ply_remain"]), (0, 0, ""))
        self.assertEqual(self.result("MivraBox.GetState", 16), {"result": -22})
        self.assertEqual(self.result("MivraBox.GetState", -1), {"result": -22})
        r = self.call("MivraBox.SearchEvent", 3, "x", 0, 1)
        self.assertEqual(plain(r["result"]), -22)
        st = self.check_state(r["state"])
        self.assertEqual((st["count"], st["amend"], st["time"]), (0, 0, ""))
        # A call whose parameters do not fit gets xmlrpc-c's decoding fault.
        self.assertEqual(self.box.call("MivraBox.GetState", "0")[0], "fault")
        self.assertEqual(self.box.call("MivraBox.DeleteEvents", 0, [I8(1)])[0], "fault")
        self.assertEqual(self.box.call("MivraBox.InsertEvent", 0, line(), 0)[0], "fault")

    def test_insert_get_update_delete(self):
        self.assertEqual(self.insert(line(media="a", title="first"))["result"], 0)
        self.assertEqual(self.insert(line(media="b", title="second"))["result"], 0)
        self.assertEqual(self.insert(line(media="c", title="zero"), 0)["result"], 0)
        self.assertEqual(self.insert("not a line")["result"], -84)
        r = self.call("MivraBox.GetEvent", 0, 1)
        self.assertEqual(r["event"][0], "string")
        self.assertEqual(r["event"][1].split("\t")[6:8], ["a", "first"])
        st = self.check_state(r["state"])
        self.assertEqual(st["count"], 3)
        flags, sys_a, start = st["er"][:3]
        self.assertTrue(flags & 0x200)  # media still queued: no library thread resolved it
        self.assertGreater(sys_a, 0)
        # Events follow each other: 10 s (250 frames) apart.
        r0 = plain(("struct", self.call("MivraBox.GetEvent", 0, 0)))
        self.assertEqual(start - r0["state"]["er"][2], 10000)
        self.assertEqual(self.result("MivraBox.GetEvent", 0, 3), {"result": -34})
        self.assertEqual(self.result("MivraBox.GetEvent", 0, -1), {"result": -22})

        # Update by index and by sys_id; bad lines are -84 in both.
        self.assertEqual(self.result("MivraBox.UpdateEvent", 0, line(media="a", title="upd"),
                                     I8(1))["result"], 0)
        self.assertEqual(self.result("MivraBox.UpdateEvent", 0, "bad", I8(1))["result"], -84)
        self.assertEqual(self.result("MivraBox.UpdateEvent", 0, line(), I8(9))["result"], -34)
        r = self.result("MivraBox.GetEvent", 0, 1)
        self.assertEqual(r["event"].split("\t")[7], "upd")
        sys_upd = r["state"]["er"][1]
        self.assertEqual(self.result("MivraBox.UpdateEvent2", 0, line(media="a", title="upd2"),
                                     I8(sys_upd))["result"], 0)
        self.assertEqual(self.result("MivraBox.UpdateEvent2", 0, line(), I8(999999))["result"], -2)
        self.assertEqual(self.result("MivraBox.UpdateEvent2", 0, "x", I8(999999))["result"], -84)

        # InsertEvent2: -1 appends, a sys_id inserts before it.
        sys_b = self.result("MivraBox.GetEvent", 0, 2)["state"]["er"][1]
        self.assertEqual(self.result("MivraBox.InsertEvent2", 0, line(media="d"),
                                     I8(sys_b))["result"], 0)
        self.assertEqual(self.result("MivraBox.GetEvent", 0, 2)["event"].split("\t")[6], "d")
        self.assertEqual(self.result("MivraBox.InsertEvent2", 0, line(media="e"), I8(-1))["result"], 0)
        self.assertEqual(self.result("MivraBox.InsertEvent2", 0, line(), I8(123456))["result"], -2)
        # c a d b e
        self.assertEqual(self.result("MivraBox.DeleteEvent", 0, I8(0))["state"]["count"], 4)
        r = self.result("MivraBox.DeleteEvents", 0, ids([2, 0, 2]))
        self.assertEqual(r["state"]["count"], 2)
        names = [self.result("MivraBox.GetEvent", 0, i)["event"].split("\t")[6] for i in range(2)]
        self.assertEqual(names, ["d", "e"])
        sys_e = self.result("MivraBox.GetEvent", 0, 1)["state"]["er"][1]
        r = self.result("MivraBox.DeleteEvents2", 0, ids([sys_e, sys_e, 77777]))
        self.assertEqual(r["state"]["count"], 1)

    def test_media_references(self):
        for i in range(3):
            self.insert(line(media="same", title=str(i)))
        self.insert(line(media="other"))
        r = self.call("MivraBox.LibList", 0, 0)
        self.assertEqual(plain(r["result"]), 2)
        self.check_state(r["state"])
        self.assertEqual(r["list"][1][0], ("struct", {"origin": ("string", ""),
                                                      "object": ("string", "same"),
                                                      "ref": ("i4", 3)}))
        self.assertEqual(self.result("MivraBox.LibList", 0, 1)["list"], [])
        self.assertEqual(self.result("MivraBox.LibList", 0, 2)["list"], [])
        # Index 1 named twice gives its media back once.
        self.result("MivraBox.DeleteEvents", 0, ids([1, 1]))
        refs = {o["object"]: o["ref"] for o in self.result("MivraBox.LibList", 0, 0)["list"]}
        self.assertEqual(refs, {"same": 2, "other": 1})
        sys_0 = self.result("MivraBox.GetEvent", 0, 0)["state"]["er"][1]
        self.result("MivraBox.DeleteEvents2", 0, ids([sys_0, sys_0]))
        refs = {o["object"]: o["ref"] for o in self.result("MivraBox.LibList", 0, 0)["list"]}
        self.assertEqual(refs, {"same": 1, "other": 1})
        # ResetEventsTC registers again and gives the earlier reference back.
        sys_1 = self.result("MivraBox.GetEvent", 0, 0)["state"]["er"][1]
        self.result("MivraBox.UpdateEvent", 0, line(media="same", mark_in="00:00:01:00",
                                                    mark_out="00:00:02:00", dur=""), I8(0))
        sys_1 = self.result("MivraBox.GetEvent", 0, 0)["state"]["er"][1]
        r = self.result("MivraBox.ResetEventsTC", 0, ids([sys_1, 55555]))
        self.assertEqual(r["result"], 0)
        ev = self.result("MivraBox.GetEvent", 0, 0)["event"].split("\t")
        self.assertEqual(ev[2:4], ["", ""])
        refs = {o["object"]: o["ref"] for o in self.result("MivraBox.LibList", 0, 0)["list"]}
        self.assertEqual(refs, {"same": 1, "other": 1})
        # Queued media: ErrorFlagList lists each media once with its first event's start.
        self.insert(line(media="same"))
        r = self.call("MivraBox.ErrorFlagList", 0, 0x200)
        self.assertEqual(plain(r["result"]), 2)
        self.assertEqual([m[1]["media_id"][1] for m in r["list"][1]], ["same", "other"])
        self.assertEqual({k: t for k, (t, _) in r["list"][1][0][1].items()},
                         {"media_id": "string", "start_time": "string", "start": "i8"})
        r = self.result("MivraBox.AbsentList", 0)
        self.assertEqual((r["result"], r["list"]), (0, []))
        self.assertEqual(self.result("MivraBox.ClosePlaylist", 0)["state"]["count"], 0)
        # Media that no event uses any more leave the queue.
        self.assertTrue(wait_for(lambda: self.result("MivraBox.LibList", 0, 0)["list"] == [], 3))

    def test_search(self):
        self.insert(line(media="m1", title="Morning News", assets="logo+ticker"))
        self.insert(line(media="m2", title="Weather", meta="Artist\\tSomeone"))
        self.insert(line(media="m3", title="News Again"))
        s = lambda key, start, flags: self.result("MivraBox.SearchEvent", 0, key, start, flags)
        self.assertEqual(s("news", -1, 1)["result"], 0)
        self.assertEqual(s("news", 0, 1)["result"], 2)
        self.assertEqual(s("news", -50, 1)["result"], 0)  # clamped to -1
        self.assertEqual(s("M2", -1, 2)["result"], 1)
        self.assertEqual(s("TICK", -1, 4)["result"], 0)
        self.assertEqual(s("artist", -1, 8)["result"], 1)
        self.assertEqual(s("someone", -1, 16)["result"], 1)
        self.assertEqual(s("someone", -1, 8)["result"], -2)
        self.assertEqual(s("news", -1, 0)["result"], -2)
        self.assertEqual(s("news", 2, 1)["result"], -2)
        self.check_state(self.call("MivraBox.SearchEvent", 0, "none", -1, 1)["state"])

    def test_get_events(self):
        for i in range(5):
            self.insert(line(media="m%d" % i))
        r = self.call("MivraBox.GetEvents", 0, 3, 10)
        self.assertEqual(plain(r["result"]), 0)
        evs = r["events"][1]
        self.assertEqual([plain(e)["index"] for e in evs], [3, 4])
        self.assertEqual(evs[0][1]["index"][0], "i4")
        self.check_state(evs[0][1]["state"])
        self.assertEqual(plain(r["state"])["er"][1], plain(evs[1])["state"]["er"][1])
        r = self.result("MivraBox.GetEvents", 0, 9, 2)
        self.assertEqual((r["events"], r["state"]["count"]), ([], 0))

    def test_requests_and_trim(self):
        self.assertEqual(self.result("MivraBox.Take", 0), {"result": -2})
        self.assertEqual(self.result("MivraBox.TakeN", 0, 1), {"result": -2})
        self.assertEqual(self.result("MivraBox.Fallback", 0), {"result": -2})
        self.assertEqual(self.result("MivraBox.TrimPadEvent", 0, 5), {"result": -2})
        self.insert(line(media="a", dur="00:00:10:00"))
        self.insert(line(media="b"))
        self.assertEqual(self.result("MivraBox.Run", 0, 0)["state"]["f_running"], 0)
        self.assertEqual(self.result("MivraBox.TakeN", 0, 0)["state"]["f_running"], 1)
        self.assertEqual(self.result("MivraBox.Run", 0, 0)["state"]["f_running"], 0)
        self.assertEqual(self.result("MivraBox.Take", 0)["state"]["f_running"], 1)
        self.assertEqual(self.result("MivraBox.Fallback", 0)["result"], 0)
        self.assertEqual(self.result("MivraBox.TrimPadEvent", 0, -25)["result"], 0)
        ev = self.result("MivraBox.GetEvent", 0, 0)["event"].split("\t")
        self.assertEqual(ev[4], "00:00:09:00")
        self.result("MivraBox.TrimPadEvent", 0, -10000)
        ev = self.result("MivraBox.GetEvent", 0, 0)["event"].split("\t")
        self.assertEqual(ev[4], "00:00:09:00")
        self.assertTrue(self.box.wait_log("ctl_method_Take: i=0"))
        self.assertTrue(self.box.wait_log("ctl_method_TakeN: i=0, idx=0"))
        self.assertTrue(self.box.wait_log("ctl_method_TrimPadEvent: i=0, v=-25"))
        self.assertTrue(self.box.wait_log("ctl_method_Fallback: i=0"))

    def test_playlist_files(self):
        folder = self.box.paths[0]
        with open(os.path.join(folder, "show.ply"), "w") as f:
            f.write("\n".join(line(media="s%d" % i, title="show %d" % i) for i in range(3)) + "\n")
        with open(os.path.join(folder, "notes.txt"), "w") as f:
            f.write("x\n")
        os.mkdir(os.path.join(folder, "dir.ply"))
        r = self.call("MivraBox.ListPlaylists", 0)
        self.check_state(r["state"])
        self.assertEqual(r["list"], ("array", [("array", [("string", "show")])]))
        self.assertEqual(self.result("MivraBox.AppendPlaylist", 0, "show"), {"result": -2})
        self.assertEqual(self.result("MivraBox.LoadPlaylist", 0, "show")["result"], 3)
        self.assertEqual(self.result("MivraBox.LoadPlaylist", 0, "show"), {"result": -17})
        self.assertEqual(self.result("MivraBox.LoadPlaylist", 0, "missing")["result"], -2)
        self.assertEqual(self.result("MivraBox.AppendPlaylist", 0, "show")["result"], 3)
        r = self.result("MivraBox.SavePlaylist", 0, "copy")
        self.assertEqual((r["result"], r["state"]["count"]), (6, 6))
        with open(os.path.join(folder, "copy.ply")) as f:
            saved = f.read().splitlines()
        self.assertEqual([x.split("\t")[6] for x in saved], ["s0", "s1", "s2"] * 2)
        self.assertTrue(all(len(x.split("\t")) == 15 for x in saved))
        names = sorted(x[0] for x in self.result("MivraBox.ListPlaylists", 0)["list"])
        self.assertIn("copy", names)

    def test_other_charsets_in_files(self):
        with open(os.path.join(self.box.paths[0], "latin.ply"), "wb") as f:
            f.write(line(media="m", title="Caf\xe9").encode("latin-1") + b"\n")
        with open(os.path.join(os.fsencode(self.box.paths[0]), b"\xff.ply"), "w"):
            pass  # a name that is not UTF-8 is left out of the list
        self.assertEqual(self.result("MivraBox.ListPlaylists", 0)["list"], [["latin"]])
        self.assertEqual(self.result("MivraBox.LoadPlaylist", 0, "latin")["result"], 1)
        self.assertEqual(self.result("MivraBox.GetEvent", 0, 0)["event"].split("\t")[7], "Caf?")
        self.assertEqual(self.result("MivraBox.GetEvents", 0, 0, 1)["events"][0]["event"].split("\t")[7], "Caf?")

    def test_names_stay_in_the_bus_folder(self):
        outside = os.path.join(os.path.dirname(self.box.paths[0]), "evil.ply")
        with open(outside, "w") as f:
            f.write(line() + "\n")
        # The log writer makes its file with its first lines, maybe only after this point.
        self.assertTrue(wait_for(lambda: os.path.exists(self.box.log), 5))
        before = sorted(os.listdir(self.box.dir))
        for name in ["", ".", "..", "../evil", "a/b", "/tmp/x", "x" * 5000]:
            for m in ("MivraBox.LoadPlaylist", "MivraBox.SavePlaylist", "MivraBox.AppendPlaylist"):
                self.assertEqual(self.result(m, 0, name), {"result": -22}, (m, name))
        self.assertEqual(self.result("MivraBox.GetState", 0)["state"]["count"], 0)
        self.assertEqual(sorted(os.listdir(self.box.dir)), before)
        self.assertEqual(os.listdir(self.box.paths[0]), [])

    def test_autosave(self):
        current = os.path.join(self.box.paths[0], "current.ply")
        self.insert(line(media="auto", title="saved"))
        self.assertTrue(wait_for(lambda: os.path.exists(current), 1.6), "no autosave")
        with open(current) as f:
            self.assertEqual(f.read().split("\t")[6], "auto")
        # A new playlist replacing the old one is written too, even with the same revision count.
        self.result("MivraBox.ClosePlaylist", 0)
        self.assertTrue(wait_for(lambda: os.path.getsize(current) == 0, 1.6))
        with open(os.path.join(self.box.paths[0], "one.ply"), "w") as f:
            f.write(line(media="loaded") + "\n")
        self.assertEqual(self.result("MivraBox.LoadPlaylist", 0, "one")["result"], 1)

        def has_loaded():
            with open(current) as f:
                return "loaded" in f.read()
        self.assertTrue(wait_for(has_loaded, 1.6))
        # No temporary files are left behind.
        self.assertEqual([n for n in os.listdir(self.box.paths[0]) if n.startswith(".")], [])

    def test_template_methods(self):
        r = self.result("MivraLib.LibListTemplateVars")
        self.assertEqual(r["result"], 18)
        self.assertEqual(r["list"][:2], [["current.meta.0"], ["current.meta.1"]])
        self.assertEqual(r["list"][-2:], [["current.meta.DSK"], ["current.meta.LOOP_OUT"]])
        # No graphics device answers: the wait ends after a second with ETIMEDOUT.
        self.assertEqual(self.result("MivraLib.LibListTemplates"), {"result": 110, "list": []})


class StartupTest(unittest.TestCase):
    def test_current_playlist_loaded_at_start(self):
        box = Box(self, start=False)
        with open(os.path.join(box.paths[0], "current.ply"), "w") as f:
            f.write(line(media="x") + "\n" + line(media="y") + "\n")
        box.start()
        st = plain(box.call("MivraBox.GetState", 0))["state"]
        self.assertEqual(st["count"], 2)
        # Set running by the load, then paused by the scheduler: no library is configured.
        self.assertTrue(box.wait_log("bus_ply_proc[0] bus paused"))
        self.assertEqual(plain(box.call("MivraBox.GetState", 0))["state"]["f_running"], 0)


if __name__ == "__main__":
    unittest.main()
