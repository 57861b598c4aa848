"""The examples as the user guide runs them: every reader's sample schedule against its expected
playlist, the sample STL file through MivraBoxSTL, and the RSS crawl over the sample feed with
its frame turned into a PNG by ffmpeg."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from helpers.crawl_case import Bmp, Mount, cat, fuse_usable, wait_for
from helpers.fuse_case import FuseMount

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build/default")))
EXAMPLES = os.path.join(SRC, "examples")
STL = os.path.join(BUILD, "src", "fs", "stl", "MivraBoxSTL")

NEWS_MPL = ("25=Good morning.\n86=\n100=Here is the news.\n149=\n"
            "175=Rain in the north, sun in the south.\n248=\n")


class Examples(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_reader_samples(self):
        out = os.path.join(self.dir, "readers")
        r = subprocess.run([os.path.join(EXAMPLES, "readers", "convert-all"), BUILD, out],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            "sgt: 3 events as expected", "chyro: 2 events as expected",
            "landscape: 3 events as expected", "abcvs: 3 events as expected",
            "epg: 2 events as expected", "bxf: 2 events as expected"])
        # The messages of each reader are kept beside its playlist, out of the checkout.
        self.assertIn("cb_startdate: date=20240305_000000, name=[PL_MORNING], channel=[KTV1]",
                      open(os.path.join(out, "sgt.log")).read())
        self.assertIn("bxf_parse returned 0", open(os.path.join(out, "bxf.log")).read())

    @unittest.skipIf(fuse_usable(), fuse_usable())
    def test_sample_stl_through_the_file_system(self):
        src, mnt = os.path.join(self.dir, "src"), os.path.join(self.dir, "mnt")
        os.mkdir(src)
        os.mkdir(mnt)
        subprocess.run([os.path.join(EXAMPLES, "stl", "make-sample-stl"),
                        os.path.join(src, "news.stl")], check=True, timeout=30)
        fs = FuseMount()
        fs.mnt = mnt
        fs.start([STL, "--nodemonize", "--src=" + src, "--dst=" + mnt,
                  "--log-file-name=" + os.path.join(self.dir, "MivraBoxSTL.log")],
                 "MivraBoxSTL", self.dir)
        try:
            self.assertEqual(cat(os.path.join(mnt, "news.stl", "10:00:00:00.mpl")).decode(),
                             NEWS_MPL)
        finally:
            self.assertEqual(fs.stop(), 0)

    @unittest.skipIf(fuse_usable(), fuse_usable())
    def test_rss_crawl_over_the_sample_feed(self):
        feed = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, "tickercrawl", "serve-feed"),
                                 "0"], stdout=subprocess.PIPE, text=True)
        try:
            url = feed.stdout.readline().split()[-1]
            self.assertRegex(url, r"^http://127\.0\.0\.1:\d+/feed\.xml$")
            # The sample data files, with the feed's address on this run's port.
            datas = os.path.join(self.dir, "datas")
            shutil.copytree(os.path.join(EXAMPLES, "tickercrawl", "datas"), datas)
            with open(os.path.join(datas, "headlines.rss")) as f:
                self.assertEqual(f.read(), "http://127.0.0.1:8000/feed.xml\n")
            with open(os.path.join(datas, "headlines.rss"), "w") as f:
                f.write(url + "\n")
            m = Mount(self.dir, os.path.join(EXAMPLES, "tickercrawl", "presets"), datas)
            try:
                frame = m.path("lower-third", "headlines.rss", "out")
                png = os.path.join(self.dir, "frame.png")
                bmp = os.path.join(self.dir, "frame.bmp")

                def inked():
                    data = cat(frame)
                    with open(bmp, "wb") as f:
                        f.write(data)
                    return Bmp(data).inked((0x40, 0x20, 0x10))
                wait_for(inked, 30, "the feed's titles in the crawl")
                r = subprocess.run(["ffmpeg", "-y", "-i", bmp, "-update", "1", png],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertNotIn("image sequence", r.stderr)
                with open(png, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            finally:
                self.assertEqual(m.stop(), 0)
        finally:
            feed.terminate()
            feed.wait(10)
            feed.stdout.close()


if __name__ == "__main__":
    unittest.main()
