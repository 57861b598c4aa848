"""The six reader programs and MivraBoxPlyConv when their input is not there, is no file, or
cannot be read whole: a failure exits non-zero and never replaces an existing playlist."""

import os
import resource
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
        self.write("empty.xml", "")
        os.mkdir(self.path("folder.xml"))
        # Nobody ever writes into the FIFO: a reader that opened it would wait for good.
        os.mkfifo(self.path("fifo.xml"))
        with open(self.path("big.xml"), "wb") as f:
            f.truncate(256 * 1024 * 1024 + 1)  # sparse: costs no disk
        cases = [  # source, exit status, what standard error says
            ("absent.xml", 1, "Error! Failed to read file [absent.xml]: No such file or directory\n"),
            ("folder.xml", 1, "Error! Failed to read file [folder.xml]: Is a directory\n"),
            ("empty.xml", 1, "Error! Failed to read file [empty.xml]: Empty file\n"),
            ("fifo.xml", 1, "Error! Failed to read file [fifo.xml]: Not a regular file\n"),
            ("/dev/zero", 1, "Error! Failed to read file [/dev/zero]: Not a regular file\n"),
            ("big.xml", 1, "Error! Failed to read file [big.xml]: Larger than 256 MiB\n"),
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
                                     ["big.xml", "empty.xml", "fifo.xml", "folder.xml",
                                      "layers.txt", "out.ply", "types.txt"])
                    os.unlink(dst)
                    r = subprocess.run([reader_binary(name), src, "out.ply", *extra], cwd=self.dir,
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, status)
                    self.assertFalse(os.path.exists(dst))

    @unittest.skipIf(os.environ.get("MIVRA_SANITIZER_LOGS"),
                     "sanitizer runtimes reserve more address space than any limit allows")
    def test_out_of_memory_keeps_the_destination(self):
        # A valid AB CVS table of 64 MiB read under an address-space limit far below it.
        row = ("Clock;01/03/2024;06:30:00:12;News;NEWS.mxf;RK7;00:10:00:00;HD;10:00:00:00;1;N;"
               "LOGO;;;;;;;;\n")
        with open(self.path("big.cvs"), "w", encoding="utf-8") as f:
            f.write("h;" * 19 + "h\n")
            block = row * 10000
            for _ in range(64 * 1024 * 1024 // len(block) + 1):
                f.write(block)

        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (56 * 1024 * 1024, 56 * 1024 * 1024))

        dst = self.write("out.ply", OLD)
        r = subprocess.run([reader_binary("abcvsreader"), "big.cvs", "out.ply"], cwd=self.dir,
                           capture_output=True, text=True, timeout=120, preexec_fn=limit)
        self.assertEqual(r.returncode, 1, r.stderr[-2000:])
        self.assertIn("Error! Failed to read file [big.cvs], r=-12 (Cannot allocate memory)\n",
                      r.stderr)
        self.assertEqual(self.read_text("out.ply"), OLD)
        self.assertEqual(sorted(os.listdir(self.dir)), ["big.cvs", "out.ply"])
        os.unlink(dst)

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
