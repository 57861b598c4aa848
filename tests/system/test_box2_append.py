"""MivraBox2's drop folder: playlists dropped in are opened or appended and removed, other files
removed, unreadable playlists kept in "failed", hidden files and sub-folders left alone."""
import os
import unittest

from helpers.box2_util import Box, line, plain, wait_for


class AppendTest(unittest.TestCase):
    def setUp(self):
        import tempfile
        self.tmp = tempfile.TemporaryDirectory(prefix="box2-drop-")
        self.addCleanup(self.tmp.cleanup)
        self.drop = self.tmp.name
        self.put("early.ply", [line(media="e1"), line(media="e2")])

    def put(self, name, lines):
        with open(os.path.join(self.drop, name), "w") as f:
            f.write("".join(x + "\n" for x in lines))

    def there(self, name):
        return os.path.exists(os.path.join(self.drop, name))

    def media(self, box):
        r = plain(box.call("MivraBox.GetEvents", 0, 0, 100))
        return [e["event"].split("\t")[6] for e in r["events"]]

    def test_drop_folder(self):
        box = Box(self, bus_extra=["--auto-append=%s" % self.drop])
        self.assertTrue(wait_for(lambda: self.media(box) == ["e1", "e2"]))
        self.assertTrue(wait_for(lambda: not self.there("early.ply")))
        self.assertTrue(box.wait_log("bus_append_proc: EXISTING file [early.ply]"))
        # Written under a hidden name and renamed into place, as a converter does.
        self.put(".late.tmp", [line(media="l1")])
        self.assertTrue(self.there(".late.tmp"))
        os.rename(os.path.join(self.drop, ".late.tmp"), os.path.join(self.drop, "late.ply"))
        self.assertTrue(wait_for(lambda: self.media(box) == ["e1", "e2", "l1"]))
        self.assertTrue(wait_for(lambda: not self.there("late.ply")))
        self.put("notes.txt", ["x"])
        self.put("bad.ply", ["not a playlist line"])
        os.mkdir(os.path.join(self.drop, "sub.ply"))
        self.put(".hidden.ply", [line(media="h")])
        self.assertTrue(wait_for(lambda: not self.there("notes.txt")))
        self.assertTrue(wait_for(lambda: self.there("failed/bad.ply")))
        self.assertFalse(self.there("bad.ply"))
        self.assertTrue(os.path.isdir(os.path.join(self.drop, "sub.ply")))
        self.assertTrue(self.there(".hidden.ply"))
        self.assertEqual(self.media(box), ["e1", "e2", "l1"])
        self.assertIn("will try APPEND [late.ply]", box.log_text())


if __name__ == "__main__":
    unittest.main()
