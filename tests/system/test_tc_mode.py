"""Every program takes the timecode mode from TC_MODE at start-up: one table per program family.
The value 50 doubles the frame counts that follow the mode; a format that fixes its own rate keeps
it; the programs that log say "tc_setmode return" in their log."""

import os
import signal
import subprocess
import tempfile
import unittest

from helpers.reader_case import BUILD, reader_binary
from test_abcvsreader import HEADER as ABCVS_HEADER, ROW as ABCVS_ROW
from helpers.box2_util import free_port, wait_for
from test_bxfreader import EVENT as BXF_EVENT, message as bxf_message
from test_chyroreader import SCHEDULE as CHYRO_SCHEDULE, playlist as chyro_playlist
from test_epgreader import GUIDE as EPG_GUIDE
from test_landscapereader import line as landscape_line
from test_sgtreader import envelope as sgt_envelope
from test_stl_fs import fuse_usable

# A clip with a secondary event 1 s in, 2 s and 12 frames long, both written as frame counts.
SGT = sgt_envelope(
    '<Lines Date="2024-03-01T06:30:00.480" StartType="Clock" Duration="00:00:30.000">'
    '<IdControlProtocol TcIn="10:00:00:00" TcOut="10:00:30:00" Idcp="CLIP1"/>'
    "<Title>T</Title><EventId>42</EventId>"
    '<SecondaryEvents Type="BLEU" OffsetIn="00:00:01:00" Duration="00:00:02:12"/></Lines>')
# Chyro counts frames: without a timescale in the document the process mode reads them.
CHYRO_OWN_RATE = chyro_playlist(CHYRO_SCHEDULE % 1709251200)
CHYRO_NO_RATE = CHYRO_OWN_RATE.replace(' timescale="25"', "")

# program, files written, arguments, output file (None: standard output), texts expected in the
# output with TC_MODE=pal, and with TC_MODE=50.
READERS = [
    ("sgtreader", {"in.xml": SGT}, ["in.xml"], None,
     ["in@KORVELTV_BLEU#0\\t25\\ndur@KORVELTV_BLEU#0\\t62"],
     ["in@KORVELTV_BLEU#0\\t50\\ndur@KORVELTV_BLEU#0\\t112"]),
    ("chyroreader", {"in.xml": CHYRO_NO_RATE}, ["in.xml"], None,
     ["\t00:00:10:00\t00:00:39:24\t00:00:30:00\t"], ["\t00:00:05:00\t00:00:19:49\t00:00:15:00\t"]),
    # The formats that fix their own rate keep it, whatever the environment says.
    ("chyroreader", {"in.xml": CHYRO_OWN_RATE}, ["in.xml"], None,
     ["\t00:00:10:00\t00:00:39:24\t00:00:30:00\t"], ["\t00:00:10:00\t00:00:39:24\t00:00:30:00\t"]),
    ("landscapereader",
     {"in.scx": landscape_line() + "\n", "types.txt": "C 2000000000000000 /media/clips\n",
      "layers.txt": "1 2 LOGO\n"},
     ["in.scx", "out.ply", "types.txt", "layers.txt"], "out.ply",
     ["06:30:00:00\tF\t10:00:00:00\t\t01:30:30:00\t"],
     ["06:30:00:00\tF\t10:00:00:00\t\t01:30:30:00\t"]),
    ("abcvsreader", {"in.cvs": ABCVS_HEADER + "\r\n" + ABCVS_ROW + "\r\n"}, ["in.cvs", "out.ply"],
     "out.ply", ["06:30:00:12\tM\t10:00:00:00\t\t00:10:00:00\t"],
     ["06:30:00:12\tM\t10:00:00:00\t\t00:10:00:00\t"]),
    # Texts that these formats carry through unchanged.
    ("epgreader", {"epg.xml": EPG_GUIDE}, ["epg.xml"], None,
     ["20:45:00:00\tF\t00:00:00:00\t01:30:00:00\t01:30:00:00\t"],
     ["20:45:00:00\tF\t00:00:00:00\t01:30:00:00\t01:30:00:00\t"]),
    ("bxfreader", {"in.xml": bxf_message(BXF_EVENT % ("News", "2024-03-01"))}, ["in.xml"], None,
     ["10:00:00:00\tF\t\t\t00:30:00:00\t"], ["10:00:00:00\tF\t\t\t00:30:00:00\t"]),
]

WRITERS_BIN = os.path.join(BUILD, "src", "converters", "writers")
PLAYLIST = "10:00:00:00\tF\t00:00:01:00\t00:00:11:00\t00:00:10:00\tC\tclip1\tTitle\t\t\t\t\t\t\t\n"
# program, arguments before the playlist, standard error's first line and a text of the output,
# with TC_MODE=50. The AB CVS writers always count 50 frames a second and report no rate.
WRITERS = [
    ("sgtwriter", [], "r=1, timescale=[50]", 'TCIn="00:00:01:00"'),
    ("sgtwriter2", [], "r=1, timescale=[50]", 'Duration="00:00:10:00"'),
    ("chyrowriter", [], "r=1, timescale=[50]", 'tcin="50" tcout="550" duration="500"'),
    ("abcvswriter2", [], "filename [2024-03-05] parsed as [2024-03-05]", ";00:00:10:00;16:9;"),
    ("abcvswriter", ["CH"], "filename [2024-03-05] parsed as [2024-03-05]", 'Stop="00:00:11:00"'),
]


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="tcmode-")
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def sub(self, name):
        return tempfile.mkdtemp(prefix=name + "-", dir=self.dir)

    def write(self, folder, files):
        for name, text in files.items():
            with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
                f.write(text)

    def env(self, mode):
        return dict(os.environ, TZ="UTC", TC_MODE=mode)


