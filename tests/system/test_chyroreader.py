"""chyroreader run on Chyro playlists written into a temporary folder."""

import os
import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("chyroreader")

USAGE = "Error! Not enough arguments.\nUsage:\n\t%s <src.xml> [dst.ply]\n" % BINARY

SCHEDULE = ('<schedule id="42" startmode="CLOCK" startdate="%d" starttime="900" timescale="25">'
            "<program>Morning</program><DTMF>1234</DTMF><category>PUB</category>"
            "<file><name>clip.mxf</name><path>/ignored</path>"
            '<timecode tcin="250" tcout="1000" duration="750"/></file>'
            '<events><event starttime="300" endtime="400" template="logo"><text>'
            "<line>a ; b</line></text></event></events></schedule>")


def playlist(body):
    return '<?xml version="1.0"?>\n<chyro_playlist version="1.9">%s</chyro_playlist>\n' % body


class ChyroReader(ReaderCase):
    BINARY = BINARY
    TZ = "UTC"
    USAGE = USAGE

    def test_fixed_settings_on_standard_output(self):
        self.write("category2type.txt", "# letters\nP PUB\n")
        src = self.write("in.xml", playlist(SCHEDULE % 1709251200))
        r = self.run_reader(src)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.split("\n")
        self.assertEqual(len(lines), 2)
        f = lines[0].split("\t")
        self.assertEqual(len(f), 15)
        # Path ignored, tcout included but computed from tcin and duration, DTMF offset 29.
        self.assertEqual(f[:9], ["00:00:36:00", "F", "00:00:10:00", "00:00:39:24", "00:00:30:00",
                                 "P", "/KORVELTV/clip.mxf", "Morning", "+KORVELTV_logo"])
        self.assertEqual(f[11], "chyro_event_id\\t42\\nDTMF\\t1234@29\\nin@KORVELTV_logo#0\\t50"
                                "\\nout@KORVELTV_logo#0\\t150\\ndefault@KORVELTV_logo#0\\ta ; b"
                                "\\ndefault_0@KORVELTV_logo#0\\ta\\ndefault_1@KORVELTV_logo#0\\tb")
        self.assertEqual(f[14], "*")
        self.assertIn("cb_startdate: date=20240301_000000\n", r.stderr)
        self.assertIn("\tprogram: [Morning]\n\n", r.stderr)

    def test_destination_file_and_missing_table(self):
        src = self.write("in.xml", playlist(SCHEDULE % 0 + SCHEDULE % 0))
        dst = self.write("out.ply", "old\n" * 10)
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "")
        self.assertIn("failed to load category2type file [category2type.txt]\n", r.stderr)
        with open(dst, encoding="utf-8") as f:
            lines = f.read().split("\n")
        self.assertEqual(len(lines), 3)
        self.assertEqual(lines[0].split("\t")[5], " ")  # no letter without the table

    def test_destination_folder_missing(self):
        dst = self.path("no/such/out.ply")
        r = self.run_reader(self.path("absent.xml"), dst)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Error! Failed to open file [%s]\n" % dst)

    def test_wrong_document_fails(self):
        dst = self.path("out.ply")
        src = self.write("old.xml", '<chyro_playlist version="1.8"><schedule/></chyro_playlist>')
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 1)
        self.assertIn("attr_version=[1.8]\n\n", r.stderr)
        self.assertIn("Error! Failed to read file [%s], r=-22 (Not a readable schedule)\n" % src,
                      r.stderr)
        self.assertFalse(os.path.exists(dst))


if __name__ == "__main__":
    unittest.main()
