"""The library services against a media library that lies: dates it cannot have, names that
would split lines, local names that lead out of the library's root, and a flood of new items."""

import os
import tempfile
import time
import unittest

from helpers.libtools_case import ServiceCase, wait_for  # puts the fakes on the path
from box_fake import BoxFake
from fake_base import I8, FakeService
from ft_fake import FileTransfer
from lib_fake import MediaLibrary

DAY = 86400
BIG = 2 ** 63 - 1
SMALL = {"width": "320", "height": "240", "r_frame_rate": "30000/1001"}
WANTED = ["--media-width=640", "--media-height=360"]
# Takes ffmpeg's place ("-i IN ... -y OUT"): notes IN, talks on both outputs, writes OUT.
STAND_IN = r"""#!/bin/sh
for a; do out=$a; done
echo "$2" >> "${0%/*}/calls"
echo "$0 $*"
echo "frame=1" >&2
printf converted > "$out"
"""


def read(path):
    with open(path) as f:
        return f.read()


class CleanerDatesTest(ServiceCase):
    PROGRAM = "MivraBoxLibCleaner"

    def test_undated_and_badly_named_items_are_never_deleted(self):
        lib = MediaLibrary()
        lib.cue_query = True
        libsvc = FakeService([lib]).start()
        self.addCleanup(libsvc.stop)
        box = BoxFake()
        boxsvc = FakeService([box]).start()
        self.addCleanup(boxsvc.stop)
        lists = os.path.join(self.dir, "lists")
        os.mkdir(lists)
        canary = os.path.join(self.dir, "canary.mxf")
        with open(canary, "w") as f:
            f.write("canary")
        now = int(time.time())
        lib.total_space = 1000
        # path, wire members, (played count, last cue date), the reason logged
        cases = [("media/future.mxf", {"mtime": now + 30 * DAY}, None, "dated in the future"),
                 ("media/huge.mxf", {"st_mtime": I8(BIG), "st_ctime": I8(BIG), "file": canary},
                  None, "dated in the future"),
                 ("media/near.mxf", {"st_mtime": I8(BIG - DAY), "st_ctime": I8(0)}, None,
                  "dated in the future"),
                 ("media/none.mxf", {"omit": ["st_mtime", "st_ctime"]}, None, "no date"),
                 ("media/zero.mxf", {"mtime": 0}, None, "no date"),
                 ("media/cued.mxf", {"mtime": now - 900 * DAY}, (3, BIG - 5),
                  "dated in the future"),
                 ("media/cued0.mxf", {"mtime": now - 900 * DAY}, (3, 0), "no date")]
        for path, wire, cue, _ in cases:
            lib.add_item(path, dict(wire, size=100), publish=False)
            if cue:
                lib.cues[path], lib.cue_dates[path] = cue
        lib.add_item("media/nl\nforged.mxf", {"mtime": now - 900 * DAY, "size": 100},
                     publish=False)
        self.start_service(["--lib=%s" % libsvc.hostport, "--path=media", "--confirm-delete",
                            "--lib-usage-limit=10", "--lists-folder=%s" % lists,
                            "--box=%s" % boxsvc.hostport, "--bus=0"])
        self.assertEqual(self.proc.wait(30), 0)
        log = self.log_text()
        self.assertEqual(libsvc.calls("MivraLib.LibDeleteItem"), [])
        self.assertEqual(os.listdir(lists), [])
        self.assertEqual(read(canary), "canary")
        for path, _, _, why in cases:
            self.assertEqual(log.count("cleaner_run: UNDATED [%s], %s: kept" % (path, why)), 1,
                             "%s: %s" % (path, [l for l in log.splitlines() if path in l]))
        self.assertIn("cleaner_run: REFUSED [media/nl\\x0aforged.mxf]: name holds a control "
                      "character", log)
        self.assertNotIn("\nforged", log)


