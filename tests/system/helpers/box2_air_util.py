"""A MivraBox2 channel on air against the fakes: two playout engines, a media library, and the
daemon with one bus. Times are wall-clock seconds; local times follow the pinned TZ."""
import os
import sys
import time

from helpers.box2_util import Box, line, plain, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fakes"))
from fake_base import FakeService  # noqa: E402
from io_fake import IOEngine  # noqa: E402
from lib_fake import MediaLibrary  # noqa: E402
from libio_fake import LibraryIO  # noqa: E402

FRAME = 0.04  # pal

CUE_SEQUENCE = ["MivraIO.Stop()", "MivraIO.CuePlay()", "MivraIO.Pause()",
                "MivraIO.PlaylistLoop(i4:0)"]


def tc(seconds):
    """Local time of day of an instant as the daemon writes it (frames floored)."""
    lt = time.localtime(int(seconds))
    f = int(round((seconds - int(seconds)) * 1e6)) * 25 // 1000000
    return "%02d:%02d:%02d:%02d" % (lt.tm_hour, lt.tm_min, lt.tm_sec, f)


def dur(seconds):
    n = int(round(seconds * 25))
    return "%02d:%02d:%02d:%02d" % (n // 90000, n // 1500 % 60, n // 25 % 60, n % 25)


def insert_sig(origin, tc_in, length):
    return 'MivraIO.PlaylistInsert(i4:0,string:"%s",i4:%d,i4:%d,string:"",string:"",string:"")' % (
        origin, tc_in, length)


def next_second(lead):
    """A whole second at least lead seconds from now."""
    return float(int(time.time() + lead) + 1)


class BusChannel:
    """The fakes and one bus of a daemon wired to them: a media library and the bus's players."""

    box_class = Box
    players = 2

    def __init__(self, test, media=(), bus_extra=(), extra=(), files=None, start=True):
        self.test = test
        self.lib_p = MediaLibrary()
        self.lib = FakeService([self.lib_p, LibraryIO()]).start()
        # Reusable addresses: a test may kill an engine and start it again on its port.
        self.io = [FakeService([IOEngine()], reuse_address=True).start()
                   for _ in range(self.players)]
        test.addCleanup(self.stop_fakes)
        for mid, seconds in media:
            self.add_media(mid, seconds, publish=False)
        self.box = self.box_class(test, extra=extra, bus_extra=[
            "--lib=%s" % self.lib.hostport] + self.player_options() + list(bus_extra), start=False)
        self.path = self.box.paths[0]
        for name, text in (files or {}).items():
            self.write(name, text)
        if start:
            self.box.start()

    def player_options(self):
        return ["--io-a=%s" % self.io[0].hostport, "--io-b=%s" % self.io[1].hostport]

    def stop_fakes(self):
        for f in [self.lib] + self.io:
            f.stop()

    def add_media(self, mid, seconds, publish=True, **fields):
        with self.lib_p.lock:
            self.lib_p.add_item("media/%s.mxf" % mid, dict(fields, id=mid, duration=seconds),
                                publish=publish)

    def remove_media(self, mid):
        with self.lib_p.lock:
            self.lib_p.remove_item("media/%s.mxf" % mid)

    def write(self, name, lines, folder=None):
        with open(os.path.join(folder or self.path, name), "w") as f:
            f.write("".join(x + "\n" for x in lines))

    def call(self, method, *params):
        r = self.box.call(method, *params)
        self.test.assertNotEqual(r[0], "fault", r)
        return plain(r)

    def state(self):
        return self.call("MivraBox.GetState", 0)["state"]

    def events(self):
        """(media_id, flags, start) of every event."""
        out = []
        for e in self.call("MivraBox.GetEvents", 0, 0, 1000)["events"]:
            er = e["state"]["er"]
            out.append((e["event"].split("\t")[6], er[0], er[2] / 1000.0))
        return out

    def load(self, lines, name="show"):
        self.write(name + ".ply", lines)
        r = self.call("MivraBox.LoadPlaylist", 0, name)
        self.test.assertEqual(r["result"], len(lines), r)

    def wait_present(self, n, timeout=5):
        return wait_for(lambda: self.state()["lib_present_count"] >= n, timeout)

    def arl(self):
        """As-run lines of every day file."""
        out = []
        for name in sorted(os.listdir(self.path)):
            if name.endswith(".arl"):
                with open(os.path.join(self.path, name)) as f:
                    out += [(name, x.split("\t")) for x in f.read().splitlines()]
        return out

    def log(self):
        return self.box.log_text()

    def wait_log(self, text, timeout=5):
        return self.box.wait_log(text, timeout)


class Channel(BusChannel):
    """The fakes and one MivraBox2 bus wired to them."""

    def __init__(self, test, media=(), io_delay=40, files=None, start=True):
        self.io_delay = io_delay
        super().__init__(test, media=media, bus_extra=["--io-delay=%d" % io_delay], files=files,
                         start=start)

    def plays(self, k):
        """Datagrams of player k: (bytes, time), the kernel's receive time: the fake's own turn may
        come late on a busy machine."""
        return [(d["data"], d["ktime"]) for d in self.io[k].datagrams()]

    def all_plays(self):
        """(player, time) of every play datagram, in time order."""
        out = [(k, t) for k in (0, 1) for d, t in self.plays(k)]
        return sorted(out, key=lambda x: x[1])

    def wait_plays(self, n, timeout):
        return wait_for(lambda: len(self.all_plays()) >= n, timeout)
