"""MivraBoxLibAdapter against the media library fake: real ffmpeg conforms clips made from lavfi
sources; a stand-in in ffmpeg's place shows the change-list rules, the replace and the stop."""

import os
import signal
import subprocess
import time
import unittest

from helpers.libtools_case import ServiceCase, wait_for  # puts the fakes on the path
from fake_base import I8, FakeService
from lib_fake import MediaLibrary

WANTED = ["--media-width=640", "--media-height=360", "--media-framerate-num=25",
          "--media-framerate-den=1"]
# Takes ffmpeg's place ("-i IN ... -y OUT"): notes its turn, writes OUT and ends when IN.go
# appears, with the exit status written in it.
GATE = r"""#!/bin/sh
in=$2
for a; do out=$a; done
echo "$0 $*"
echo "$in" >> "${in%/*}/order"
printf converted > "$out"
echo $$ > "$in.pid"
echo $PPID > "$in.ppid"
while [ ! -e "$in.go" ]; do sleep 0.02; done
exit "$(cat "$in.go")"
"""
SMALL = {"width": "320", "height": "240", "r_frame_rate": "30000/1001"}
FIT = {"width": "640", "height": "360", "r_frame_rate": "25/1"}


def read(path):
    with open(path) as f:
        return f.read()


def group_alive(pgid):
    """A process of the group that is not a zombie waiting for its reaper."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fields = read("/proc/%s/stat" % pid).rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            return True
    return False


class AdapterTest(ServiceCase):
    PROGRAM = "MivraBoxLibAdapter"

    def setUp(self):
        super().setUp()
        self.lib = MediaLibrary()
        self.libsvc = FakeService([self.lib]).start()
        self.addCleanup(self.libsvc.stop)
        self.gate = os.path.join(self.dir, "gate.sh")
        with open(self.gate, "w") as f:
            f.write(GATE)
        os.chmod(self.gate, 0o755)

    def tearDown(self):
        super().tearDown()
        for name in os.listdir(self.dir):  # no stand-in waits on
            if name.endswith(".pid"):
                self.release(os.path.join(self.dir, name[:-4]))

    def item(self, path, wire=None, clip=None):
        """A library item on a local file: a second of testsrc2 (clip "WxH:RATE") or a text."""
        local = os.path.join(self.dir, path.replace("/", "_"))
        if clip:
            size, rate = clip.split(":")
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc2=size=%s:rate=%s:duration=1" % (size, rate),
                            "-c:v", "mpeg4", "-f", "mp4", local], check=True, timeout=60)
        else:
            with open(local, "w") as f:
                f.write("orig " + path)
        self.lib.add_item(path, dict(wire or {}, file=local), publish=False)
        return local

    def amend(self, *entries):
        with self.lib.lock:
            for e in entries:
                self.lib.amend(e)

    def start(self, ffmpeg=None, args=("-f", "mp4")):
        self.start_service(["--lib=%s" % self.libsvc.hostport, "--path=media", "--path=news",
                            "--ffmpeg-path=%s" % (ffmpeg or self.gate)]
                           + ["--ffmpeg-arg=%s" % a for a in args] + WANTED)

    def started(self, local):
        """The stand-in's pid once it is running on local."""
        pid = wait_for(lambda: os.path.exists(local + ".pid") and read(local + ".pid").strip())
        self.assertTrue(pid, local)
        return int(pid)

    def release(self, local, status="0"):
        with open(local + ".go", "w") as f:
            f.write(status)

    def test_real_ffmpeg_conforms_what_differs_newest_first(self):
        cases = [("media/a.mp4", "640x360:25", False),         # path, clip, converted
                 ("media/b.mp4", "320x240:30000/1001", True),
                 ("media/c.mp4", "640x360:30000/1001", True),
                 ("media/sub/d.mp4", "320x240:25", False),     # sub-folders do not count
                 ("other/e.mp4", "320x240:25", False)]         # nor other folders
        files = {path: self.item(path, clip=clip) for path, clip, _ in cases}
        before = {path: os.stat(f) for path, f in files.items()}
        self.start("ffmpeg", ("-vf", "scale=640:360", "-r", "25", "-c:v", "mpeg4", "-f", "mp4"))
        # Two real conversions: on a busy machine each may take a minute.
        self.wait_log("converter: done, r=0", 2, 240)
        log = self.log_text()
        for path, _, converted in cases:
            local, after = files[path], os.stat(files[path])
            # The converter logs "done" before it puts the result in place.
            self.assertTrue(wait_for(lambda: not os.path.exists(local + ".tmp")), path)
            if converted:
                probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                                        "-show_entries", "stream=width,height,r_frame_rate",
                                        "-of", "csv=p=0", local], capture_output=True, text=True)
                self.assertEqual(probe.stdout.strip(), "640,360,25/1", path)
                self.assertIn("converter: executing [%s]->[%s.tmp]" % (local, local), log)
            else:
                self.assertEqual((after.st_ino, after.st_mtime_ns),
                                 (before[path].st_ino, before[path].st_mtime_ns), path)
        self.assertIn("is_to_convert: [media/b.mp4] 320x240@(num=30000/den=1001)", log)
        self.assertEqual(log.count("watch_run: enqeued ["), 2)
        # The scan queued b, then c: the newest goes first.
        self.assertLess(log.index("converter: item->full=[media/c.mp4]"),
                        log.index("converter: item->full=[media/b.mp4]"))
        self.assertEqual(self.libsvc.sigs("MivraLib.LibListItems")[1],
                         'MivraLib.LibListItems(string:"media",i4:1,i4:1)')
        self.amend("+media/b.mp4")  # the library announces the new file: it conforms
        self.wait_log("is_to_convert: [media/b.mp4] 640x360@(num=25/den=1)")
        self.stop_service()
        self.assertEqual(self.log_text().count("enqeued [media/b.mp4]"), 1)

    def test_changes_queue_drop_and_amend_index_rules(self):
        x = self.item("media/x", SMALL)
        self.amend("+media/old")  # before the first poll: only its index counts
        self.start()
        self.started(x)
        self.libsvc.wait_calls(2, which="MivraLib.LibState")
        with self.lib.lock:
            f = {p: self.item(p, w) for p, w in [("media/a", SMALL), ("media/b", SMALL),
                                                 ("media/c", SMALL), ("media/d", FIT),
                                                 ("media/sub/e", SMALL)]}
            self.amend("+media/a", "+media/b", "+media/c", "+media/c", "+media/d",
                       "+media/sub/e", "?junk")
        self.wait_log("watch_run: FAILED TO PARSE {?junk}")
        # A failed poll loses nothing: a later one still applies the change.
        self.libsvc.script("MivraLib.LibState", fault=[-501, "down"])
        self.amend("-media/b")
        self.wait_log("watch_run: dropped from queue [media/b]")
        for local in (x, f["media/a"], f["media/c"]):
            self.release(local)
        self.wait_log("converter: done, r=0", 3)
        self.stop_service()
        log = self.log_text()
        self.assertEqual(read(os.path.join(self.dir, "order")).split(),
                         [x, f["media/c"], f["media/a"]])
        self.assertNotIn("{+media/old}", log)
        self.assertIn("watch_run: already enqeued [media/c] at 2", log)
        self.assertIn("watch_run: mivra_lib_state failed, r=-14", log)
        self.assertIn("is_to_convert: [media/d] 640x360@(num=25/den=1)", log)
        for path in ("media/d", "media/sub/e"):
            self.assertNotIn("enqeued [%s]" % path, log)
        applied = [log.index("watch_run: {%s}" % e) for e in ("+media/a", "+media/sub/e", "?junk")]
        self.assertEqual(applied, sorted(applied))
        self.assertIn("MivraLib.LibState(i4:64)", self.libsvc.sigs("MivraLib.LibState"))
        # ffmpeg's output files go with a good conversion.
        self.assertFalse(os.path.exists(x + ".std") or os.path.exists(x + ".err"))

    def test_replace_only_over_the_unchanged_media(self):
        # In the order converted (newest first): name, exit status, the test's doing meanwhile,
        # content after (None: no file), result.
        cases = [("t", "0", None, "converted", 0),
                 ("s", "3", None, "orig media/s", -40000),
                 ("r", "0", "change", "changed", 0),
                 ("q", "0", "delete", None, 0)]
        local = {n: self.item("media/" + n, SMALL) for n, *_ in reversed(cases)}
        self.start()
        for i, (name, status, action, content, result) in enumerate(cases):
            f = local[name]
            self.started(f)
            tmp_ino = os.stat(f + ".tmp").st_ino
            if action == "change":
                with open(f, "w") as out:
                    out.write("changed")
            elif action == "delete":
                os.unlink(f)
            self.release(f, status)
            self.wait_log("converter: done, r=", i + 1)
            log = self.log_text().split("executing [%s]" % f)[1]
            self.assertIn("converter: done, r=%d" % result, log, name)
            self.assertEqual(action is not None, "[%s] changed or removed" % f in log, name)
            self.assertTrue(wait_for(lambda: not os.path.exists(f + ".tmp")), name)
            self.assertEqual(read(f) if os.path.exists(f) else None, content, name)
            if content == "converted":  # the result itself took the media's place
                self.assertEqual(os.stat(f).st_ino, tmp_ino)
            # ffmpeg's words are kept for a failed conversion only.
            self.assertEqual(os.path.exists(f + ".std"), status != "0", name)
        s = local["s"]
        self.assertEqual(read(s + ".std"), "%s -i %s -f mp4 -y %s.tmp\n" % (self.gate, s, s))
        self.stop_service()

    def test_names_the_converter_never_takes_when_detached(self):
        # Its own outputs, by the scan or a '+' entry, are never queued; local names that are
        # empty, an option or its own output are refused; a relative one is found in the folder
        # it started in, though detaching left it.
        own = ["media/x.mov.tmp", "media/x.mov.std", "media/y.mov.err"]
        cases = [("media/dash", "-dash.mov", "begins with '-'"), ("media/empty", "x", "empty"),
                 ("media/own", "o.mov.err", "names an output of the converter")]
        for path, name in [(p, "x") for p in own[:2]] + [c[:2] for c in cases] + [("media/rel",
                                                                                     "rel.mov")]:
            self.lib.add_item(path, dict(SMALL, file=name), publish=False)
        self.libsvc.script("MivraLib.LibBasenameItem", args=["media/empty"], times=0,
                           reply={"result": 0, "value": "", "object": "", "cache_shm_id": I8(1)})
        rel = os.path.join(self.dir, "rel.mov")
        with open(rel, "w") as f:
            f.write("orig")
        self.release(rel)  # before it starts: the stand-in ends at once
        self.start_service(["--lib=%s" % self.libsvc.hostport, "--path=media", "--demonize",
                            "--ffmpeg-path=%s" % self.gate] + WANTED)
        self.assertEqual(self.proc.wait(10), 0)
        # The newest item goes first: rel, whose stand-in names the detached adapter.
        pid = int(wait_for(lambda: os.path.exists(rel + ".ppid") and read(rel + ".ppid")))
        self.addCleanup(lambda: group_alive(pid) and os.kill(pid, signal.SIGKILL))
        with self.lib.lock:
            self.lib.add_item(own[2], dict(SMALL, file="x"))
        self.wait_log("refused: ", 3)
        self.wait_log("y.mov.err] is an output of the converter, ignored")
        os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not group_alive(pid), 15))
        log = self.log_text()
        self.assertTrue(log.rstrip().endswith("Bye!"))
        self.assertEqual(read(os.path.join(self.dir, "order")).split(), [rel])
        self.assertEqual(read(rel), "converted")
        self.assertEqual(log.count("watch_run: enqeued ["), 4)
        for path, name, why in cases:
            self.assertIn("converter: local name [%s] of [%s] refused: %s"
                          % ("" if why == "empty" else name, path, why), log)

    def test_real_ffmpeg_result_is_not_converted_again(self):
        # The library keeps the old picture size in its metadata after the result replaced it.
        b = self.item("media/b.mp4", SMALL, clip="320x240:25")
        self.start("ffmpeg", ("-vf", "scale=640:360", "-r", "25", "-c:v", "mpeg4", "-f", "mp4"))
        self.wait_log("converter: done, r=0")
        for n in (2, 3):  # reported changed twice: skipped, and said once
            self.amend("+media/b.mp4")
            self.wait_log("converter: item->full=[media/b.mp4]", n)
        # A new file in its place is a new media again.
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=160x120:rate=25:duration=1", "-c:v", "mpeg4", b],
                       check=True, timeout=60)
        self.amend("+media/b.mp4")
        self.wait_log("converter: done, r=0", 2)
        self.stop_service()
        log = self.log_text()
        self.assertEqual(log.count("converter: executing [%s]" % b), 2)
        self.assertEqual(log.count("[%s] is the converter's own result and still differs" % b), 1)

    def test_index_reset_or_jump_rescans_once_per_path(self):
        self.amend("+media/gone", "+media/gone2")
        self.start()
        self.libsvc.wait_calls(1, which="MivraLib.LibListItems")
        self.assertEqual(self.libsvc.calls("MivraLib.")[0]["method"], "MivraLib.LibState")
        with self.lib.lock:  # a restarted library counts anew: n came meanwhile, in no list
            self.lib.amends, self.lib.amend_idx = [], 1
            n = self.item("media/n", SMALL)
        self.wait_log("watch_run: change index went down from 2 to 1, rescanning")
        self.started(n)
        with self.lib.lock:  # more changes than the list holds; n is taken, not queued again
            j = self.item("media/j", SMALL)
            self.lib.amend_idx += 100
        self.wait_log("watch_run: change index jumped from 1 to 101, past the 0 changes listed")
        self.wait_log("watch_run: being converted [media/n]")
        self.release(n)
        self.release(j)
        self.wait_log("converter: done, r=0", 2)
        self.stop_service()
        for path in ("media/n", "media/j"):
            self.assertEqual(self.log_text().count("watch_run: enqeued [%s]" % path), 1, path)

    def test_library_ignoring_offsets_ends_the_scan(self):
        self.lib.ignore_offset = True
        for path, wire in [("media/a", SMALL), ("media/b", SMALL), ("news/c", FIT)]:
            self.item(path, wire)
        self.start()
        self.wait_log("watch_run: listing of [news] ended at offset 1: the library answered the "
                      "same page again")
        calls = self.libsvc.calls("MivraLib.LibListItems")
        self.assertEqual([c["args"] for c in calls],
                         [["media", 0, 1], ["media", 1, 1], ["news", 0, 1], ["news", 1, 1]])
        self.assertLess(calls[-1]["mono"] - calls[0]["mono"], 1.0)
        self.stop_service()
        self.assertEqual(self.log_text().count("watch_run: enqeued ["), 1)

    def test_stop_ends_the_running_conversion(self):
        z = self.item("media/z", SMALL)
        with open(self.gate, "w") as f:  # a wrapper that waits on what it started
            f.write('#!/bin/sh\necho $$ > "$2.pid"\nsleep 60\n')
        self.start()
        pid = self.started(z)
        self.assertEqual(int(read("/proc/%d/stat" % pid).rpartition(")")[2].split()[16]), 19)
        t0 = time.monotonic()
        self.stop_service()
        self.assertLess(time.monotonic() - t0, 2.0)
        self.assertTrue(wait_for(lambda: not group_alive(pid), 2.0))
        self.assertIn("converter: done, r=-30000", self.log_text())
        self.assertEqual(read(z), "orig media/z")
        self.assertFalse(os.path.exists(z + ".tmp"))
        self.check_usage("--media-framerate-den=<INT>            Framerate den of media to correct")


if __name__ == "__main__":
    unittest.main()
