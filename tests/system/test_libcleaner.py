"""MivraBoxLibCleaner against the media library and daemon fakes: what it spares, what it deletes
and in which order, the deletion lists, and its end after one pass or on a signal."""

import os
import time
import unittest

from harness import scaled
from helpers.libtools_case import ServiceCase, closed_port, wait_for  # puts the fakes on the path
from box_fake import BoxFake
from fake_base import FakeService
from lib_fake import MediaLibrary

DAY = 86400


class CleanerTest(ServiceCase):
    PROGRAM = "MivraBoxLibCleaner"

    def setUp(self):
        super().setUp()
        self.lib = MediaLibrary()
        self.lib.cue_query = True  # the cleaner only asks; nothing is cued
        self.libsvc = FakeService([self.lib]).start()
        self.addCleanup(self.libsvc.stop)
        self.box = BoxFake()
        self.boxsvc = FakeService([self.box]).start()
        self.addCleanup(self.boxsvc.stop)
        self.lists = os.path.join(self.dir, "lists")
        os.mkdir(self.lists)
        self.now = int(time.time())

    def add(self, path, age_days, size=100, duration=30.0):
        self.lib.add_item(path, {"mtime": self.now - int(age_days * DAY), "size": size,
                                 "duration": duration}, publish=False)

    def played(self, path, count, days_ago):
        self.lib.cues[path] = count
        self.lib.cue_dates[path] = self.now - int(days_ago * DAY)

    def start(self, *extra, box=True):
        lines = ["--lib=%s" % self.libsvc.hostport, "--path=media",
                 "--lists-folder=%s" % self.lists]
        if box:
            lines += ["--box=%s" % self.boxsvc.hostport, "--bus=1"]
        self.start_service(lines + list(extra))

    def finish(self, timeout=30):
        rc = self.proc.wait(timeout)
        self.assertIn("Bye!", self.log_text())
        return rc

    def deletes(self):
        return [c["args"][0] for c in self.libsvc.calls("MivraLib.LibDeleteItem")]

    def list_files(self):
        return sorted(os.listdir(self.lists))

    def stock(self):
        """Seven items of 100 in a space of 1000 (70 %); three of them are candidates."""
        self.lib.total_space = 1000
        self.add("media/a.mxf", 100)        # idle, 100 days
        self.add("media/b.mxf", 1000)       # file old, but played 40 days ago
        self.played("media/b.mxf", 2, 40)
        self.add("media/c.mxf", 1000)       # played 5 days ago
        self.played("media/c.mxf", 7, 5)
        self.add("media/d.mxf", 10)         # idle, 10 days
        self.add("media/e.mxf", 500)        # held by the daemon
        self.add("media/g.mxf", 200)        # idle, 200 days
        self.add("other/f.mxf", 900)        # a folder not configured
        self.box.lib_lists[2] = [{"origin": "media/e.mxf", "object": "e", "ref": 1}]

    def test_deletes_oldest_first_until_below_the_limit(self):
        self.stock()
        self.start("--lib-usage-limit=55", "--confirm-delete")
        self.assertEqual(self.finish(), 0)
        log = self.log_text()
        # 70 % and 60 % go on deleting; at 50 % the pass stops before b.
        self.assertEqual(self.deletes(), ["media/g.mxf", "media/a.mxf"])
        self.assertIn("cleaner_run: library usage is 70%", log)
        self.assertIn("cleaner_run: BUSY [media/e.mxf]", log)
        self.assertIn("cleaner_run: TOO FRESH [media/c.mxf]", log)
        self.assertIn("cleaner_run: IDLE IGNORED [media/d.mxf]", log)
        self.assertIn("cleaner_run: no more deleting, usage=50% < limit=55%", log)
        self.assertIn("was played 2 times", log)  # b reached the deleting loop
        self.assertIn("cleaner_run: mivrabox_lib_list(%s, 1, 2) read 1 items" % self.boxsvc.url,
                      log)
        self.assertEqual(self.boxsvc.sigs("MivraBox.LibList"), ["MivraBox.LibList(i4:1,i4:2)"])
        self.assertNotIn("other/f.mxf", log)
        self.assertIn("cleaner_run: -------------- finished  ---------------", log)
        # Cues are asked with 1 for every item no daemon holds.
        asked = [c["sig"] for c in self.libsvc.calls("MivraLib.LibRegisterCue")]
        self.assertIn('MivraLib.LibRegisterCue(string:"media/a.mxf",i4:1)', asked)
        self.assertNotIn('MivraLib.LibRegisterCue(string:"media/e.mxf",i4:1)', asked)
        files = self.list_files()
        self.assertEqual(len(files), 1)
        self.assertRegex(files[0], r"^\d+\.lst$")
        with open(os.path.join(self.lists, files[0])) as f:
            self.assertEqual(f.read(), "media/g.mxf\nmedia/a.mxf\n")

    def test_report_only_deletes_nothing_and_reads_every_page(self):
        self.stock()
        for i in range(205):
            self.add("media/z%03d.mxf" % i, 20, size=0)  # idle, too fresh
        self.start("--lib-usage-limit=55", "--minimal-duration=31")
        self.assertEqual(self.finish(), 0)
        log = self.log_text()
        self.assertEqual(self.deletes(), [])
        self.assertEqual(self.list_files(), [])
        offsets = [c["args"][1:] for c in self.libsvc.calls("MivraLib.LibListItems")]
        self.assertEqual(offsets, [[0, 200], [200, 200], [400, 200]])
        self.assertIn("cleaner_run: read 200 items, now 200 items", log)
        self.assertIn("cleaner_run: read 11 items, now 211 items", log)
        # Every old enough item is shorter than 31 s.
        self.assertIn("cleaner_run: TOO SHORT [media/g.mxf], (30.000000 < 31)", log)
        self.assertNotIn("DELETING", log)

    def test_report_only_logs_every_candidate(self):
        self.stock()
        self.start("--lib-usage-limit=10")
        self.assertEqual(self.finish(), 0)
        log = self.log_text()
        self.assertEqual(self.deletes(), [])
        deleting = [ln.split("DELETING ", 1)[1] for ln in log.splitlines() if "DELETING" in ln]
        self.assertEqual(len(deleting), 3)
        self.assertIn("[media/g.mxf] was played 0 times", deleting[0])
        self.assertIn("[media/a.mxf] was played 0 times", deleting[1])
        self.assertIn("[media/b.mxf] was played 2 times", deleting[2])
        when = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(self.now - 40 * DAY))
        self.assertTrue(deleting[2].startswith("[%s]" % when), deleting[2])

    def test_usage_limit_edges(self):
        self.lib.total_space = 1000
        self.add("media/a.mxf", 100, size=699)
        self.start("--lib-usage-limit=70")
        self.assertEqual(self.finish(), 0)
        self.assertIn("cleaner_run: library usage is 69% < 70%, exiting \n", self.log_text())
        self.assertEqual(self.libsvc.calls("MivraLib.LibListItems"), [])
        os.unlink(self.log)
        self.lib.add_item("media/a.mxf", {"mtime": self.now - 100 * DAY, "size": 700},
                          publish=False)
        self.start("--lib-usage-limit=70", "--confirm-delete")
        self.assertEqual(self.finish(), 0)
        self.assertEqual(self.deletes(), ["media/a.mxf"])

    def test_unreadable_usage_or_no_total_deletes_nothing(self):
        # A pass that could not judge the usage failed: exit 1, the reason in the log.
        self.stock()
        self.libsvc.script("MivraLib.LibDiskUsage", fault=[-501, "down"])
        self.start("--lib-usage-limit=10", "--confirm-delete")
        self.assertEqual(self.finish(), 1)
        self.assertIn("cleaner_run: mivra_lib_state(%s) failed with r=-14" % self.libsvc.url,
                      self.log_text())
        self.assertIn("down (-501)", self.log_text())
        self.lib.total_space = 0
        self.start("--lib-usage-limit=10", "--confirm-delete")
        self.assertEqual(self.finish(), 1)
        self.assertIn("library reports total space 0", self.log_text())
        self.assertEqual(self.libsvc.calls("MivraLib.LibListItems"), [])
        self.assertEqual(self.deletes(), [])

    def test_refused_deletion_stops_the_pass(self):
        self.stock()
        self.libsvc.script("MivraLib.LibDeleteItem", reply={"result": -13})
        self.start("--lib-usage-limit=10", "--confirm-delete")
        self.assertEqual(self.finish(), 1)
        self.assertEqual(self.deletes(), ["media/g.mxf"])
        self.assertIn("cleaner_run: mivra_lib_delete_item(%s, media/g.mxf) failed with r=-13"
                      % self.libsvc.url, self.log_text())
        self.assertEqual(self.list_files(), [])
        self.assertIn("media/g.mxf", self.lib.items)

    def test_unreadable_daemon_list_ends_the_run(self):
        self.stock()
        self.start("--lib-usage-limit=10", "--confirm-delete", "--sleep-interval=3600",
                   "--box=127.0.0.1:%d" % closed_port())
        self.assertEqual(self.finish(), 1)
        self.assertIn("cleaner_run: mivrabox_lib_list(http://127.0.0.1:", self.log_text())
        self.assertEqual(self.libsvc.calls("MivraLib.LibListItems"), [])
        self.assertEqual(self.deletes(), [])

    def test_sigterm_while_sleeping_ends_cleanly(self):
        self.stock()
        self.start("--lib-usage-limit=90", "--sleep-interval=3600")
        self.assertTrue(wait_for(lambda: "will sleep for 3600 seconds" in self.log_text()),
                        self.log_text())
        self.stop_service()
        self.assertEqual(self.log_text().count("cleaner_run: starting (age_idle=60, age_played=30, "
                                   "lib_usage_limit=90)"), 1)

    def test_misbehaving_library_lists_once_and_deletes_by_its_own_count(self):
        # A library that answers the first page for every offset and whose usage figure does not
        # move after a deletion: 250 idle items of 40 fill a space of 10000.
        self.lib.total_space = 10000
        for i in range(250):
            self.add("media/i%03d.mxf" % i, 100 + i, size=40)
        self.lib.ignore_offset = True
        self.lib.frozen_usage = self.lib.LibDiskUsage()
        self.start("--lib-usage-limit=99", "--confirm-delete")
        self.assertEqual(self.finish(), 0)
        log = self.log_text()
        calls = self.libsvc.calls("MivraLib.LibListItems")
        self.assertEqual([c["args"][1:] for c in calls], [[0, 200], [200, 200]])
        self.assertLess(calls[-1]["mono"] - calls[0]["mono"], scaled(10.0))  # no page loop
        self.assertIn("cleaner_run: listing of [media] ended at offset 200: the library answered "
                      "the same page again", log)
        self.assertIn("cleaner_run: read 200 items, now 200 items", log)
        # 100 %, then 99.6 and 99.2 by its own count: three deletions, oldest first, bring it
        # to 98.8 % though the library still says 100 %.
        self.assertEqual(self.deletes(), ["media/i199.mxf", "media/i198.mxf", "media/i197.mxf"])
        self.assertIn("cleaner_run: library reports usage=100%, 120 deleted in this pass make it "
                      "98%", log)
        self.assertIn("cleaner_run: no more deleting, usage=98% < limit=99%", log)

    def test_help_and_bad_option(self):
        self.check_usage()


if __name__ == "__main__":
    unittest.main()
