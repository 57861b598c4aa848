"""bxfreader run on BXF messages written into a temporary folder."""

import os
import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("bxfreader")

USAGE = "Error! Not enough arguments.\nUsage:\n\t%s <src.xml> [dst.ply]\n" % BINARY

EVENT = ('<ScheduledEvent><ScheduleElements>'
         '<Content><Name>Film</Name><ContentId><HouseNumber>H7</HouseNumber></ContentId></Content>'
         '<EventData eventType="Primary"><EventTitle>%s</EventTitle><StartMode>Fixed</StartMode>'
         '<LengthOption><Duration><SmpteDuration><SmpteTimeCode>00:30:00:00</SmpteTimeCode>'
         '</SmpteDuration></Duration></LengthOption>'
         '<StartDateTime><SmpteDateTime broadcastDate="%s"><SmpteTimeCode>10:00:00:00'
         '</SmpteTimeCode></SmpteDateTime></StartDateTime></EventData>'
         '</ScheduleElements></ScheduledEvent>')


def message(body, sep=""):
    return ('<?xml version="1.0"?>\n<BxfMessage>{0}<BxfData>{0}<Schedule>{0}'
            '<ScheduleName>Main</ScheduleName>%s</Schedule>{0}</BxfData>{0}</BxfMessage>\n'
            .format(sep) % body)


class BxfReader(ReaderCase):
    BINARY = BINARY
    TZ = "UTC"
    USAGE = USAGE

    def test_converts_to_standard_output_and_file(self):
        src = self.write("in.xml", message(EVENT % ("News", "2024-03-01") +
                                           EVENT % ("Film", "2024-03-02")))
        r = self.run_reader(src)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.split("\n")
        self.assertEqual(len(lines), 3, r.stdout)
        self.assertIn("News", lines[0])
        self.assertIn("10:00:00:00", lines[0])
        self.assertIn("Film", lines[1])
        # The open-day callback runs only until the first event is out.
        self.assertIn("cb_startdate: date=2024-03-01\n", r.stderr)
        self.assertNotIn("2024-03-02\n", r.stderr.replace("broadcastDate]=[2024-03-02]", ""))
        self.assertIn("bxf:bxf_parse_ScheduledEvent:", r.stderr)
        self.assertIn("Content/ContentId/HouseNumber=[H7]", r.stderr)
        self.assertTrue(r.stderr.endswith("bxf_parse returned 0\n"), r.stderr)

        dst = self.path("out.ply")
        r2 = self.run_reader(src, dst)
        self.assertEqual(r2.returncode, 0, r2.stderr)
        with open(dst, encoding="utf-8") as f:
            self.assertEqual(f.read(), r.stdout)

    def test_indented_message_fails(self):
        src = self.write("in.xml", message(EVENT % ("News", "d"), "\n  "))
        dst = self.path("out.ply")
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 1)
        self.assertIn("BxfData_node->name=[text]", r.stderr)
        self.assertIn("bxf_parse returned -2\n", r.stderr)
        self.assertFalse(os.path.exists(dst))

    def test_unopenable_destination(self):
        bad = self.path("nodir/out.ply")
        r = self.run_reader(self.path("missing.xml"), bad)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Error! Failed to open file [%s]\n" % bad, r.stderr)
        self.assertNotIn("bxf_parse", r.stderr)

    def test_bad_category_file_is_only_reported(self):
        self.write("category2type.txt", "X\n")
        src = self.write("in.xml", message(EVENT % ("News", "d")))
        r = self.run_reader(src)
        self.assertEqual(r.returncode, 0)
        self.assertIn("bxf_init:", r.stderr)
        self.assertIn("failed to parse line [X]", r.stderr)
        self.assertEqual(len(r.stdout.split("\n")), 2)


if __name__ == "__main__":
    unittest.main()
