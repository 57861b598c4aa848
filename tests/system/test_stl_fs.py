"""MivraBoxSTL mounted on a temporary folder through /dev/fuse and read with ordinary tools."""

import errno
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from helpers import fuse_case

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default")))
BINARY = os.path.join(BUILD, "src", "fs", "stl", "MivraBoxSTL")
FILLER = 0x8F


def gsi_block(tnb, cct=0):
    """General Subtitle Information block, 1024 bytes of text fields."""
    fields = [
        (0, b"850"), (3, b"STL25.01"), (11, b"1"), (12, b"%02d" % cct), (14, b"09"),
        (16, b"Mivra test programme".ljust(32)), (224, b"261209"), (230, b"261209"),
        (236, b"00"), (238, b"%05d" % tnb), (243, b"%05d" % tnb), (248, b"001"),
        (251, b"40"), (253, b"23"), (255, b"1"), (256, b"10000000"), (264, b"10000000"),
        (272, b"1"), (273, b"1"), (274, b"GBR"),
    ]
    block = bytearray(b" " * 1024)
    for off, value in fields:
        block[off:off + len(value)] = value
    return bytes(block)


def tti_block(number, tc_in, tc_out, text, ebn=0xFF, comment=0):
    """Text and Timing Information block: timecodes as (h, m, s, f), text as raw bytes."""
    assert len(text) <= 112
    head = struct.pack("<BHBB4B4BBBB", 0, number, ebn, 0, *tc_in, *tc_out, 20, 2, comment)
    return head + bytes(text) + bytes([FILLER]) * (112 - len(text))


def make_stl(subtitles, cct=0, tnb=None):
    """subtitles: list of (tc_in, tc_out, text bytes)."""
    blocks = [tti_block(i, tin, tout, text) for i, (tin, tout, text) in enumerate(subtitles)]
    return gsi_block(len(blocks) if tnb is None else tnb, cct) + b"".join(blocks)


def frames(h, m, s, f):
    return h * 90000 + m * 1500 + s * 25 + f




wait_for = fuse_case.wait_for


def fuse_usable():
    return fuse_case.fuse_usable(BINARY)


class Mount(fuse_case.FuseMount):
    """One running MivraBoxSTL over src, mounted on its own folder until stop()."""

    def __init__(self, root, src, extra=()):
        self.mnt = tempfile.mkdtemp(prefix="mnt", dir=root)
        self.log = os.path.join(root, "stl.log")
        opts = os.path.join(root, "stl.opts")
        # Reading an options file puts the log name back to its default: the file sets it.
        with open(opts, "w") as f:
            f.write("# written by the test\n  --src=%s  \n\n--dst=%s\n--log-file-name=%s\n"
                    % (src, self.mnt, self.log))
        self.start([BINARY, "--nodemonize", *extra, opts], "MivraBoxSTL", root)


def run(*args):
    return subprocess.run(list(args), capture_output=True, timeout=30)


# Subtitles around 10:00:00:00: one before, one at, one after; the ones after carry styles.
NEWS = [
    ((9, 59, 59, 0), (10, 0, 0, 0), b"Too early"),
    ((10, 0, 0, 0), (10, 0, 2, 0), b"Right on time"),
    ((10, 0, 1, 0), (10, 0, 3, 12), b"\x80Italic\x81 \x82under\x83 \x84bold\x85"),
    ((10, 0, 4, 0), (10, 0, 5, 0), b"Hello\x8a\x8aWorld"),
    ((10, 0, 6, 0), (10, 0, 7, 0), b"A\x8a\x8a\x8aB\x8a  \x8a"),
    ((10, 0, 8, 0), (10, 0, 8, 5), b"\x0b\x0b"),  # no visible text: left out
    ((10, 0, 9, 0), (10, 0, 9, 1), b"\x8a"),  # a lone '~' is never cut
]
NEWS_MPL = ("0=Right on time\n49=\n"
            "25=<i>Italic</i> <u>under</u> <b>bold</b>\n86=\n"
            "100=Hello~ World\n124=\n"
            "150=A~ ~B\n174=\n"
            "225=~\n225=\n")

