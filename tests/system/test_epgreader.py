"""epgreader run on programme guides written into a temporary folder."""

import os
import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("epgreader")

USAGE = "Error! Not enough arguments.\nUsage:\n\t%s <src.xml> [dst.ply]\n" % BINARY
GUIDE = ('<?xml version="1.0" encoding="utf-8"?>\n<EPG><BROADCAST_DAY><TX_DAY>2024-03-05</TX_DAY>'
         "<PROGRAM><START_TIME>20:45</START_TIME><DURATION>01:30</DURATION>"
         "<TITRE>Match</TITRE></PROGRAM>"
         "<PROGRAM><START_TIME>22:15</START_TIME><DURATION>00:45</DURATION></PROGRAM>"
         "</BROADCAST_DAY></EPG>\n")


class EpgReader(ReaderCase):
    BINARY = BINARY
    TZ = "UTC0"
    USAGE = USAGE

    def test_standard_output(self):
        r = self.run_reader(self.write("epg.xml", GUIDE))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "cb_startdate: date=20240305_000000\n")
        lines = r.stdout.split("\n")
        self.assertEqual(len(lines), 3)
        self.assertEqual(lines[0].split("\t")[:9], [
            "20:45:00:00", "F", "00:00:00:00", "01:30:00:00", "01:30:00:00", "P",
            "/assets/beinsports/epg_bg.mov", "Match", "beinsports"])
        self.assertIn("TX_DAY\\tMARDI 5 MARS", lines[0])
        self.assertTrue(lines[1].startswith("22:15:00:00\tF\t"))

    def test_destination_file(self):
        dst = self.path("out.ply")
        r = self.run_reader(self.write("epg.xml", GUIDE), dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "")
        with open(dst, encoding="utf-8") as f:
            self.assertEqual(f.read().count("\n"), 2)

    def test_destination_folder_missing(self):
        dst = self.path("no/such/out.ply")
        r = self.run_reader(self.path("absent.xml"), dst)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Error! Failed to open file [%s]\n" % dst)

    def test_failed_parse_reported(self):
        dst = self.path("out.ply")
        src = self.write("bad.xml", "<GUIDE/>")
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "beinsports_epg_parse failed with r=-2\nError! Failed to read "
                         "file [%s], r=-2 (Not a schedule of this format)\n" % src)
        self.assertFalse(os.path.exists(dst))


if __name__ == "__main__":
    unittest.main()
