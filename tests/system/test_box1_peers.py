"""Two MivraBox1 daemons on loopback as master and slave: snapshot slots and their codes, the
download of the peer's playlist, the push of appended playlists, an unreachable peer, and a
download that the peer's stop cuts short."""
import glob
import os
import re
import signal
import tempfile
import threading
import unittest

from helpers.box1_util import Box1, wait_for
from helpers.box2_util import free_port, line, plain


def call(box, method, *params):
    r = box.call(method, *params)
    assert r[0] != "fault", r
    return plain(r)


def write(folder, name, lines):
    with open(os.path.join(folder, name), "w") as f:
        f.write("".join(x + "\n" for x in lines))


def medias(path):
    with open(path) as f:
        return [x.split("\t")[6] for x in f.read().splitlines()]


def count(box):
    return call(box, "MivraBox.GetState", 0)["state"]["count"]


class Box1SnapshotTest(unittest.TestCase):
    def test_slots_codes_names_and_idle_slot_taken_back(self):
        box = Box1(self)
        path = box.paths[0]
        write(path, "show.ply", [line(start="10:00:00:00", media="a"), line(media="b")])
        self.assertEqual(call(box, "MivraBox.LoadPlaylist", 0, "show")["result"], 2)
        r = lambda m, *a: call(box, "MivraBox." + m, *a)["result"]  # noqa: E731
        # Slots are handed out lowest first; a destroyed one is the next one given.
        self.assertEqual([r("SnapshotNew", 0) for _ in range(9)], list(range(8)) + [-12])
        self.assertEqual(call(box, "MivraBox.SnapshotNew", 0), {"result": -12})
        self.assertEqual(r("SnapshotDestroy", 0, 3), 0)
        self.assertEqual(r("SnapshotCurr", 0), 3)
        self.assertEqual(r("SnapshotLoad", 0, "show"), -12)
        for s in (0, 1, 2, 4, 5):
            r("SnapshotDestroy", 0, s)
        added = line(start="06:00:00:00", mode="F", media="x")
        cases = [
            # (method, args, result)
            ("SnapshotDestroy", (0, 8), -22), ("SnapshotDestroy", (0, 0), -22),
            ("SnapshotDestroy", (0, -1), -22), ("SnapshotNew", (1,), -22),
            ("SnapshotGetEvent", (0, 8, 0), -22), ("SnapshotGetEvent", (0, 0, 0), -2),
            ("SnapshotGetEvent", (0, 3, -1), -22), ("SnapshotGetEvent", (0, 3, 2), -34),
            ("SnapshotAddEvent", (0, 0, added), -2), ("SnapshotAddEvent", (0, 9, added), -22),
            ("SnapshotSave", (0, 0, "s"), -22), ("SnapshotSave", (0, 9, "s"), -22),
            ("SnapshotLoad", (0, "missing"), -2),
        ] + [(m, a, -22) for n in ("", ".", "..", "../show", "a/b", "x" * 4090)
             for m, a in (("SnapshotSave", (0, 3, n)), ("SnapshotLoad", (0, n)))]
        for method, args, want in cases:
            with self.subTest(method=method, args=str(args)[:40]):
                self.assertEqual(call(box, "MivraBox." + method, *args), {"result": want})
        self.assertEqual(box.call("MivraBox.SnapshotNew", "zero")[0], "fault")
        self.assertTrue(box.wait_log(
            "ctl_method_SnapshotNew: xmlrpc_decompose_value('bus idx') failed"))
        # Events added keep their time of day; those of the bus get theirs from their start.
        self.assertEqual(r("SnapshotNew", 0), 0)
        for text in (added, "not\ta\tline"):
            got = call(box, "MivraBox.SnapshotAddEvent", 0, 0, text)
            self.assertEqual((got["result"], got["event"]), (0, text))
        self.assertEqual(r("SnapshotGetEvent", 0, 0, 1), -34)
        self.assertEqual(call(box, "MivraBox.SnapshotGetEvent", 0, 0, 0)["event"], added)
        self.assertEqual(call(box, "MivraBox.SnapshotGetEvent", 0, 3, 0)["event"].split("\t")[0],
                         call(box, "MivraBox.GetEvent", 0, 0)["event"].split("\t")[0])
        self.assertEqual(r("SnapshotSave", 0, 0, "snap"), 1)
        self.assertEqual(medias(os.path.join(path, "snap.ply")), ["x"])
        self.assertEqual(r("SnapshotLoad", 0, "snap"), 1)
        self.assertEqual(call(box, "MivraBox.SnapshotGetEvent", 0, 1, 0)["event"], added)
        # All taken: a slot nobody touched for ten minutes of the bus clock is taken back.
        for _ in range(5):
            r("SnapshotNew", 0)
        r("SnapshotGetEvent", 0, 3, 0)
        self.assertEqual(r("SnapshotNew", 0), -12)
        self.assertEqual(call(box, "MivraBox.SetTimeofdayAdvance", "+601000")["result"], 0)
        r("SnapshotGetEvent", 0, 3, 0)
        # Oldest use first: 6 and 7 were made first, 0 and 1 were last used before 2, 4 and 5.
        self.assertEqual([r("SnapshotNew", 0) for _ in range(8)], [6, 7, 0, 1, 2, 4, 5, -12])
        self.assertTrue(box.wait_log("bus_snapshot[0] snapshot 6 idle for 60"))


