"""The six reader programs and MivraBoxPlyConv when their input is not there: a failure exits
non-zero and never replaces an existing playlist."""

import os
import subprocess
import unittest

from helpers.reader_case import BUILD, ReaderCase, reader_binary

PLYCONV = os.path.join(BUILD, "src", "plyconv", "MivraBoxPlyConv")

# Reader, its arguments after the source and the destination.
READERS = [
    ("sgtreader", []),
    ("chyroreader", []),
    ("epgreader", []),
    ("bxfreader", []),
    ("abcvsreader", []),
    ("landscapereader", ["types.txt", "layers.txt"]),
]

OLD = "06:00:00:00\tF\t\t\t00:00:10:00\tC\t/media/old#\told\t\t\t\t\t\t\t\n"


class ReaderFailures(ReaderCase):
    def test_missing_unreadable_and_option_sources(self):
        self.write("types.txt", "")
        self.write("layers.txt", "")
        os.mkdir(self.path("folder.xml"))
        cases = [  # source, exit status, what standard error says
            ("absent.xml", 1, "Error! Failed to read file [absent.xml]: No such file or directory\n"),
            ("folder.xml", 1, "Error! Failed to read file [folder.xml]: Is a directory\n"),
            ("--help", 1, "Error! Not enough arguments.\nUsage:\n"),
            ("-", 1, "Error! Not enough arguments.\nUsage:\n"),
        ]
        for name, extra in READERS:
            for src, status, err in cases:
                with self.subTest(reader=name, source=src):
                    dst = self.write("out.ply", OLD)
                    before = os.stat(dst)
                    r = subprocess.run([reader_binary(name), src, "out.ply", *extra], cwd=self.dir,
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, status, r.stderr)
                    self.assertTrue(r.stderr.startswith(err), r.stderr)
                    self.assertEqual(r.stdout, "")
                    # Same file, same content, and no temporary left beside it.
                    after = os.stat(dst)
                    self.assertEqual((after.st_ino, after.st_mtime_ns),
                                     (before.st_ino, before.st_mtime_ns))
                    self.assertEqual(self.read_text("out.ply"), OLD)
                    self.assertEqual(sorted(os.listdir(self.dir)),
                                     ["folder.xml", "layers.txt", "out.ply", "types.txt"])
                    os.unlink(dst)
                    r = subprocess.run([reader_binary(name), src, "out.ply", *extra], cwd=self.dir,
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, status)
                    self.assertFalse(os.path.exists(dst))

    def test_empty_source_is_read(self):
        # A file that was read keeps exiting 0, events or not.
        self.write("empty.xml", "")
        for name, extra in READERS:
            with self.subTest(reader=name):
                r = subprocess.run([reader_binary(name), "empty.xml", "out.ply", *extra],
                                   cwd=self.dir, capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read_text("out.ply"), "")

    def test_plyconv_without_its_source_folder(self):
        for d in ("dst", "err"):
            os.mkdir(self.path(d))
        r = subprocess.run([PLYCONV, "--src=" + self.path("absent"), "--dst=" + self.path("dst"),
                            "--error=" + self.path("err"), "--chyro",
                            "--log-file-name=" + self.path("plyconv.log")],
                           cwd=self.dir, capture_output=True, text=True, timeout=30)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("inotify_add_watch(%s) failed" % self.path("absent"), r.stderr)
        self.assertIn("Bye!", r.stderr)

    def read_text(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()


if __name__ == "__main__":
    unittest.main()
