"""What the single-player daemon's tests rely on: the engine fake's template insert, seek, play and
remove, the library fake's template variables and item timecodes, and the file system without
hard links."""

import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xmlrpc.client

from helpers import fuse_case

SRC = os.environ.get("MIVRA_SRC", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SRC, "tests", "fakes"))
BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default")))
NOLINK_FS = os.path.join(BUILD, "tests", "fakes", "nolink_fs")

from fake_base import FakeService  # noqa: E402
from io_fake import IOEngine  # noqa: E402
from lib_fake import MediaLibrary  # noqa: E402


def served(test, personality):
    fake = FakeService([personality]).start()
    test.addCleanup(fake.stop)
    proxy = xmlrpc.client.ServerProxy(fake.url, allow_none=True)
    test.addCleanup(proxy("close"))
    return fake, proxy


class EngineTemplateCycleTest(unittest.TestCase):
    def test_cue_play_and_clean_cycles(self):
        fake, proxy = served(self, IOEngine())
        io = proxy.MivraIO
        vars1 = {"title": "News", "curr.ply.type": "C"}
        # (call, result, clip names afterwards, name of the current clip in GetStatus)
        steps = [
            (lambda: io.PlaylistLoop(0), 0, [], ""),
            (lambda: io.PlaylistInsertTemplate(0, "a.mxf", 250, 374, ["logo", "clock"], vars1,
                                               ""), 0, ["a.mxf"], "a.mxf"),
            (lambda: io.PlaylistSeekTo(0, 0), 0, ["a.mxf"], "a.mxf"),
            (lambda: io.Play(), 0, ["a.mxf"], "a.mxf"),
            (lambda: io.PlaylistRemove(1), -34, ["a.mxf"], "a.mxf"),
            # The next cue goes in front of the playing clip, which stays current.
            (lambda: io.PlaylistInsertTemplate(0, "#freerun:ndi:cam1", 0, 0, [], {}, ""), 0,
             ["#freerun:ndi:cam1", "a.mxf"], "a.mxf"),
            (lambda: io.PlaylistSeekTo(2, 0), -34, ["#freerun:ndi:cam1", "a.mxf"], "a.mxf"),
            (lambda: io.PlaylistSeekTo(0, 0), 0, ["#freerun:ndi:cam1", "a.mxf"],
             "#freerun:ndi:cam1"),
            (lambda: io.Play(), 0, ["#freerun:ndi:cam1", "a.mxf"], "#freerun:ndi:cam1"),
            (lambda: io.PlaylistRemove(1), 0, ["#freerun:ndi:cam1"], "#freerun:ndi:cam1"),
            (lambda: io.PlaylistRemove(1), -34, ["#freerun:ndi:cam1"], "#freerun:ndi:cam1"),
            # Past the end appends; before the start is refused.
            (lambda: io.PlaylistInsertTemplate(9, "b.mxf", 0, 0, [], {}, ""), 0,
             ["#freerun:ndi:cam1", "b.mxf"], "#freerun:ndi:cam1"),
            (lambda: io.PlaylistInsertTemplate(-1, "c.mxf", 0, 0, [], {}, ""), -34,
             ["#freerun:ndi:cam1", "b.mxf"], "#freerun:ndi:cam1"),
        ]
        for i, (call, result, names, current) in enumerate(steps):
            with self.subTest(step=i):
                self.assertEqual(call()["result"], result)
                self.assertEqual([c["name"] for c in proxy.Fake.Playlist()], names)
                self.assertEqual(io.GetStatus()["name"], current)

        first = fake.calls("MivraIO.PlaylistInsertTemplate")[0]
        self.assertEqual(first["sig"], 'MivraIO.PlaylistInsertTemplate(i4:0,string:"a.mxf",'
                         'i4:250,i4:374,array[string:"logo",string:"clock"],'
                         'struct{title=string:"News",curr.ply.type=string:"C"},string:"")')
        io.PlaylistRemove(1)
        io.PlaylistInsertTemplate(0, "a.mxf", 250, 374, ["logo", "clock"], vars1, "x")
        clip = proxy.Fake.Playlist()[0]
        self.assertEqual(clip, {"name": "a.mxf", "cookie": "", "in": 250, "dur": 125, "out": 374,
                                "templates": ["logo", "clock"], "vars": vars1, "extra": "x"})
        state = proxy.Fake.State()
        self.assertEqual((state["status"], state["loop"], state["seek"]), (1, 0, [1, 0]))
        history = proxy.Fake.History()
        plays = [h for h in history if h[1] == "play"]
        self.assertEqual([h[2] for h in plays], ["a.mxf", "#freerun:ndi:cam1"])
        self.assertLessEqual(plays[0][0], plays[1][0])
        self.assertAlmostEqual(plays[1][0], time.time(), delta=30)
        self.assertIn(["seek 0 0", "#freerun:ndi:cam1"], [h[1:] for h in history])