class Converters(Case):
    def test_reader_programs(self):
        for prog, files, args, out, want_pal, want_50 in READERS:
            for mode, want in (("pal", want_pal), ("50", want_50)):
                with self.subTest(prog=prog, mode=mode, files=sorted(files)):
                    d = self.sub(prog)
                    self.write(d, files)
                    r = subprocess.run([reader_binary(prog), *args], cwd=d, capture_output=True,
                                       text=True, timeout=30, env=self.env(mode))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    text = read(os.path.join(d, out)) if out else r.stdout
                    for w in want:
                        self.assertIn(w, text)
                    # The converters have no log: nothing about the mode on standard error.
                    self.assertNotIn("tc_setmode", r.stderr)

    def test_writer_programs(self):
        for prog, before, first, body in WRITERS:
            with self.subTest(prog=prog):
                d = self.sub(prog)
                self.write(d, {"2024-03-05.ply": PLAYLIST})
                r = subprocess.run([os.path.join(WRITERS_BIN, prog), *before, "2024-03-05.ply"],
                                   cwd=d, capture_output=True, text=True, timeout=30,
                                   env=self.env("50"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr.split("\n")[0], first)
                self.assertIn(body, r.stdout)


class Service:
    """One long-running program started in its own folder with TC_MODE=50."""

    def __init__(self, case, name, binary, lines, ready):
        self.dir = case.sub(name)
        self.log = os.path.join(self.dir, name + ".log")
        self.mount = None  # a file system's mount point, set by its options
        opts = os.path.join(self.dir, name + ".opts")
        with open(opts, "w") as f:
            f.write("\n".join(lines(self) + ["--log-file-name=%s" % self.log]) + "\n")
        self.err = open(os.path.join(self.dir, "stderr.txt"), "wb")
        case.addCleanup(self.err.close)
        self.proc = subprocess.Popen([binary, opts], cwd=self.dir, env=case.env("50"),
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        case.addCleanup(self.kill)
        self.ready = wait_for(lambda: ready in read(self.log) or self.proc.poll() is not None,
                              timeout=20)

    def path(self, name):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def stop(self):
        if self.mount:
            subprocess.run(["fusermount", "-u", self.mount], timeout=10, check=False)
        else:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(20)

    def kill(self):
        if self.proc.poll() is None:
            if self.mount:
                subprocess.run(["fusermount", "-uz", self.mount], timeout=10, check=False)
            self.proc.kill()
            self.proc.wait()


def plyconv_lines(s):
    with open(os.path.join(s.path("src"), "day.xml"), "w", encoding="utf-8") as f:
        f.write(SGT)
    return ["--sgt", "--src=%s" % s.path("src"), "--dst=%s" % s.path("dst"),
            "--error=%s" % s.path("err")]


def plyconv_output(s):
    names = os.listdir(os.path.join(s.dir, "dst"))
    return read(os.path.join(s.dir, "dst", names[0])) if names else ""


def stl_lines(s):
    s.mount = s.path("mnt")
    return ["--nodemonize", "--src=%s" % s.path("src"), "--dst=%s" % s.mount]


def closed_port():
    return "127.0.0.1:%d" % free_port()


# program, binary, options, the log text that shows it running, and whether it lowers itself to
# nice 19 (the others keep the nice value they were started with).
SERVICES = [
    ("MivraBoxPlyConv", os.path.join(BUILD, "src", "plyconv", "MivraBoxPlyConv"), plyconv_lines,
     "ply_conv_sgt: [day.xml]=>", True),
    ("MivraBoxLibFeeder", os.path.join(BUILD, "src", "libtools", "MivraBoxLibFeeder"),
     lambda s: [], "watch_run: Sleeping...", True),
    ("MivraBoxLibCleaner", os.path.join(BUILD, "src", "libtools", "MivraBoxLibCleaner"),
     lambda s: ["--lib=%s" % closed_port(), "--sleep-interval=60"], "will sleep for 60", False),
    ("MivraBox2", os.path.join(BUILD, "src", "box2", "MivraBox2"),
     lambda s: ["--port=%d" % free_port()], "main: starting control...", False),
    ("MivraBoxSTL", os.path.join(BUILD, "src", "fs", "stl", "MivraBoxSTL"), stl_lines,
     "MivraBoxSTL-", False),
]


class Services(Case):
    def test_services_log_the_mode_and_keep_their_priority(self):
        own_nice = os.getpriority(os.PRIO_PROCESS, 0)
        for name, binary, lines, ready, lowered in SERVICES:
            with self.subTest(prog=name):
                if name == "MivraBoxSTL" and fuse_usable():
                    self.skipTest(fuse_usable())
                s = Service(self, name, binary, lines, ready)
                self.assertTrue(s.ready, read(s.log)[-2000:])
                self.assertEqual(os.getpriority(os.PRIO_PROCESS, s.proc.pid),
                                 19 if lowered else own_nice)
                # The cleaner's pass could not reach its library: a failure, also when stopped.
                self.assertEqual(s.stop(), 1 if name == "MivraBoxLibCleaner" else 0)
                log = read(s.log)
                self.assertEqual(log.count("tc_setmode return 0\n"), 1, log[:2000])
                if name == "MivraBoxPlyConv":
                    out = plyconv_output(s)
                    self.assertIn("in@BLEU#0\\t50\\ndur@BLEU#0\\t112", out)


if __name__ == "__main__":
    unittest.main()
