"""16 ticker crawls of 1920x128 read through the mount at 25 frames per second each, every
frame opened and read whole as a playout would; the time of a frame against the 40 ms period
and against reading a plain file of the same size in the same run. Then 1,000 frame files of
1920x1080 held open: the program's peak memory against the bound on held frames, for moving
crawls (each open a frame of its own) and for a still one (every open shares one image). Prints
figures, asserts none."""

import errno
import os
import resource
import subprocess
import sys
import shutil
import tempfile
import threading
import time
import unittest

from helpers.crawl_case import Bmp, Mount, cat, fuse_usable, preset, write
from summary import summary

CRAWLS = 16
FPS = 25
SECONDS = 6
HELD = 1000
# Frames of one crawl read at 25 fps by a process of its own (another client); prints the times.
READER = """import sys, time
times, start = [], time.monotonic()
for k in range(int(sys.argv[2])):
    time.sleep(max(0, start + k / 25 - time.monotonic()))
    t = time.perf_counter()
    with open(sys.argv[1], "rb") as f:
        f.read()
    times.append(time.perf_counter() - t)
print(" ".join("%.6f" % t for t in times))
"""
BOUND_MIB = 512  # the program's default


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

    def other_client(self, path, frames=FPS * 2):
        r = subprocess.run([sys.executable, "-c", READER, path, str(frames)], capture_output=True,
                           text=True, timeout=120, check=True)
        return sorted(float(t) for t in r.stdout.split())

    def hold_thousand(self, root, datas, names):
        """Mounts afresh, opens HELD frame files round the crawls named and keeps them; (peak
        memory of the program over what it had before, in MiB, opens refused, frame bytes,
        frame times of another crawl read by another client before and while they are held)."""
        m = Mount(root, os.path.join(root, "p"), datas)
        self.addCleanup(m.stop)
        # Also puts a still crawl at its place for good: the right edge.
        frame = len(cat(m.path("full", *names[0].split("/"))))
        other = m.path("full", "news.txt", "other")
        alone = self.other_client(other)
        base = m.memory_kb()
        held, refused = [], 0
        try:
            for i in range(HELD):
                try:
                    held.append(os.open(m.path("full", *names[i % len(names)].split("/")),
                                        os.O_RDONLY))
                except OSError as e:
                    self.assertEqual(e.errno, errno.ENOMEM)
                    refused += 1
            peak = (m.memory_kb("VmHWM") - base) / 1024
            beside = self.other_client(other)
        finally:
            for fd in held:
                os.close(fd)
        self.assertEqual(m.stop(), 0)
        return peak, refused, frame, alone, beside

    def test_thousand_files_held(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = HELD + 256
        if soft < want:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))
            self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        root = tempfile.mkdtemp(prefix="crawlheld")
        self.addCleanup(shutil.rmtree, root, True)
        os.mkdir(os.path.join(root, "p"))
        datas = os.path.join(root, "d")
        os.mkdir(datas)
        write(os.path.join(root, "p", "full"),
              preset(width=1920, height=1080, step=-6, size=48, bg="FF102040"))
        write(os.path.join(datas, "news.txt"),
              "".join("Headline %d: markets, weather and sport\n" % i for i in range(20)))
        write(os.path.join(datas, "empty.txt"), "\n")
        moving, refused, frame, alone, beside = self.hold_thousand(
            root, datas, ["news.txt/c%d" % i for i in range(CRAWLS)])
        still, still_refused, _, _, _ = self.hold_thousand(root, datas, ["empty.txt/still"])
        copies = HELD * frame / (1 << 20)
        print("\ncrawl_mount_bench: %d frame files of %d bytes held open: moving crawls: peak "
              "%.0f MiB over the start, %d opens refused, bound %d MiB (%.0f MiB unbounded); a "
              "still crawl, its frame shared: peak %.1f MiB, %d refused"
              % (HELD, frame, moving, refused, BOUND_MIB, copies, still, still_refused))
        print("crawl_mount_bench: another crawl read by another client at 25 fps while they are "
              "held: p50 %.2f ms, max %.2f ms; before: p50 %.2f ms, max %.2f ms"
              % (pct(beside, 0.5) * 1e3, beside[-1] * 1e3, pct(alone, 0.5) * 1e3,
                 alone[-1] * 1e3))
        summary("peak memory, 1,000 HD frame files held open", "%.0f MiB" % moving,
                "%d MiB (the bound on held frames)" % BOUND_MIB, moving / BOUND_MIB, "lower")
        summary("peak memory, 1,000 opens of a still crawl held", "%.1f MiB" % still,
                "%.0f MiB (one frame per open)" % copies, still / copies, "lower")
        summary("HD frame of another crawl, 1,000 files held, p50", "%.2f ms" % (pct(beside, 0.5) * 1e3),
                "%.2f ms (none held)" % (pct(alone, 0.5) * 1e3), pct(beside, 0.5) / pct(alone, 0.5),
                "lower")


if __name__ == "__main__":
    unittest.main()
