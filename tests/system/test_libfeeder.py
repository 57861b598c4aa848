"""MivraBoxLibFeeder against the daemon, file-transfer and library fakes: absent media are found
on the remote storage, requested once they stopped changing, and listed when not found."""

import os
import unittest

from helpers.libtools_case import ServiceCase, closed_port, wait_for  # puts the fakes on the path
from box_fake import BoxFake
from fake_base import I8, FakeService
from ft_fake import FileTransfer
from lib_fake import MediaLibrary

ABSENT = 128


def line(media):
    return "\t".join(["10:00:00:00", " ", "", "", "00:00:10:00", "C", media] + [""] * 8)


class FeederTest(ServiceCase):
    PROGRAM = "MivraBoxLibFeeder"

    def setUp(self):
        super().setUp()
        self.ft = FileTransfer()
        self.lib = MediaLibrary()
        self.ftsvc = FakeService([self.ft, self.lib]).start()
        self.addCleanup(self.ftsvc.stop)
        self.box = BoxFake()
        self.boxsvc = FakeService([self.box]).start()
        self.addCleanup(self.boxsvc.stop)
        self.absent = os.path.join(self.dir, "absent.txt")

    def absent_media(self, *media):
        self.box.lines = [line(m) for m in media]
        self.box.flags = [ABSENT] * len(media)

    def start(self, *source):
        lines = ["--transfer=%s" % self.ftsvc.hostport,
                 "--box=127.0.0.1:%d" % closed_port(), "--bus=0",  # a daemon that is down
                 "--box=%s" % self.boxsvc.hostport, "--bus=2",
                 "--absent-list=%s" % self.absent, "--debug"]
        self.start_service(lines + list(source))

    def absent_text(self):
        try:
            with open(self.absent, "rb") as f:
                return f.read()
        except OSError:
            return None

    def adds(self):
        return [c["args"] for c in self.ftsvc.calls("MivraFileTransfer.RequestAdd")]

    def test_absent_media_is_requested_once_stable_and_listed_when_missing(self):
        with open(self.absent, "w") as f:
            f.write("stale\r\n")
        paths = os.path.join(self.dir, "paths.txt")
        with open(paths, "w") as f:
            f.write("/in\tfrom the paths file\r\n\n")
        self.ft.remote[("store", "/in/CLIP.mxf")] = {"time": 1700000000, "size": 5000}
        # Ids that would leave the library folder are refused, even when a file of that name
        # waits on the remote storage.
        self.ft.remote[("store", "/in/x2")] = {"time": 1700000000, "size": 7}
        self.ft.remote[("store", "/in/x3")] = {"time": 1700000000, "size": 7}
        refused = ["/etc/x2", "../up/x3"]
        self.absent_media("CLIP#", "GONE.mxf", "CLIP#", *refused)
        self.start("--src-probe", "--target=store", "--path=/nowhere", "--paths=%s" % paths,
                   "--ext=mxf", "--ext=")
        # The old list goes at start; the first cycle sees CLIP.mxf for the first time only.
        self.assertTrue(wait_for(lambda: self.absent_text() == b"CLIP#\r\nGONE.mxf\r\n"),
                        self.absent_text())
        self.assertEqual(self.adds(), [])
        self.assertTrue(wait_for(lambda: self.adds()), self.log_text()[-2000:])
        self.assertEqual(self.adds(), [["store", 1, 0, "CLIP.mxf", "/in/CLIP.mxf"]])
        self.assertTrue(wait_for(lambda: "CLIP.mxf" in self.lib.items))
        log = self.log_text()
        self.assertIn("watch_run: [0] r=-14", log)  # the daemon that is down adds nothing
        self.assertIn("watch_run: [1] r=4", log)
        self.assertIn("watch_run: merged list has 2 elements", log)
        self.assertIn("probe_cache_item=-2", log)
        self.assertIn("probe_source: loaded 1 pathes from external file [%s]" % paths, log)
        # Both candidates of CLIP# were probed in both paths, the candidates in their order.
        probes = [c["args"][1] for c in self.ftsvc.calls("MivraFileTransfer.ProbeRemote")]
        self.assertEqual(probes[:4], ["/nowhere/CLIP.mxf", "/in/CLIP.mxf", "/nowhere/CLIP",
                                      "/in/CLIP"])
        self.assertTrue(wait_for(
            lambda: "request 1, state 1, progress 50" in self.log_text()))
        self.stop_service()
        self.assertEqual(len(self.adds()), 1)
        # Never a probe path, and one log line each time the daemon reports such an id.
        probes = [c["args"][1] for c in self.ftsvc.calls("MivraFileTransfer.ProbeRemote")]
        self.assertEqual([p for p in probes if "/x2" in p or "/x3" in p], [])
        log = self.log_text()
        reports = log.count("watch_run: [1] r=4\n")
        self.assertGreater(reports, 0)
        for media in refused:
            self.assertEqual(log.count("media_id [%s] refused" % media), reports, media)

    def test_a_changing_file_is_not_requested(self):
        self.ft.remote[("store", "/in/LIVE.mxf")] = {"time": 1, "size": 1}
        self.absent_media("LIVE.mxf")
        self.start("--src-probe", "--target=store", "--path=/in")
        for size in (2, 3):
            n = len(self.ftsvc.calls("MivraFileTransfer.ProbeRemote"))
            self.assertTrue(wait_for(
                lambda: len(self.ftsvc.calls("MivraFileTransfer.ProbeRemote")) > n))
            with self.ft.lock:
                self.ft.remote[("store", "/in/LIVE.mxf")]["size"] = size
        self.assertTrue(wait_for(lambda: "probe_size=2 <> probe_size_prev=1" in self.log_text()))
        self.assertEqual(self.adds(), [])
        self.assertEqual(self.absent_text(), b"LIVE.mxf\r\n")
        self.stop_service()

    def test_deep_dive_finds_the_folder_holding_the_file(self):
        self.ft.mark_dirs = True
        self.ft.remote[("store", "/lib/CLIP.mxf")] = {"time": 5, "size": 5}
        self.ft.remote[("store", "/lib/deeper/x/OTHER.mxf")] = {"time": 5, "size": 5}
        self.absent_media("CLIP.mxf")
        self.start("--src-lib=127.0.0.1:1", "--src-probe", "--target=store", "--deep-dive=2",
                   "--basename-ext=.mov")
        self.assertTrue(wait_for(lambda: self.adds()), self.log_text()[-2000:])
        # The library names the local file from the second name it was given.
        self.assertEqual(self.adds(), [["store", 1, 0, "CLIP.mov", "/lib/CLIP.mxf"]])
        listed = [c["args"][1] for c in self.ftsvc.calls("MivraFileTransfer.ListRemote")]
        self.assertEqual(listed[:2], ["/", "/lib/"])
        self.assertNotIn("/lib/deeper/", listed)
        log = self.log_text()
        self.assertIn("watch_run: deep dive [1/2] added 2 pathes", log)
        # The folder without the file is passed over by its listing, never probed.
        probes = [c["args"][1] for c in self.ftsvc.calls("MivraFileTransfer.ProbeRemote")]
        self.assertEqual(set(probes), {"/lib/CLIP.mxf"})
        basenames = self.ftsvc.sigs("MivraLib.LibBasenameItem")
        self.assertEqual(basenames[0], 'MivraLib.LibBasenameItem(string:"CLIP.mxf",'
                                       'string:".mov")')
        self.stop_service()

    def test_no_request_without_a_local_name(self):
        self.ft.remote[("store", "/in/CLIP.mxf")] = {"time": 5, "size": 5}
        self.absent_media("CLIP.mxf")
        # A library that fails the lookup gives no local name to request the file under.
        self.ftsvc.script("MivraLib.LibBasenameItem", times=0,
                          reply={"result": -5, "value": "", "object": "",
                                 "cache_shm_id": I8(-1)})
        self.start("--src-probe", "--target=store", "--path=/in", "--basename-ext=.mov")
        self.assertTrue(wait_for(lambda: self.ftsvc.calls("MivraLib.LibBasenameItem")))
        self.assertTrue(wait_for(lambda: self.absent_text() == b"CLIP.mxf\r\n"))
        self.assertEqual(self.adds(), [])
        self.stop_service()

    def test_stalled_transfer_is_given_up_for_the_next_media(self):
        for name in ("STUCK.mxf", "NEXT.mxf"):
            self.ft.remote[("store", "/in/" + name)] = {"time": 5, "size": 5}
        self.ft.stuck.add(("store", "/in/STUCK.mxf"))  # stays at 0 % for ever
        self.absent_media("STUCK.mxf", "NEXT.mxf")
        self.start("--src-probe", "--target=store", "--path=/in", "--stall-timeout=2")
        self.assertTrue(wait_for(lambda: len(self.adds()) == 2, 40), self.log_text()[-2000:])
        self.assertEqual([a[3] for a in self.adds()], ["STUCK.mxf", "NEXT.mxf"])
        self.assertIn("watch_run: request 1 made no progress for 2 seconds, given up",
                      self.log_text())
        self.stop_service()

    def test_a_day_of_absent_media_and_ids_with_control_characters(self):
        media = ["M%05d.mxf" % i for i in range(20000)]
        self.absent_media(*(media[:10] + ["BAD\nID.mxf"] + media[10:]))
        self.start()
        want = "".join(m + "\r\n" for m in media).encode()
        self.assertTrue(wait_for(lambda: self.absent_text() == want, 180),
                        (self.absent_text() or b"")[-200:])
        log = self.log_text()
        self.assertIn("watch_run: [1] r=20001", log)
        self.assertIn("watch_run: [1] media_id [BAD\\x0aID.mxf] refused, it holds a control "
                      "character", log)
        self.stop_service()

    def test_help_and_bad_option(self):
        self.check_usage("    --stall-timeout=<SECONDS>              Give up a transfer without "
                         "progress for so long (600)")


if __name__ == "__main__":
    unittest.main()
