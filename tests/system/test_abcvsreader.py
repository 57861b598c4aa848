"""abcvsreader run on AB CVS tables written into a temporary folder."""

import os
import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("abcvsreader")

USAGE = "Error! Not enough arguments.\nUsage:\n\t%s <src.cvs> <dst.ply>\n" % BINARY
HEADER = ("StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;"
          "EvsCount;Type_1;Scenario_1;offset_1;duration_1;ExtParams_1;Type_2;Scenario_2;offset_2;"
          "duration_2;ExtParams_2")
ROW = "Manual;01/03/2024;06:30:00:12;Morning news;NEWS.mxf;RK7;00:10:00:00;HD;10:00:00:00;1;N;" \
      "LOGO;;;;;;;;"


class AbcvsReader(ReaderCase):
    BINARY = BINARY
    TZ = "UTC0"
    USAGE = USAGE
    WRONG_ARGS = ([], ["a"], ["a", "b", "c"])
    USAGE_STDOUT_EMPTY = False

    def test_table_converted(self):
        src = self.write("in.cvs", HEADER + "\r\n" + ROW + "\r\n" + "Clock;x\r\n")
        dst = self.path("out.ply")
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(dst, encoding="utf-8") as f:
            lines = f.read().split("\n")
        self.assertEqual(len(lines), 2)
        self.assertEqual(lines[1], "")
        cells = lines[0].split("\t")
        self.assertEqual(cells[:9], ["06:30:00:12", "M", "10:00:00:00", "", "00:10:00:00", "N",
                                     "/NEWS.mxf", "Morning news", "LOGO"])
        self.assertIn("Reconciliation_Key\\tRK7", lines[0])
        self.assertIn("abcvs_parse:", r.stderr)
        self.assertIn("has 3 rows\n", r.stderr)
        self.assertIn("incompatible columns number, specified 2, expected 20\n", r.stderr)

    def test_destination_folder_missing(self):
        dst = self.path("no/such/out.ply")
        r = self.run_reader(self.path("absent.cvs"), dst)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Error! Failed to open file [%s]\n" % dst)


if __name__ == "__main__":
    unittest.main()
