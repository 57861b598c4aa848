"""16 ticker crawls of 1920x128 read through the mount at 25 frames per second each, every
frame opened and read whole as a playout would; the time of a frame against the 40 ms period
and against reading a plain file of the same size in the same run. Prints figures, asserts none."""

import os
import shutil
import tempfile
import threading
import time
import unittest

from helpers.crawl_case import Bmp, Mount, fuse_usable, preset, write
from summary import summary

CRAWLS = 16
FPS = 25
SECONDS = 6


def read_whole(path):
    with open(path, "rb") as f:
        return f.read()


def paced(path, frames, out):
    """Reads path once per period on an absolute schedule; appends each read's duration."""
    period = 1.0 / FPS
    start = time.monotonic()
    for k in range(frames):
        wait = start + k * period - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        t = time.perf_counter()
        read_whole(path)
        out.append(time.perf_counter() - t)


def run_all(paths, frames):
    times = [[] for _ in paths]
    threads = [threading.Thread(target=paced, args=(p, frames, t)) for p, t in zip(paths, times)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS * 5)
    return sorted(x for t in times for x in t)


def pct(values, q):
    return values[min(len(values) - 1, int(q * len(values)))]


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class CrawlMountBench(unittest.TestCase):
    def test_sixteen_crawls_at_25_fps(self):
        root = tempfile.mkdtemp(prefix="crawlbench")
        self.addCleanup(shutil.rmtree, root, True)
        presets, datas = os.path.join(root, "p"), os.path.join(root, "d")
        os.mkdir(presets)
        os.mkdir(datas)
        write(os.path.join(presets, "hd"),
              preset(width=1920, height=128, step=-6, size=48, bg="FF102040"))
        write(os.path.join(datas, "news.txt"),
              "".join("Headline %d: markets, weather and sport across the regions\n" % i
                      for i in range(20)))
        m = Mount(root, presets, datas)
        self.addCleanup(m.stop)
        paths = [m.path("hd", "news.txt", "crawl%d" % i) for i in range(CRAWLS)]
        frame = read_whole(paths[0])
        self.assertEqual(Bmp(frame).width, 1920)
        plain = []
        for i in range(CRAWLS):
            plain.append(os.path.join(root, "plain%d.bmp" % i))
            with open(plain[-1], "wb") as f:
                f.write(frame)

        frames = FPS * SECONDS
        # The first second creates the crawls and lays their lines out: shown on its own.
        first_t = run_all(paths, FPS)
        mount_t = run_all(paths, frames)
        plain_t = run_all(plain, frames)
        period = 1.0 / FPS
        late = sum(1 for t in mount_t if t > period)
        print("\ncrawl_mount_bench: %d crawls x %d fps, %d frames of %d bytes: frame read "
              "p50 %.2f ms, p99 %.2f ms, max %.2f ms; %d late (> %.0f ms); real-time margin "
              "%.1f x the period at p99; p50 %.1f x a plain file read (%.3f ms); first second "
              "(crawls created): p99 %.2f ms, max %.2f ms"
              % (CRAWLS, FPS, len(mount_t), len(frame), pct(mount_t, 0.5) * 1e3,
                 pct(mount_t, 0.99) * 1e3, mount_t[-1] * 1e3, late, period * 1e3,
                 period / pct(mount_t, 0.99), pct(mount_t, 0.5) / pct(plain_t, 0.5),
                 pct(plain_t, 0.5) * 1e3, pct(first_t, 0.99) * 1e3, first_t[-1] * 1e3))
        summary("crawl frame read through the mount, p50", "%.2f ms" % (pct(mount_t, 0.5) * 1e3),
                "%.3f ms (plain file)" % (pct(plain_t, 0.5) * 1e3),
                pct(mount_t, 0.5) / pct(plain_t, 0.5), "lower")


if __name__ == "__main__":
    unittest.main()