# One line per character code table: the bytes and the UTF-8 they must read as.
CODE_TABLES = [
    (0, b"I got \xa410 that says \xa61 \xc2e\xc8u", "I got $10 that says #1 éü"),
    (1, "Привет".encode("iso8859_5"), "Привет"),
    (2, "أهلا".encode("iso8859_6"), "أهلا"),
    (3, "Γειά σου".encode("iso8859_7"), "Γειά σου"),
    (4, "שלום".encode("iso8859_8"), "שלום"),
]


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class StlFsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="stlfs")
        cls.src = os.path.join(cls.root, "src")
        os.mkdir(cls.src)
        cls.write("news.stl", make_stl(NEWS))
        cls.write("upper.STL", make_stl([((0, 0, 2, 0), (0, 0, 3, 0), b"Upper")]))
        for cct, raw, _ in CODE_TABLES:
            cls.write("cct%d.stl" % cct, make_stl([((1, 0, 0, 0), (1, 0, 1, 0), raw)], cct))
        good = make_stl([((0, 0, 1, 0), (0, 0, 2, 0), b"Fixed")])
        cls.write("padded.stl", good + b"\0")
        cls.write("readme.txt", b"not subtitles")
        os.mkdir(os.path.join(cls.src, "sub"))
        os.mkfifo(os.path.join(cls.src, "pipe"))
        cls.mount = Mount(cls.root, cls.src)
        cls.mnt = cls.mount.mnt

    @classmethod
    def tearDownClass(cls):
        code = cls.mount.stop()
        shutil.rmtree(cls.root, ignore_errors=True)
        if code != 0:
            raise AssertionError("MivraBoxSTL ended with %r" % code)

    @classmethod
    def write(cls, name, data):
        with open(os.path.join(cls.src, name), "wb") as f:
            f.write(data)

    def path(self, *names):
        return os.path.join(self.mnt, *names)

    def cat(self, *names):
        r = run("cat", self.path(*names))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode("utf-8")

    def open_errno(self, *names):
        try:
            with open(self.path(*names), "rb") as f:
                f.read()
        except OSError as e:
            return e.errno
        return 0

    def test_root_lists_regular_files_only(self):
        r = run("ls", "-1a", self.mnt)
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = {".", "..", "news.stl", "upper.STL", "padded.stl", "readme.txt"}
        expected |= {"cct%d.stl" % c for c, _, _ in CODE_TABLES}
        self.assertEqual(set(r.stdout.decode().split()), expected)
        st = os.stat(self.mnt)
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o755)
        self.assertTrue(stat.S_ISDIR(st.st_mode))

    def test_files_are_folders_with_the_file_attributes(self):
        real = os.stat(os.path.join(self.src, "news.stl"))
        st = os.stat(self.path("news.stl"))
        self.assertTrue(stat.S_ISDIR(st.st_mode))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o755)
        self.assertEqual(st.st_size, real.st_size)
        self.assertEqual(int(st.st_mtime), int(real.st_mtime))
        self.assertTrue(stat.S_ISDIR(os.stat(self.path("readme.txt")).st_mode))
        r = run("ls", "-1a", self.path("news.stl"))
        self.assertEqual(r.stdout.decode().split(), [".", ".."])

    def test_mpl_text_from_the_time_code_on(self):
        self.assertEqual(self.cat("news.stl", "10:00:00:00.mpl"), NEWS_MPL)
        st = os.stat(self.path("news.stl", "10:00:00:00.mpl"))
        self.assertTrue(stat.S_ISREG(st.st_mode))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o444)
        self.assertEqual(st.st_nlink, 1)
        self.assertEqual(st.st_size, len(NEWS_MPL.encode()))
        # An earlier time code shifts every frame number and takes in the early subtitle.
        early = self.cat("news.stl", "9:59:59:0.mpl")
        self.assertTrue(early.startswith("0=Too early\n24=\n25=Right on time\n74=\n"), early)
        # The end line is never clamped: it may come before the start or below zero.
        self.assertEqual(self.cat("news.stl", "10:00:09:00.mpl"), "0=~\n0=\n")

    def test_extension_case(self):
        self.assertEqual(self.cat("upper.STL", "00:00:00:00.mpl"), "50=Upper\n74=\n")
        self.assertEqual(self.open_errno("upper.STL", "00:00:00:00.MPL"), errno.ENOTDIR)
        self.assertEqual(self.open_errno("readme.txt", "00:00:00:00.mpl"), errno.ENOTDIR)

    def test_code_tables_read_as_utf8(self):
        for cct, _, text in CODE_TABLES:
            with self.subTest(cct=cct):
                self.assertEqual(self.cat("cct%d.stl" % cct, "01:00:00:00.mpl"),
                                 "0=%s\n24=\n" % text)

    def test_refusals_reach_the_reader(self):
        # Past the last subtitle: nothing to show.
        self.assertEqual(self.open_errno("news.stl", "11:00:00:00.mpl"), errno.EINVAL)
        with self.assertRaises(OSError) as cm:
            os.stat(self.path("news.stl", "11:00:00:00.mpl"))
        self.assertEqual(cm.exception.errno, errno.EINVAL)
        # A file one byte longer than its blocks is no STL file; the lookup then finds no such
        # path under the plain file.
        self.assertEqual(self.open_errno("padded.stl", "00:00:00:00.mpl"), errno.ENOTDIR)
        # What is not a regular file in the source folder is refused.
        for name in ("sub", "pipe"):
            with self.assertRaises(OSError) as cm:
                os.stat(self.path(name))
            self.assertEqual(cm.exception.errno, errno.ECONNREFUSED, name)
        self.assertEqual(self.open_errno("missing.stl", "00:00:00:00.mpl"), errno.ENOENT)
        self.assertEqual(self.open_errno("news.stl", "no time.mpl"), errno.ENOTDIR)
        with self.assertRaises(OSError) as cm:
            open(self.path("news.stl", "10:00:00:00.mpl"), "r+b")
        self.assertEqual(cm.exception.errno, errno.EACCES)

    def test_corrected_file_serves_at_next_call(self):
        self.write("later.stl", make_stl([((0, 0, 1, 0), (0, 0, 2, 0), b"One")], tnb=2))
        self.addCleanup(os.remove, os.path.join(self.src, "later.stl"))
        self.assertEqual(self.open_errno("later.stl", "00:00:00:00.mpl"), errno.ENOTDIR)
        self.write("later.stl", make_stl([((0, 0, 1, 0), (0, 0, 2, 0), b"One")]))
        self.assertEqual(self.cat("later.stl", "00:00:00:00.mpl"), "25=One\n49=\n")

    def test_several_readers_at_once(self):
        wanted = {("news.stl", "10:00:00:00.mpl"): NEWS_MPL}
        for cct, _, text in CODE_TABLES:
            wanted[("cct%d.stl" % cct, "01:00:00:00.mpl")] = "0=%s\n24=\n" % text
        failures = []

        def reader(names, text):
            for _ in range(10):
                r = run("cat", self.path(*names))
                if r.returncode != 0 or r.stdout.decode() != text:
                    failures.append((names, r.returncode, r.stderr))

        threads = [threading.Thread(target=reader, args=item) for item in wanted.items() for _ in
                   range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertFalse(any(t.is_alive() for t in threads), "a reader hung")
        self.assertEqual(failures, [])


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class StlCommandLineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="stlcli")
        self.addCleanup(shutil.rmtree, self.root, True)

    def run_prog(self, *args):
        return subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=30,
                              cwd=self.root)

    def test_missing_src_help_and_unknown_options_end_with_1(self):
        r = self.run_prog("--dst=" + self.root)
        self.assertEqual(r.returncode, 1)
        self.assertIn("ERROR: argument '--src' required\n", r.stderr)
        r = self.run_prog("--help")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("MivraBoxSTL-"), r.stderr)
        r = self.run_prog("--bogus")
        self.assertEqual(r.returncode, 1)
        self.assertIn("ERROR: Incorrect argument! [--bogus]", r.stderr)

    def test_failed_mount_is_not_success(self):
        r = self.run_prog("--src=" + self.root, "--dst=" + os.path.join(self.root, "nowhere"))
        self.assertNotEqual(r.returncode, 0)

    def test_unmount_ends_the_program_and_its_log(self):
        src = os.path.join(self.root, "src")
        os.mkdir(src)
        m = Mount(self.root, src)
        self.assertEqual(m.stop(), 0)
        with open(m.log) as f:
            log = f.read()
        self.assertIn("MivraBoxSTL-", log)
        self.assertTrue(log.rstrip().endswith("Bye!"), log)


if __name__ == "__main__":
    unittest.main()
