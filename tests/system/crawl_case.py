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

import fuse_case

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default")))
BINARY = os.path.join(BUILD, "src", "fs", "tickercrawl", "MivraBoxTickerCrawl")
# Where the program keeps a feed while it downloads it.
DOWNLOADS = "/tmp/datasource_rss-"
MIB = 1 << 20

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
        # Standard error, a copy of the log, goes to a file: a pipe nobody reads would fill and
        # hold up the log writer. The shell execs, so the process is the program itself.
        self.err = self.log[:-4] + ".err"
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
        """The names the program gave its feed downloads that are still there."""
        return [n for n in re.findall(r"to file=\[([^\]]*)\]", self.read_log())
                if os.path.exists(n)]

    def stop(self):
        return super().stop(timeout=20)


class FeedServer:
    """http.server on a free loopback port serving documents by path, and feeds that misbehave:
    /stall never answers (noting when the client gives up), /stream sends for ever (noting the
    bytes each request took), an unknown path answers 404 with a feed as its page."""

    def __init__(self, docs):
        self.docs = docs
        self.requests = []  # paths, in arrival order
        self.arrivals = []  # (path, monotonic time)
        self.gave_up = []  # monotonic times at which a client left /stall
        self.streamed = []  # bytes sent per /stream request
        self.release = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append(self.path)
                outer.arrivals.append((self.path, time.monotonic()))
                if self.path == "/stall":
                    return self.stall()
                if self.path == "/stream":
                    return self.stream()
                body = outer.docs.get(self.path)
                self.send_response(200 if body is not None else 404)
                body = body if body is not None else rss("Page of a missing feed")
                self.send_header("Content-Type", "application/rss+xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def stall(self):
                while not outer.release.is_set():
                    if select.select([self.connection], [], [], 0.1)[0]:
                        if not self.connection.recv(1):
                            outer.gave_up.append(time.monotonic())
                            return

            def stream(self):
                self.send_response(200)
                self.end_headers()
                sent, block = 0, b"<rss><channel>" + b"x" * 65536
                try:
                    while not outer.release.is_set():
                        self.wfile.write(block)
                        sent += len(block)
                except OSError:
                    pass
                outer.streamed.append(sent)

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


def downloads_of(pid):
    """Sizes of the feed downloads the process holds open."""
    sizes = []
    fds = "/proc/%d/fd" % pid
    for fd in os.listdir(fds):
        try:
            if os.readlink(os.path.join(fds, fd)).startswith(DOWNLOADS):
                sizes.append(os.stat(os.path.join(fds, fd)).st_size)
        except OSError:
            pass
    return sizes


def memory_kb(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))


def timed_frame(path):
    """One frame read with open and read; (seconds taken, the frame)."""
    t0 = time.monotonic()
    with open(path, "rb") as f:
        data = f.read()
    return time.monotonic() - t0, Bmp(data)


def rss(*titles):
    items = "".join("<item><title>%s</title><link>http://x/%d</link></item>" % (t, i)
                    for i, t in enumerate(titles))
    return ('<?xml version="1.0"?><rss version="2.0"><channel><title>Feed</title>%s'
            "</channel></rss>" % items).encode()


def cat(path):
    r = subprocess.run(["cat", path], capture_output=True, timeout=30)
    if r.returncode != 0:
        raise AssertionError("cat %s: %s" % (path, r.stderr.decode()))
    return r.stdout