class Box1PeersTest(unittest.TestCase):
    def test_download_push_unreachable_peer_and_cut_download(self):
        slave = Box1(self)
        drop = tempfile.TemporaryDirectory()
        self.addCleanup(drop.cleanup)
        peer = "127.0.0.1:%d" % slave.port
        box = Box1(self, bus_extra=["--peer-master-box=" + peer, "--peer-slave-box=" + peer,
                                    "--auto-append=" + drop.name])
        path, spath = box.paths[0], slave.paths[0]
        url = "http://%s/RPC2" % peer
        write(spath, "show.ply", [line(media="m%d" % i) for i in range(3)])
        write(path, "extra.ply", [line(media="e1"), line(media="e2")])
        write(path, "peer_master.ply", [line(media="stale")])
        self.assertEqual(call(slave, "MivraBox.LoadPlaylist", 0, "show")["result"], 3)
        names = [x[0] for x in call(box, "MivraBox.ListPlaylists", 0)["list"]]
        self.assertEqual(names[-2:], ["peer_master", "peer_slave"])
        self.assertNotIn("peer_master", names[:-2])

        # Download: the master's whole playlist replaces the file, which is then loaded; the
        # master's slot is given back.
        self.assertEqual(call(box, "MivraBox.LoadPlaylist", 0, "peer_master")["result"], 3)
        self.assertEqual(medias(os.path.join(path, "peer_master.ply")), ["m0", "m1", "m2"])
        for text in ("ctl_method_LoadPlaylist: will try download [peer_master]",
                     "ctl_method_LoadPlaylist: loading remote peer (%s, 0, 0)" % url,
                     "ctl_method_LoadPlaylist: got 3 remote events"):
            self.assertTrue(box.wait_log(text), text)
        self.assertEqual(call(slave, "MivraBox.SnapshotNew", 0)["result"], 0)
        call(slave, "MivraBox.SnapshotDestroy", 0, 0)

        # Push: every append (control call or drop folder) reaches the slave under its own name.
        for before in (3, 5):
            self.assertEqual(call(box, "MivraBox.AppendPlaylist", 0, "extra")["result"], before)
        write(drop.name, ".tmp", [line(media="d1")])
        os.rename(os.path.join(drop.name, ".tmp"), os.path.join(drop.name, "drop.ply"))
        self.assertTrue(wait_for(lambda: count(slave) == 8, 5), slave.log_text()[-2000:])
        pushed = sorted(glob.glob(os.path.join(spath, "append_*.ply")))
        self.assertEqual(len(pushed), 3)
        self.assertEqual(sorted(medias(p) for p in pushed), [["d1"], ["e1", "e2"], ["e1", "e2"]])
        self.assertTrue(wait_for(lambda: box.log_text().count(
            "bus_ply_append_ply: will try to append that playlist to slave") == 3))
        self.assertEqual(call(slave, "MivraBox.SnapshotNew", 0)["result"], 0)
        call(slave, "MivraBox.SnapshotDestroy", 0, 0)

        # A slave whose slots are all taken refuses the push; the append stays local.
        for _ in range(8):
            call(slave, "MivraBox.SnapshotNew", 0)
        self.assertEqual(call(box, "MivraBox.AppendPlaylist", 0, "extra")["result"], 8)
        self.assertTrue(box.wait_log(
            "bus_ply_append_ply: mivrabox_snapshot_new(%s, 0) failed with -12" % url))
        self.assertEqual(count(slave), 8)

        # A download cut short by the peer's stop leaves the file as it was and loads nothing.
        call(box, "MivraBox.ClosePlaylist", 0)
        call(slave, "MivraBox.ClosePlaylist", 0)
        write(spath, "long.ply", [line(media="l%d" % i) for i in range(5000)])
        self.assertEqual(call(slave, "MivraBox.LoadPlaylist", 0, "long")["result"], 5000)
        for s in range(8):
            call(slave, "MivraBox.SnapshotDestroy", 0, s)
        before = medias(os.path.join(path, "peer_master.ply"))
        got = {}
        t = threading.Thread(target=lambda: got.update(
            call(box, "MivraBox.LoadPlaylist", 0, "peer_master")))
        t.start()
        self.assertTrue(wait_for(lambda: box.log_text().count("loading remote peer") == 2, 10))
        slave.signal(signal.SIGTERM)
        self.assertEqual(slave.wait(10), 0)
        t.join(30)
        self.assertEqual(got, {"result": -14})
        self.assertEqual(medias(os.path.join(path, "peer_master.ply")), before)
        self.assertEqual(count(box), 0)
        self.assertTrue(wait_for(lambda: re.search(
            r"download of \[peer_master\] broke off at \d+ of 5000 events, kept \[",
            box.log_text())))

        # An unreachable peer: the older file is loaded, the append stays local; both logged.
        self.assertEqual(call(box, "MivraBox.LoadPlaylist", 0, "peer_master")["result"], 3)
        self.assertEqual(call(box, "MivraBox.AppendPlaylist", 0, "extra")["result"], 3)
        for text in ("ctl_method_LoadPlaylist: mivrabox_snapshot_curr(%s, 0) failed with -14" % url,
                     "bus_ply_append_ply: mivrabox_snapshot_new(%s, 0) failed with -14" % url):
            self.assertTrue(box.wait_log(text), text)
        self.assertEqual(count(box), 5)


if __name__ == "__main__":
    unittest.main()