class LocalNamesTest(ServiceCase):
    """Local names that lead out of the folder the service was started in: absolute, through
    "..", through a linked folder and as a link themselves."""

    PROGRAM = "MivraBoxLibAdapter"

    def setUp(self):
        super().setUp()
        out = tempfile.TemporaryDirectory(prefix="elsewhere-")
        self.addCleanup(out.cleanup)
        self.out = out.name
        self.victims = {}
        for n in range(4):
            v = os.path.join(self.out, "victim%d.mxf" % n)
            with open(v, "w") as f:
                f.write("victim")
            self.victims[v] = os.stat(v).st_mtime_ns
        os.symlink(self.out, os.path.join(self.dir, "lnk"))
        os.symlink(os.path.join(self.out, "victim3.mxf"), os.path.join(self.dir, "leaf.mxf"))
        self.hostile = [os.path.join(self.out, "victim0.mxf"),
                        os.path.relpath(os.path.join(self.out, "victim1.mxf"), self.dir),
                        "lnk/victim2.mxf", "leaf.mxf"]
        self.lib = MediaLibrary()

    def untouched(self):
        self.assertEqual(sorted(os.listdir(self.out)), sorted(map(os.path.basename, self.victims)))
        for v, mtime in self.victims.items():
            self.assertEqual((read(v), os.stat(v).st_mtime_ns), ("victim", mtime), v)

    def test_adapter_converts_only_below_its_root(self):
        stand_in = os.path.join(self.dir, "ffmpeg.sh")
        with open(stand_in, "w") as f:
            f.write(STAND_IN)
        os.chmod(stand_in, 0o755)
        good = os.path.join(self.dir, "good.mxf")
        with open(good, "w") as f:
            f.write("orig")
        self.lib.add_item("media/good", dict(SMALL, file=good), publish=False)
        for k, name in enumerate(self.hostile):
            self.lib.add_item("media/h%d" % k, dict(SMALL, file=name), publish=False)
        libsvc = FakeService([self.lib]).start()
        self.addCleanup(libsvc.stop)
        self.start_service(["--lib=%s" % libsvc.hostport, "--path=media",
                            "--ffmpeg-path=%s" % stand_in, "--ffmpeg-arg=-f",
                            "--ffmpeg-arg=mp4"] + WANTED)
        self.wait_log("converter: done, r=0")
        self.wait_log("refused: ", 4)
        self.stop_service()
        log = self.log_text()
        self.assertEqual(read(os.path.join(self.dir, "calls")).split(), [good])
        self.assertEqual(read(good), "converted")
        self.assertFalse(os.path.exists(good + ".std") or os.path.exists(good + ".err"))
        for k, (name, why) in enumerate(zip(self.hostile, [
                "outside the configured folders", "outside the configured folders",
                "outside the configured folders", "it is a symbolic link"])):
            self.assertIn("converter: local name [%s] of [media/h%d] refused: %s"
                          % (name, k, why), log)
        self.untouched()

    def test_feeder_requests_only_below_its_root(self):
        ft = FileTransfer()
        ftsvc = FakeService([ft, self.lib]).start()
        self.addCleanup(ftsvc.stop)
        box = BoxFake()
        boxsvc = FakeService([box]).start()
        self.addCleanup(boxsvc.stop)
        media = ["H%d.mxf" % k for k in range(len(self.hostile))] + ["GOOD.mxf"]
        box.lines = ["\t".join(["10:00:00:00", " ", "", "", "00:00:10:00", "C", m] + [""] * 8)
                     for m in media]
        box.flags = [128] * len(media)
        for m in media:
            ft.remote[("store", "/in/" + m)] = {"time": 5, "size": 5}
        for m, name in zip(media, self.hostile):
            ftsvc.script("MivraLib.LibBasenameItem", args=[m], times=0,
                         reply={"result": -2, "value": name, "object": "",
                                "cache_shm_id": I8(-1)})
        self.PROGRAM = "MivraBoxLibFeeder"
        self.start_service(["--transfer=%s" % ftsvc.hostport, "--box=%s" % boxsvc.hostport,
                            "--bus=0", "--src-probe", "--target=store", "--path=/in",
                            "--basename-ext=.mov"])
        self.assertTrue(wait_for(lambda: ftsvc.calls("MivraFileTransfer.RequestAdd"), 40),
                        self.log_text()[-3000:])
        self.stop_service()
        adds = [c["args"] for c in ftsvc.calls("MivraFileTransfer.RequestAdd")]
        self.assertEqual(adds, [["store", 1, 0, "GOOD.mov", "/in/GOOD.mxf"]])
        log = self.log_text()
        for m, name in zip(media, self.hostile):
            self.assertIn("probe_source: local name [%s] of [%s] refused: " % (name, m), log)
        self.untouched()


class AdapterFloodTest(ServiceCase):
    PROGRAM = "MivraBoxLibAdapter"

    def test_flood_of_new_items_keeps_the_queue_bounded(self):
        lib = MediaLibrary()
        libsvc = FakeService([lib]).start()
        self.addCleanup(libsvc.stop)
        stand_in = os.path.join(self.dir, "ffmpeg.sh")
        with open(stand_in, "w") as f:
            f.write(STAND_IN.replace("printf", "sleep 0.05; printf"))
        os.chmod(stand_in, 0o755)
        self.start_service(["--lib=%s" % libsvc.hostport, "--path=media", "--queue-max=8",
                            "--ffmpeg-path=%s" % stand_in] + WANTED)
        self.assertTrue(wait_for(lambda: libsvc.calls("MivraLib.LibState")))
        total = 130
        files = []
        for k in range(total):  # 64 new items a poll, as fast as the library can say them
            local = os.path.join(self.dir, "n%03d.mxf" % k)
            with open(local, "w") as f:
                f.write("orig")
            files.append(local)
            with lib.lock:
                lib.add_item("media/n%03d" % k, dict(SMALL, file=local), publish=False)
                lib.amend("+media/n%03d" % k)
            if k % 64 == 63:
                time.sleep(1)
        pid = self.proc.pid
        rss = []

        def converted():
            with open("/proc/%d/status" % pid) as f:
                rss.extend(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
            return all(read(f) == "converted" for f in files)

        self.assertTrue(wait_for(converted, 120), self.log_text()[-3000:])
        self.stop_service()
        log = self.log_text()
        waiting = peak = 0  # items queued and not yet taken by the converter
        for l in log.splitlines():
            waiting += ("watch_run: enqeued [" in l) - ("converter: item->full=" in l)
            peak = max(peak, waiting)
        # The converter logs the item it took only after letting the queue go, so the log may
        # show one more than the queue ever held; unbounded, it would reach the whole flood.
        self.assertLessEqual(peak, 8 + 1)
        if not os.environ.get("MIVRA_SANITIZER_LOGS"):  # the sanitizer keeps freed memory
            self.assertLess(max(rss) - min(rss), 20000)  # kB
        for f in files:
            self.assertEqual(read(f), "converted", f)
            self.assertFalse(os.path.exists(f + ".std") or os.path.exists(f + ".err"), f)
        self.assertEqual(read(os.path.join(self.dir, "calls")).split().count(files[0]), 1)


if __name__ == "__main__":
    unittest.main()
