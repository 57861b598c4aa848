"""Shared pieces of the MivraBoxTickerCrawl tests and benchmarks: presets, a mount, BMP reading
and a local HTTP server for RSS feeds."""

import http.server
import os
import re
import select
import struct
import subprocess
import tempfile
import threading
import time

from helpers import fuse_case

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../../build/default")))
BINARY = os.path.join(BUILD, "src", "fs", "tickercrawl", "MivraBoxTickerCrawl")

wait_for = fuse_case.wait_for


def fuse_usable():
    return fuse_case.fuse_usable(BINARY)


def preset(width=320, height=48, step=-4, bg="FF000080", fg="FFFFFFFF", size=28, extra=""):
    return ("# test preset\nfont_family\tDejaVu Sans\nfont_size\t%d\nfg_colour\t%s\n"
            "bg_colour\t%s\nloop_space\t40\ncanvas_width\t%d\ncanvas_height\t%d\n"
            "canvas_offset\t4\ncanvas_step\t%s\n%s" % (size, fg, bg, width, height, step, extra))


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class Bmp:
    """A frame file: header fields checked by the caller, pixels as rows from the top."""
    FIELDS = ("magic", "file_size", "r1", "r2", "offset", "info", "width", "height", "planes",
              "bpp", "compression", "image_size", "xppm", "yppm", "used", "important")

    def __init__(self, data):
        self.data = data
        self.h = dict(zip(self.FIELDS, struct.unpack("<2sIHHIIiiHHIIiiII", data[:54])))
        self.width, self.height = self.h["width"], self.h["height"]
        self.bytes = self.h["bpp"] // 8

    def pixel(self, col, row):
        """(blue, green, red[, alpha]) of the pixel at col, row counted from the top."""
        stored = self.height - 1 - row
        at = 54 + (stored * self.width + col) * self.bytes
        return tuple(self.data[at:at + self.bytes])

    def column(self, col):
        return [self.pixel(col, row) for row in range(self.height)]

    def inked(self, background):
        return any(self.pixel(c, r) != background
                   for r in range(self.height) for c in range(0, self.width, 2))


class Mount(fuse_case.FuseMount):
    """One running MivraBoxTickerCrawl over its presets and datas folders until stop()."""

    def __init__(self, root, presets, datas, extra=(), cwd=None):
        self.mnt = tempfile.mkdtemp(prefix="mnt", dir=root)
        self.log = os.path.join(root, "crawl-%s.log" % os.path.basename(self.mnt))
        # Standard error (a copy of the log) to a file: a pipe nobody reads fills and holds up
        # the log writer. The shell execs, so the process is the program itself.
        self.err = self.log + ".err"
        self.start(["sh", "-c", 'exec "$@" 2>"$0"', self.err, BINARY, "--nodemonize",
                    "--dst=" + self.mnt, "--src-datas=" + datas, "--src-presets=" + presets,
                    "--log-file-name=" + self.log, *extra],
                   "MivraBoxTickerCrawl", cwd or root, stdout=subprocess.DEVNULL)

    def path(self, *names):
        return os.path.join(self.mnt, *names)

    def read_log(self, path=None):
        try:
            with open(path or self.log) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def download_names(self):
        """The names of feed downloads the log tells of that are still there."""
        return [n for n in re.findall(r"to file=\[(.*?)\]", self.read_log()) if os.path.exists(n)]

    def memory_kb(self, field="VmRSS"):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(field + r":\s*(\d+)", f.read()).group(1))

    def stop(self):
        return super().stop(timeout=20)


class FeedServer:
    """http.server on a free loopback port serving documents by path. /stall never answers
    (noting when the client gives up), /stream sends for ever (noting the bytes each request
    got out), any other path answers 404 with a feed as its page."""

    def __init__(self, docs):
        self.docs = docs
        self.requests, self.arrivals, self.gave_up, self.streamed = [], [], [], []
        self.release = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append(self.path)
                outer.arrivals.append((self.path, time.monotonic()))
                if self.path == "/stall":
                    while not outer.release.is_set():
                        if select.select([self.connection], [], [], 0.1)[0]:
                            return outer.gave_up.append(time.monotonic())
                    return
                if self.path == "/stream":
                    self.send_response(200)
                    self.end_headers()
                    sent = 0
                    try:
                        while not outer.release.is_set():
                            sent += self.wfile.write(b"<rss>" * 10000)
                    except OSError:
                        outer.streamed.append(sent)
                    return
                body = outer.docs.get(self.path)
                self.send_response(200 if body else 404)
                body = body or rss("Page of a missing feed")
                self.send_header("Content-Type", "application/rss+xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def times(self, path):
        return [t for p, t in self.arrivals if p == path]

    def stop(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


def rss(*titles):
    items = "".join("<item><title>%s</title><link>http://x/%d</link></item>" % (t, i)
                    for i, t in enumerate(titles))
    return ('<?xml version="1.0"?><rss version="2.0"><channel><title>Feed</title>%s'
            "</channel></rss>" % items).encode()


def timed_frame(path):
    """(seconds the open and read took, the frame)."""
    t0 = time.monotonic()
    with open(path, "rb") as f:
        data = f.read()
    return time.monotonic() - t0, Bmp(data)


def largest_download(pid, seconds):
    """The largest feed download (its name already gone) the process held, sampled a while."""
    largest, fds, t0 = 0, "/proc/%d/fd" % pid, time.monotonic()
    while time.monotonic() - t0 < seconds:
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)).startswith("/tmp/datasource_rss-"):
                    largest = max(largest, os.stat(os.path.join(fds, fd)).st_size)
            except OSError:
                pass
        time.sleep(0.005)
    return largest


def cat(path):
    r = subprocess.run(["cat", path], capture_output=True, timeout=30)
    if r.returncode != 0:
        raise AssertionError("cat %s: %s" % (path, r.stderr.decode()))
    return r.stdout
