"""MivraBoxTickerCrawl mounted through /dev/fuse and read with cat: the tree, BMP frames, the
crawl's motion, colour forms, preset reloads, text and RSS sources, the pool's limit and expiry."""

import errno
import os
import shutil
import socket
import stat
import subprocess
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import TIME_SCALE

from helpers.crawl_case import (Bmp, FeedServer, Mount, cat, fuse_usable, largest_download, preset, rss,
                        timed_frame, wait_for, write)

LONG_LINES = ("Breaking news from the playout centre\tall channels on air\n"
              "Second headline of the crawl runs on and on\n\n"
              "Third line closes the loop of the ticker\n")


def frames_until_inked(path, background, limit=40):
    """Frames read one open after another until one shows text; the frames read."""
    frames = []
    for _ in range(limit):
        frames.append(Bmp(cat(path)))
        if frames[-1].inked(background):
            return frames
        time.sleep(0.02)
    raise AssertionError("no text appeared in %s" % path)


def quick_frames(paths, bound, seconds=None, inked=None):
    """Frames of each path, one after another, for so many seconds or until each showed text
    20 times; fails when opens are slow. On a loaded machine the test itself is held up now and
    then: one in twenty may be late, though none by a second (a blocked open took seconds)."""
    took, shown, t0 = [], {p: 0 for p in paths}, time.monotonic()
    while (time.monotonic() - t0 < seconds) if seconds else min(shown.values()) < 20:
        for p in paths:
            t, frame = timed_frame(p)
            took.append(t)
            shown[p] += frame.inked(inked)
        assert time.monotonic() - t0 < 30, "no text in 30 s: %s" % shown
    took.sort()
    assert took[len(took) * 19 // 20] < bound * TIME_SCALE and took[-1] < TIME_SCALE, took[-20:]
    return shown


def levels(bg, fg, bpp):
    """Every pixel the alpha rules allow, by coverage level 0-255."""
    out = set()
    for l in range(256):
        m = 255 - l
        if bg[3] != 0:
            px = ((fg[2] * l + bg[2] * m) // 255, (fg[1] * l + bg[1] * m) // 255,
                  (fg[0] * l + bg[0] * m) // 255)
            out.add(px if bpp == 24 else px + ((l * l + m * bg[3]) // 255,))
        else:
            out.add((fg[2], fg[1], fg[0], l))
    return out


def argb(text):
    v = int(text, 16)
    return ((v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24)  # r, g, b, a


class SharedMount(unittest.TestCase):
    """One mount over fresh presets and datas folders, with a feed server, for a class's tests;
    fill() puts the files in place before the mount."""
    DOCS = {}

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="crawlfs")
        cls.presets = os.path.join(cls.root, "presets")
        cls.datas = os.path.join(cls.root, "datas")
        os.mkdir(cls.presets)
        os.mkdir(cls.datas)
        cls.feeds = FeedServer(dict(cls.DOCS))
        cls.fill()
        cls.mount = Mount(cls.root, cls.presets, cls.datas)

    @classmethod
    def tearDownClass(cls):
        code = cls.mount.stop()
        cls.feeds.stop()
        log = cls.mount.read_log()
        shutil.rmtree(cls.root, ignore_errors=True)
        if code != 0 or not log.rstrip().endswith("Bye!"):
            raise AssertionError("MivraBoxTickerCrawl ended with %r:\n%s" % (code, log[-2000:]))

    def path(self, *names):
        return self.mount.path(*names)


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlFsTest(SharedMount):
    DOCS = {"/news": rss("First title", "Second &amp; last title"),
            "/atom": b'<?xml version="1.0"?><feed><title>x</title></feed>',
            "/pretty": rss("\n    Pretty\tprinted title\r\n  ", " ")}

    @classmethod
    def fill(cls):
        write(os.path.join(cls.presets, "opaque"), preset(bg="FF000080"))
        write(os.path.join(cls.presets, "half"), preset(bg="80102030", fg="FFF0E0D0"))
        write(os.path.join(cls.presets, "clear"), preset(bg="00000000", fg="FF20C040"))
        write(os.path.join(cls.presets, "narrow"), preset(width=100, size=20))
        os.mkdir(os.path.join(cls.presets, "folder"))
        write(os.path.join(cls.datas, "news.txt"), LONG_LINES)
        write(os.path.join(cls.datas, ".hidden.TXT"), LONG_LINES)
        write(os.path.join(cls.datas, "feed.Rss"), cls.feeds.url + "/news trailing words\n")
        write(os.path.join(cls.datas, "atom.rss"), cls.feeds.url + "/atom\n")
        write(os.path.join(cls.datas, "pretty.rss"), cls.feeds.url + "/pretty\n")
        write(os.path.join(cls.datas, "plain"), "no source takes a name without a point\n")
        write(os.path.join(cls.datas, "news.txt.bak"), LONG_LINES)

    def errno_of(self, fn, *names):
        try:
            fn(self.path(*names))
        except OSError as e:
            return e.errno
        return 0

    def test_tree(self):
        self.assertEqual(sorted(os.listdir(self.mount.mnt)), ["clear", "half", "narrow", "opaque"])
        self.assertEqual(sorted(os.listdir(self.path("opaque"))),
                         ["atom.rss", "feed.Rss", "news.txt", "news.txt.bak", "plain",
                          "pretty.rss"])
        self.assertEqual(os.listdir(self.path("opaque", "news.txt")), [])
        real = os.stat(os.path.join(self.presets, "opaque"))
        st = os.stat(self.path("opaque"))
        self.assertTrue(stat.S_ISDIR(st.st_mode))
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_size, int(st.st_mtime)),
                         (0o755, real.st_size, int(real.st_mtime)))
        self.assertTrue(stat.S_ISDIR(os.stat(self.path("opaque", "plain")).st_mode))

        st = os.stat(self.path("opaque", "news.txt", "frame"))
        self.assertTrue(stat.S_ISREG(st.st_mode))
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_nlink, st.st_size),
                         (0o444, 2, 54 + 320 * 48 * 3))
        self.assertLess(abs(st.st_mtime - time.time()), 5)
        # A hidden data file is not listed but served when named.
        self.assertEqual(Bmp(cat(self.path("opaque", ".hidden.TXT", "f"))).h["magic"], b"BM")
        with open(self.path("opaque", "news.txt", "frame"), "rb") as f:
            f.seek(10 ** 6)
            self.assertEqual(f.read(), b"")
        for names, code in [(("nothing",), errno.ENOENT),
                            (("opaque", "missing.txt"), errno.ENOENT),
                            (("missing", "news.txt", "f"), errno.ENOENT),
                            (("opaque", "plain", "f"), errno.ENOENT),
                            (("opaque", "news.txt.bak", "f"), errno.ENOENT),
                            (("opaque", "news.txt", "f", "deeper"), errno.ENOTDIR)]:
            with self.subTest(names=names):
                self.assertEqual(self.errno_of(os.stat, *names), code)
        self.assertEqual(self.errno_of(lambda p: open(p, "r+b"), "opaque", "news.txt", "f"),
                         errno.EACCES)

    def test_crawl_moves_by_the_step_per_open(self):
        path = self.path("opaque", "news.txt", "moving")
        background = (0x80, 0, 0)
        frames = frames_until_inked(path, background)
        # The first frames of a fresh crawl are empty: it starts at the right edge.
        self.assertFalse(frames[0].inked(background))
        for _ in range(30):
            frames.append(Bmp(cat(path)))
        for f in frames:
            self.assertEqual((f.h["magic"], f.h["file_size"], f.h["offset"], f.h["info"],
                              f.h["width"], f.h["height"], f.h["planes"], f.h["bpp"],
                              f.h["compression"], f.h["image_size"], f.h["xppm"], f.h["yppm"],
                              f.h["used"], f.h["important"], len(f.data)),
                             (b"BM", len(f.data), 54, 40, 320, 48, 1, 24, 0, 320 * 48 * 3, 2835,
                              2835, 0, 0, 54 + 320 * 48 * 3))
        shown = frames[-31:]
        for k in range(len(shown) - 1):
            a, b = shown[k], shown[k + 1]
            for col in range(0, 320 - 4, 7):
                self.assertEqual(b.column(col), a.column(col + 4), "frame %d column %d" % (k, col))
        self.assertTrue(shown[-1].inked(background))
        # Another name under the same data file is a crawl of its own, starting afresh.
        self.assertFalse(Bmp(cat(self.path("opaque", "news.txt", "other"))).inked(background))

    def test_colour_forms_and_alpha(self):
        cases = [("opaque", "FF000080", "FFFFFFFF", 24),
                 ("half", "80102030", "FFF0E0D0", 32),
                 ("clear", "00000000", "FF20C040", 32)]
        for name, bg, fg, bpp in cases:
            with self.subTest(preset=name):
                bg_c, fg_c = argb(bg), argb(fg)
                path = self.path(name, "news.txt", "colours")
                frame = Bmp(cat(path))
                self.assertEqual((frame.h["bpp"], frame.h["image_size"]),
                                 (bpp, 320 * 48 * bpp // 8))
                # No text yet: every pixel is the one of coverage 0; with a clear background
                # that is the foreground colour at alpha 0.
                if bg_c[3] == 0:
                    zero = (fg_c[2], fg_c[1], fg_c[0], 0)
                else:
                    zero = (bg_c[2], bg_c[1], bg_c[0]) + ((bg_c[3],) if bpp == 32 else ())
                self.assertEqual({frame.pixel(c, r) for r in range(48) for c in range(320)},
                                 {zero})
                frames = frames_until_inked(path, zero)
                for _ in range(20):  # well into the text
                    frames.append(Bmp(cat(path)))
                pixels = {frames[-1].pixel(c, r) for r in range(48) for c in range(320)}
                self.assertLessEqual(pixels, levels(bg_c, fg_c, bpp))
                full = (fg_c[2], fg_c[1], fg_c[0]) + ((255,) if bpp == 32 else ())
                self.assertIn(full, pixels, "a fully covered pixel has the foreground")

    def test_preset_change_is_picked_up(self):
        p = os.path.join(self.root, "presets", "changing")
        write(p, preset(width=100, bg="FF000000"))
        self.addCleanup(os.remove, p)
        path = self.path("changing", "news.txt", "f")
        first = Bmp(cat(path))
        self.assertEqual((first.width, first.height, first.h["bpp"]), (96, 48, 24))
        write(p, preset(width=200, height=20, bg="40000000"))
        second = Bmp(cat(path))
        self.assertEqual((second.width, second.height, second.h["bpp"]), (192, 20, 32))
        self.assertEqual(len(second.data), 54 + 192 * 20 * 4)
        time.sleep(1.2)  # the kernel keeps attributes for a second
        self.assertEqual(os.stat(path).st_size, len(second.data))

    def test_fifo_preset_and_data_file_refused(self):
        for p in (os.path.join(self.presets, "fifo"), os.path.join(self.datas, "fifo.txt")):
            os.mkfifo(p)
            self.addCleanup(os.remove, p)
        with ThreadPoolExecutor(1) as pool:
            # Another crawl reads frames all along, none of them waiting for the FIFOs.
            side = pool.submit(quick_frames, [self.path("opaque", "news.txt", "s")], 0.1, 3)
            t0 = time.monotonic()
            self.assertEqual(self.errno_of(open, "fifo", "news.txt", "f"), errno.EINVAL)
            self.assertLess(time.monotonic() - t0, 1)
            self.assertFalse(Bmp(cat(self.path("opaque", "fifo.txt", "f"))).inked((0x80, 0, 0)))
            wait_for(lambda: self.mount.read_log().count("not a regular file") == 2, 5, "refusal")
            side.result(10)

    def test_rss_sources(self):
        background = (0x80, 0, 0)
        frames_until_inked(self.path("opaque", "feed.Rss", "f"), background)
        log = self.mount.read_log()
        self.assertIn("line=[First title]", log)
        self.assertIn("line=[Second & last title]", log)
        self.assertIn("/news", self.feeds.requests)
        # A title over several lines shows as one line, lit where the text runs.
        frames = frames_until_inked(self.path("opaque", "pretty.rss", "f"), background)
        self.assertTrue(any(frames[-1].pixel(c, r) != background
                            for r in range(12, 36) for c in range(320)))
        self.assertIn("line=[Pretty printed title]", self.mount.read_log())
        # A feed that is no RSS document gives no lines: the crawl stays empty.
        path = self.path("opaque", "atom.rss", "f")
        for _ in range(8):
            self.assertFalse(Bmp(cat(path)).inked(background))
            time.sleep(0.05)
        wait_for(lambda: "<rss> not found [feed]" in self.mount.read_log(), 10, "the refusal")


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlPoolTest(unittest.TestCase):
    """A mount of its own: 64 crawls at most, each freed a minute after its last use, also while
    its feed download hangs; the download gives up after 30 s."""

    def test_limit_and_expiry(self):
        root = tempfile.mkdtemp(prefix="crawlpool")
        self.addCleanup(shutil.rmtree, root, True)
        presets, datas = os.path.join(root, "p"), os.path.join(root, "d")
        os.mkdir(presets)
        os.mkdir(datas)
        feeds = FeedServer({})
        self.addCleanup(feeds.stop)
        write(os.path.join(presets, "p"), preset())
        write(os.path.join(datas, "a.txt"), LONG_LINES)
        write(os.path.join(datas, "stall.rss"), feeds.url + "/stall\n")
        m = Mount(root, presets, datas)
        self.addCleanup(m.stop)
        # A crawl whose download never ends takes one slot.
        cat(m.path("p", "stall.rss", "s"))
        wait_for(lambda: "/stall" in feeds.requests, 10, "the stalled download")
        for i in range(63):
            os.stat(m.path("p", "a.txt", "n%d" % i))
        for name in ("one-too-many", "two-too-many"):
            with self.assertRaises(OSError) as cm:
                os.stat(m.path("p", "a.txt", name))
            self.assertEqual(cm.exception.errno, errno.ENOMEM)
        os.stat(m.path("p", "a.txt", "n5"))  # a known crawl still answers
        t0 = time.monotonic()
        wait_for(lambda: m.read_log().count("freeing item") == 64, 75, "the expiry")
        self.assertGreater(time.monotonic() - t0, 55)
        self.assertIn("freeing item [p/stall.rss/s]", m.read_log())
        # A full pool is told once as it fills and once as it has room again.
        states = ("contexts in use", "free again")
        wait_for(lambda: [m.read_log().count(t) for t in states] == [1, 1], 5, "the two states")
        self.assertAlmostEqual(feeds.gave_up[0] - feeds.times("/stall")[0], 30, delta=1.5)
        self.assertEqual(Bmp(cat(m.path("p", "a.txt", "one-too-many"))).width, 320)
        # Unmounting while a download hangs ends anyway, leaving the libraries be and no copy of
        # the feed behind.
        cat(m.path("p", "stall.rss", "again"))
        wait_for(lambda: len(feeds.times("/stall")) == 2, 10, "the second stalled download")
        t0 = time.monotonic()
        self.assertEqual(m.stop(), 0)
        self.assertLess(time.monotonic() - t0, 15)
        log = m.read_log()
        self.assertIn("clean-up skipped", log)
        self.assertTrue(log.rstrip().endswith("Bye!"), log[-500:])
        self.assertEqual(m.download_names(), [])


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlFeedsTest(SharedMount):
    """Only the web is fetched, and a feed that misbehaves neither holds up the frames nor fills
    /tmp nor is asked again at every frame."""

    @classmethod
    def fill(cls):
        write(os.path.join(cls.presets, "p"), preset())

    def test_only_http_and_https_are_fetched(self):
        secret = os.path.join(self.root, "secret.xml")
        write(secret, rss("Secret title").decode())
        service = socket.create_server(("127.0.0.1", 0))  # a local service: never called
        self.addCleanup(service.close)
        local = "127.0.0.1:%d" % service.getsockname()[1]
        urls = ["file://" + secret, "gopher://%s/_MivraBox.Take" % local,
                "dict://%s/d:word" % local, "telnet://" + local, "ftp://%s/feed" % local]
        for i, url in enumerate(urls):
            write(os.path.join(self.datas, "%d.rss" % i), url + "\n")
            cat(self.path("p", "%d.rss" % i, "f"))
        for url in urls:
            wait_for(lambda: "FAILED downloading url=[%s]" % url in self.mount.read_log(), 10, url)
        self.assertEqual(self.mount.read_log().count('curl_error_msg={Protocol "'), len(urls))
        self.assertNotIn("Secret", self.mount.read_log() + self.mount.read_log(self.mount.err))
        service.setblocking(False)
        self.assertRaises(BlockingIOError, service.accept)

    def test_stalling_streaming_and_missing_feeds(self):
        names = ["stall.rss", "stream.rss", "missing.rss", "news.txt"]
        for name in names[:3]:
            write(os.path.join(self.datas, name), "%s/%s\n" % (self.feeds.url, name[:-4]))
        write(os.path.join(self.datas, "news.txt"), LONG_LINES)
        with ThreadPoolExecutor(1) as pool:
            held = pool.submit(largest_download, self.mount.proc.pid, 12)
            shown = quick_frames([self.path("p", n, "f") for n in names], 0.05, 12, (0x80, 0, 0))
        self.assertTrue(0 < held.result() <= 16 << 20, held.result())
        # Only the text shows: a 404 page is no feed, though it reads as one.
        self.assertEqual([n for n in names if shown[self.path("p", n, "f")]], ["news.txt"])
        # The stream was cut: what the server got out counts socket buffers too.
        self.assertLess(max(self.feeds.streamed), 64 << 20)
        self.assertIn("feed larger than 16777216 bytes", self.mount.read_log())
        self.assertEqual(self.mount.download_names(), [])
        # A failed feed is asked again after 10 s, not at every frame.
        for path, count in (("/stream", 2), ("/missing", 2), ("/stall", 1)):
            times = self.feeds.times(path)
            self.assertEqual(len(times), count, path)
            self.assertAlmostEqual(times[-1] - times[0], 10 * (count - 1), delta=1)


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlBoundsTest(SharedMount):
    """What one read lays out and what one crawl holds stay bounded, however large the source
    or the font."""
    DOCS = {"/big": rss(*("Headline %d of the big feed" % i for i in range(100000)))}

    @classmethod
    def fill(cls):
        write(os.path.join(cls.presets, "p"), preset(step=-40))
        write(os.path.join(cls.presets, "huge"), preset(size=10000, step=-40))
        write(os.path.join(cls.datas, "big.rss"), cls.feeds.url + "/big\n")
        write(os.path.join(cls.datas, "news.txt"), LONG_LINES)
        with open(os.path.join(cls.datas, "big.txt"), "w") as f:
            f.writelines("Line %d of a long text file\n" % i for i in range(1000000))

    def test_large_feed_and_text(self):
        # A read that was not cut would lay out every one of its lines at each frame: seconds a
        # frame. A busy machine holds a frame up a good part of a second now and then.
        from harness import scaled
        paths = [self.path("p", n, "f") for n in ("big.rss", "big.txt")]
        took, shown = [], {p: 0 for p in paths}
        deadline = time.monotonic() + scaled(90)
        while min(shown.values()) < 20:
            self.assertLess(time.monotonic(), deadline, "no text: %s" % shown)
            for p in paths:
                t, frame = timed_frame(p)
                took.append(t)
                shown[p] += frame.inked((0x80, 0, 0))
        took.sort()
        self.assertLess(took[len(took) // 2], scaled(0.5), took[-20:])
        self.assertLess(took[-1], scaled(5.0), took[-20:])
        # Each read cut at its first 1000 lines, and said so.
        for text in ("reading file finished: 1000 lines", "read cut at 1000 lines"):
            wait_for(lambda: self.mount.read_log().count(text) == 2, 10, text)
        self.assertLess(self.mount.memory_kb("VmHWM"), 200 << 10)

    def test_huge_font_size(self):
        before = self.mount.memory_kb()
        for i in range(4):
            frames_until_inked(self.path("huge", "news.txt", str(i)), (0x80, 0, 0), limit=200)
        self.assertLess((self.mount.memory_kb() - before) / 4, 50 << 10)
        wait_for(lambda: self.mount.read_log().count("font_size 10000 of") == 4, 10, "bounds")


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlHeldFramesTest(unittest.TestCase):
    """The frames that open files hold stay under --frames-max together, one client taking three
    quarters of it at most, while another client goes on reading frames."""
    FRAME = 54 + 1024 * 1000 * 4
    BOUND_MIB = 28  # share 21 MiB: five frames of this client, two of another beside them

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="crawlheld")
        self.addCleanup(shutil.rmtree, self.root, True)
        presets, datas = os.path.join(self.root, "p"), os.path.join(self.root, "d")
        os.mkdir(presets)
        os.mkdir(datas)
        write(os.path.join(presets, "big"), preset(width=1024, height=1000, bg="80000080"))
        write(os.path.join(datas, "news.txt"), LONG_LINES)
        write(os.path.join(datas, "empty.txt"), "\n")
        # The sanitizer's allocator keeps freed blocks a while: give them back as the program does.
        asan = os.environ.get("ASAN_OPTIONS")
        os.environ["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "quarantine_size_mb=0"
        try:
            self.m = Mount(self.root, presets, datas, ["--frames-max=%d" % self.BOUND_MIB])
        finally:
            if asan is None:
                del os.environ["ASAN_OPTIONS"]
            else:
                os.environ["ASAN_OPTIONS"] = asan
        self.addCleanup(self.m.stop)

    def hold(self, names, held):
        """Opens each frame file and keeps it; the errno of each refused open, 0 for the held."""
        codes = []
        for n in names:
            try:
                held.append(os.open(self.m.path("big", *n.split("/")), os.O_RDONLY))
                codes.append(0)
            except OSError as e:
                codes.append(e.errno)
        return codes

    def test_bound_refuses_logs_and_gives_room_back(self):
        m = self.m
        reader = m.path("big", "news.txt", "reader")
        self.assertEqual(len(cat(reader)), self.FRAME)
        cat(m.path("big", "empty.txt", "still"))  # at the right edge from now on: nothing moves
        base = m.memory_kb()
        held = []
        self.addCleanup(lambda: [os.close(fd) for fd in held])
        stop, times = threading.Event(), []

        def read_frames():  # another process, so another client
            while not stop.is_set() or len(times) < 20:
                t0 = time.monotonic()
                self.assertEqual(len(cat(reader)), self.FRAME)
                times.append(time.monotonic() - t0)

        with ThreadPoolExecutor(1) as pool:
            side = pool.submit(read_frames)
            # A frame that nobody else shows, then frames of crawls of their own until refused.
            self.assertEqual(self.hold(["empty.txt/still"], held), [0])
            codes = self.hold(["news.txt/h%d" % i for i in range(20)], held)
            # Opens that show what an open file already holds share it and take nothing.
            shared = self.hold(["empty.txt/still"] * 10, held)
            stop.set()
            side.result(60 * TIME_SCALE)
        self.assertEqual(codes, [0] * 4 + [errno.ENOMEM] * 16)
        self.assertEqual(shared, [0] * 10)
        data = [os.pread(fd, self.FRAME + 1, 0) for fd in held[:5]]
        self.assertEqual([len(d) for d in data], [self.FRAME] * 5)
        self.assertEqual({os.pread(fd, self.FRAME, 0) for fd in held[5:]}, {data[0]})
        # The other client was neither refused nor held up by the held frames.
        self.assertLess(max(times), 2 * TIME_SCALE, times)
        # The margin: renders under way and freed frames the allocator keeps for the next ones
        # (the sanitizer's shadow among them); a bound that failed takes 50 MiB more.
        margin = 24
        grown = (m.memory_kb("VmHWM") - base) << 10
        self.assertLess(grown, (self.BOUND_MIB + margin) << 20)
        # Closing gives the room back, told once as the refusal was.
        for fd in held:
            os.close(fd)
        held.clear()
        wait_for(lambda: self.hold(["news.txt/after"], held) == [0], 10, "room again")
        log = m.read_log()
        self.assertEqual([log.count(t) for t in ("new frames refused", "have room again")],
                         [1, 1], log[-3000:])
        self.assertIn("would pass the share of one client", log)


@unittest.skipIf(fuse_usable() is not None, fuse_usable() or "")
class TickerCrawlCommandLineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="crawlcli")
        self.addCleanup(shutil.rmtree, self.root, True)

    def run_prog(self, *args):
        from helpers.crawl_case import BINARY
        return subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=30,
                              cwd=self.root)

    def test_required_arguments_help_and_unknown_options(self):
        cases = [((), "--dst"), (("--src-presets=p",), "--dst"),
                 (("--dst=m", "--src-presets=p"), "--src-datas"),
                 (("--dst=m", "--src-datas=d"), "--src-presets")]
        for args, missing in cases:
            with self.subTest(args=args):
                r = self.run_prog(*args)
                self.assertEqual((r.returncode, r.stderr),
                                 (1, "ERROR: argument '%s' required\n" % missing))
        r = self.run_prog("--help")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("MivraBoxTickerCrawl-"), r.stderr)
        self.assertIn("--src-presets=<PATH>", r.stderr)
        # A bound that is no whole number of MiB from 1 up is refused, not read as 0.
        for arg in ("--bogus", "--frames-max=0", "--frames-max=12x", "--frames-max=1048577"):
            with self.subTest(arg=arg):
                r = self.run_prog(arg)
                self.assertEqual(r.returncode, 1)
                self.assertIn("ERROR: Incorrect argument! [%s]" % arg, r.stderr)

    def test_detached_with_relative_folders(self):
        for name in ("p", "d", "m"):
            os.mkdir(os.path.join(self.root, name))
        write(os.path.join(self.root, "p", "x"), preset(width=64))
        write(os.path.join(self.root, "d", "a.txt"), "text\n")
        opts = os.path.join(self.root, "crawl.opts")
        write(opts, "--dst=m\n--src-datas=d\n--src-presets=p\n--log-file-name=crawl.log\n"
              "--demonize\n")
        r = self.run_prog(opts)
        self.assertEqual(r.returncode, 0, r.stderr)
        mnt = os.path.join(self.root, "m")
        self.addCleanup(subprocess.run, ["fusermount", "-uz", mnt], timeout=10, check=False)
        wait_for(lambda: os.path.ismount(mnt), 10, "the mount")
        # The detached file system left the folder it started in: its paths were made whole.
        self.assertEqual(os.listdir(os.path.join(mnt, "x")), ["a.txt"])
        self.assertEqual(Bmp(cat(os.path.join(mnt, "x", "a.txt", "f"))).width, 64)
        subprocess.run(["fusermount", "-u", mnt], timeout=10, check=True)
        # The log file name was relative too: it lands where the program started.
        wait_for(lambda: os.path.exists(os.path.join(self.root, "crawl.log")) and open(
            os.path.join(self.root, "crawl.log")).read().rstrip().endswith("Bye!"), 10, "Bye!")


if __name__ == "__main__":
    unittest.main()
