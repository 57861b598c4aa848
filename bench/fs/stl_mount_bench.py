"""Timing of one .mpl of a 1,500-subtitle STL file through the mount, as a ratio against reading
the STL file itself; also checks that the whole text is right. Prints figures, asserts no speed."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

from summary import summary
from test_stl_fs import Mount, fuse_usable, make_stl

SUBTITLES = 1500
ROUNDS = 20


def subtitle(i):
    start = 10 * 90000 + i * 50
    tin = (start // 90000, start // 1500 % 60, start // 25 % 60, start % 25)
    end = start + 40
    tout = (end // 90000, end // 1500 % 60, end // 25 % 60, end % 25)
    text = b"\x0d\x0bSubtitle number %d\x8a\x8asecond line \x80%d\x81" % (i, i)
    return tin, tout, text


def expected_mpl():
    lines = []
    for i in range(SUBTITLES):
        lines.append("%d=Subtitle number %d~ second line <i>%d</i>\n%d=\n" % (i * 50, i, i,
                                                                             i * 50 + 39))
    return "".join(lines)


def best_of(fn):
    times = []
    for _ in range(ROUNDS):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class StlBench(unittest.TestCase):
    def test_mpl_through_the_mount_against_the_stl_file(self):
        root = tempfile.mkdtemp(prefix="stlbench")
        self.addCleanup(shutil.rmtree, root, True)
        src = os.path.join(root, "src")
        os.mkdir(src)
        stl_path = os.path.join(src, "long.stl")
        with open(stl_path, "wb") as f:
            f.write(make_stl([subtitle(i) for i in range(SUBTITLES)]))
        mount = Mount(root, src)
        self.addCleanup(mount.stop)
        mpl = os.path.join(mount.mnt, "long.stl", "10:00:00:00.mpl")

        with open(mpl, "rb") as f:
            self.assertEqual(f.read().decode(), expected_mpl())

        def read_mpl():
            os.stat(mpl)
            with open(mpl, "rb") as f:
                f.read()

        def read_stl():
            with open(stl_path, "rb") as f:
                f.read()

        cat_mpl = best_of(lambda: subprocess.run(["cat", mpl], stdout=subprocess.DEVNULL,
                                                 check=True, timeout=30))
        cat_stl = best_of(lambda: subprocess.run(["cat", stl_path], stdout=subprocess.DEVNULL,
                                                 check=True, timeout=30))
        mpl_t, stl_t = best_of(read_mpl), best_of(read_stl)
        print("\nstl_bench: %d subtitles: cat .mpl %.2f ms, cat .stl %.2f ms, ratio %.1f; "
              "stat+open+read .mpl %.2f ms, read .stl %.3f ms, ratio %.1f"
              % (SUBTITLES, cat_mpl * 1e3, cat_stl * 1e3, cat_mpl / cat_stl, mpl_t * 1e3,
                 stl_t * 1e3, mpl_t / stl_t))
        summary("STL frame text read through the mount", "%.2f ms" % (mpl_t * 1e3),
                "%.3f ms (the .stl file)" % (stl_t * 1e3), mpl_t / stl_t, "lower")


if __name__ == "__main__":
    unittest.main()
