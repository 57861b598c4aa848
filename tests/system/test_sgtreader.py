"""sgtreader run on SGT documents written into a temporary folder."""

import os
import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("sgtreader")

USAGE = "Error! Not enough arguments.\nUsage:\n\t%s <src.xml> [dst.ply]\n" % BINARY


def envelope(lines, name="PL_ABC123", date="2024-03-01", channel="KTV1"):
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            "<Envelope><Body><ImportPlaylist><ImportPlaylist.Message><Playlist>"
            "<Channel>%s</Channel><BroadcastDate>%s</BroadcastDate><Name>%s</Name>%s"
            "</Playlist></ImportPlaylist.Message></ImportPlaylist></Body></Envelope>\n"
            % (channel, date, name, lines))


CLIP = ('<Lines Date="2024-03-01T06:30:00.480" StartType="Clock" Duration="00:00:30.000">'
        '<IdControlProtocol TcIn="10:00:00:00" TcOut="10:00:30:00" Idcp="CLIP1"/>'
        "<Title>JINGLES NOEL</Title><EventId>42</EventId>"
        '<SecondaryEvents Type="HAB-SCRIPT" OffsetIn="00:00:01:00"><ExtendedParameter>'
        "scene|logo.visible=true</ExtendedParameter></SecondaryEvents></Lines>")
LIVE = ('<Lines Date="2024-03-01T07:00:00.000" StartType="Manual" Duration="00:10:00.000">'
        "<Live><Name>CAM</Name><Description>Studio</Description></Live></Lines>")


class SgtReader(ReaderCase):
    BINARY = BINARY
    USAGE = USAGE

    def test_standard_output(self):
        src = self.write("in.xml", envelope(CLIP + LIVE))
        r = self.run_reader(src)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.split("\n")
        self.assertEqual(lines[-1], "")
        self.assertEqual(len(lines), 3)
        clip = lines[0].split("\t")
        self.assertEqual(len(clip), 15)
        self.assertEqual(clip[:9], [
            "06:30:00:12", "F", "10:00:00:00", "10:00:30:00", "00:00:30:00", "J",
            "/KORVELTV/VIDEO/CLIP1#", "JINGLES NOEL", "+KORVELTV_LOGO"])
        self.assertEqual(clip[11], "sgt_event_id\\t42\\nin@KORVELTV_LOGO#0\\t25"
                                   "\\nsgt_playlist_name\\tPL_ABC123")
        live = lines[1].split("\t")
        self.assertEqual(live[:7], ["07:00:00:00", "M", "", "", "00:10:00:00", "L",
                                    "/KORVELTV/LIVE/live.png"])
        # The open-day callback and the module's trace go to standard error.
        self.assertIn("cb_startdate: date=20240301_000000, name=[PL_ABC123], channel=[KTV1]\n",
                      r.stderr)
        self.assertIn("sgt_parse_node_Lines: <Title>=[JINGLES NOEL]\n", r.stderr)
        self.assertIn("Notice: Channel=[KTV1]\n", r.stderr)

    def test_destination_file_replaced_whole(self):
        src = self.write("in.xml", envelope(CLIP))
        dst = self.write("out.ply", "old content\n" * 100)
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "")
        with open(dst, encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith("06:30:00:12\tF\t"))
        self.assertEqual(text.count("\n"), 1)
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.xml", "out.ply"])

    def test_destination_folder_missing(self):
        r = self.run_reader(self.path("absent.xml"), self.path("no/such/out.ply"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Error! Failed to open file [%s]\n" % self.path("no/such/out.ply"))
        # The source was never opened: the XML library would have complained about it.
        self.assertNotIn("absent.xml", r.stderr.replace(self.path("no/such/out.ply"), ""))

    def test_wrong_document_fails(self):
        dst = self.path("out.ply")
        src = self.write("bad.xml", "<Envelope><Body/></Envelope>")
        r = self.run_reader(src, dst)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Error: expected 'ImportPlaylist' tag not found", r.stderr)
        self.assertFalse(os.path.exists(dst))

    def test_long_line_cut(self):
        tabs = "x" + "\t" * 4090 + "x"
        lines = ("<Lines><Title>T</Title><EventId>%s</EventId><Live><Name>%s</Name>"
                 "<Description>%s</Description></Live></Lines>" % (tabs, tabs, tabs))
        src = self.write("in.xml", envelope(lines + CLIP, name=tabs))
        r = self.run_reader(src)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout.split("\n")
        self.assertEqual(len(out[0]), 32767)
        self.assertTrue(out[1].startswith("06:30:00:12\tF\t"))


if __name__ == "__main__":
    unittest.main()