class LibraryTemplateVarsAndTimecodesTest(unittest.TestCase):
    def test_template_vars(self):
        _, proxy = served(self, MediaLibrary())
        lib = proxy.MivraLib
        proxy.Fake.SetTemplateVars("logo", ["channel", "clock.tz"])
        proxy.Fake.SetTemplateVars("lower_third", ["headline"])  # replaces the starting ones
        cases = [
            ("logo", {"result": 0, "list": [["channel"], ["clock.tz"]]}),
            ("lower_third", {"result": 0, "list": [["headline"]]}),
            ("clock", {"result": 0, "list": []}),
            ("nothere", {"result": -2}),
        ]
        for name, reply in cases:
            with self.subTest(name=name):
                self.assertEqual(lib.LibListTemplateVars(name), reply)
        self.assertIn(["logo"], lib.LibListTemplates()["list"])

    def test_meta_item_timecodes(self):
        _, proxy = served(self, MediaLibrary())
        lib = proxy.MivraLib
        proxy.Fake.AddItem("media/plain.mxf", {})
        proxy.Fake.AddItem("media/vitc.mxf", {"timecode": "09:59:50:00",
                                              "timecode_at_mark_in": "10:00:00:00",
                                              "timecode_at_mark_out": "10:00:20:00"})
        proxy.Fake.AddItem("media/bare.mxf", {"omit": ["timecode", "timecode_at_mark_in"]})
        self.assertEqual(lib.LibRenameItem("media/vitc.mxf", "media/moved.mxf")["result"], 0)
        names = ("timecode", "timecode_at_mark_in", "timecode_at_mark_out")
        cases = [
            ("media/plain.mxf", ("10:00:00:00", "", "")),
            ("media/moved.mxf", ("09:59:50:00", "10:00:00:00", "10:00:20:00")),
            ("media/bare.mxf", (None, None, "")),
        ]
        for path, want in cases:
            with self.subTest(path=path):
                reply = lib.LibMetaItem(path)
                self.assertEqual(reply["result"], 0)
                self.assertEqual(tuple(reply["item"].get(n) for n in names), want)


def fuse_usable():
    return fuse_case.fuse_usable(NOLINK_FS)


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class NoLinkFsTest(unittest.TestCase):
    def mount(self):
        root = tempfile.mkdtemp(prefix="nolink")
        self.addCleanup(shutil.rmtree, root, True)
        backing, mnt = os.path.join(root, "backing"), os.path.join(root, "mnt")
        os.mkdir(backing)
        os.mkdir(mnt)
        proc = subprocess.Popen([NOLINK_FS, backing, mnt, "-f"], stderr=subprocess.PIPE,
                                text=True)

        def unmount():
            if os.path.ismount(mnt):
                subprocess.run(["fusermount", "-u", mnt], timeout=10, check=False)
            try:
                proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                subprocess.run(["fusermount", "-uz", mnt], timeout=10, check=False)
                proc.kill()
                proc.communicate(timeout=10)

        self.addCleanup(unmount)
        deadline = time.monotonic() + 10
        while not os.path.ismount(mnt) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.ismount(mnt), "nolink_fs did not mount")
        return backing, mnt

    def test_saves_without_hard_links(self):
        backing, mnt = self.mount()
        m = lambda *names: os.path.join(mnt, *names)  # noqa: E731

        def save(path, data):
            # The way a careful program saves: a temporary file, synced, renamed over the target.
            fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            os.write(fd, data)
            os.fsync(fd)
            os.close(fd)
            os.rename(path + ".tmp", path)

        def append(path, data):
            with open(path, "ab") as f:
                f.write(data)

        # (what, action, errno expected or None)
        cases = [
            ("mkdir", lambda: os.mkdir(m("d")), None),
            ("save", lambda: save(m("d", "a.ply"), b"first\n"), None),
            ("save over", lambda: save(m("d", "a.ply"), b"second\n"), None),
            ("append", lambda: append(m("d", "a.ply"), b"more\n"), None),
            ("chmod", lambda: os.chmod(m("d", "a.ply"), 0o600), None),
            ("utime", lambda: os.utime(m("d", "a.ply"), (1000000000, 1000000000)), None),
            ("hard link", lambda: os.link(m("d", "a.ply"), m("d", "b.ply")), errno.EPERM),
            ("truncate", lambda: os.truncate(m("d", "gone"), 0), errno.ENOENT),
            ("save and delete", lambda: (save(m("x"), b"x"), os.unlink(m("x"))), None),
        ]
        for what, action, want in cases:
            with self.subTest(what=what):
                if want is None:
                    action()
                else:
                    with self.assertRaises(OSError) as e:
                        action()
                    self.assertEqual(e.exception.errno, want)

        self.assertEqual(sorted(os.listdir(mnt)), ["d"])
        self.assertEqual(os.listdir(m("d")), ["a.ply"])
        with open(os.path.join(backing, "d", "a.ply"), "rb") as f:
            self.assertEqual(f.read(), b"second\nmore\n")
        st = os.stat(m("d", "a.ply"))
        self.assertEqual((st.st_mode & 0o777, int(st.st_mtime), st.st_nlink),
                         (0o600, 1000000000, 1))
        with open(m("d", "a.ply"), "r+b") as f:
            f.truncate(6)
            self.assertEqual(f.read(), b"second")


if __name__ == "__main__":
    unittest.main()
