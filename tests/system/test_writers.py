"""The playlist writers run from the build folder on playlist files written here."""

import datetime
import os
import subprocess
import tempfile
import unittest

BUILD = os.path.abspath(
    os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default")))
BIN = os.path.join(BUILD, "src", "converters", "writers")
CET = "CET-1CEST,M3.5.0,M10.5.0/3"

XML_WRITERS = ("sgtwriter", "sgtwriter2", "chyrowriter")
USAGE = {
    "sgtwriter": "\t%s <src.ply> [dst.xml]\n",
    "sgtwriter2": "\t%s <src.ply> [dst.xml]\n",
    "chyrowriter": "\t%s <src.ply> [dst.xml]\n",
    "abcvswriter2": "\t%s <src.ply> [dst.CVS]\n",
    "abcvswriter": "\t%s <channel> <src.ply> [dst.xml]\n",
}


def line(start="10:00:00:00", mode="F", tc_in="00:00:10:00", tc_out="00:01:00:00",
         dur="00:00:50:00", media="/media/clips/ABC123#1", title="News", assets="", meta=()):
    """One 15-field playlist line; meta is a list of (key, value)."""
    meta_field = "\\n".join("%s\\t%s" % kv for kv in meta)
    return "\t".join([start, mode, tc_in, tc_out, dur, "V", media, title, assets, "", "",
                      meta_field, "", "", ""]) + "\n"


class WriterCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="writers_")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def playlist(self, name, *lines):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(lines))
        return path

    def run_prog(self, prog, *args, env=None):
        full_env = dict(os.environ)
        full_env.pop("DEP", None)
        full_env.update({"TZ": "UTC", "TC_MODE": "pal"})
        full_env.update(env or {})
        exe = os.path.join(BIN, prog)
        p = subprocess.run([exe, *args], capture_output=True, env=full_env, timeout=30)
        return p.returncode, p.stdout, p.stderr.decode("utf-8", "replace")

    def assert_well_formed(self, data, wrap=False):
        if wrap:
            data = b"<root>" + data + b"</root>"
        path = os.path.join(self.dir, "check.xml")
        with open(path, "wb") as f:
            f.write(data)
        p = subprocess.run(["xmllint", "--noout", path], capture_output=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr.decode())

    def leftovers(self):
        return [n for n in os.listdir(self.dir) if n.startswith(".")]


class CommandLine(WriterCase):
    def test_argument_count(self):
        src = self.playlist("2024-03-05.ply", line())
        for prog, usage in USAGE.items():
            wrong = [[], [src, "a", "b", "c"]]
            if prog == "abcvswriter":
                wrong.append([src])
            for args in wrong:
                rc, out, err = self.run_prog(prog, *args)
                self.assertEqual(rc, 1, (prog, args))
                self.assertEqual(out, b"")
                self.assertEqual(err, "Error! Not enough arguments.\nUsage:\n" +
                                 usage % os.path.join(BIN, prog))

    def test_bxfwriter_does_nothing(self):
        for args in ([], ["x"], ["/nonexistent/a.ply", "/nonexistent/b.xml"]):
            rc, out, err = self.run_prog("bxfwriter", *args)
            self.assertEqual((rc, out, err), (0, b"", ""))

    def test_empty_or_missing_playlist(self):
        empty = self.playlist("2024-03-05.ply")
        blank = self.playlist("2024-03-06.ply", "\n\n", "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n")
        missing = os.path.join(self.dir, "none.ply")
        cases = [(empty, "r=0 {Success}"), (blank, "r=0 {Success}"),
                 (missing, "r=-2 {No such file or directory}")]
        for prog in USAGE:
            for src, text in cases:
                dst = os.path.join(self.dir, "out.xml")
                args = ["CH", src, dst] if prog == "abcvswriter" else [src, dst]
                rc, out, err = self.run_prog(prog, *args)
                self.assertEqual(rc, 1, prog)
                self.assertIn("Error! Failed to open file [%s], %s\n" % (src, text), err)
                self.assertNotIn("filename [", err)
                # The output is opened only after the playlist loaded with an event.
                self.assertFalse(os.path.exists(dst), prog)
                self.assertEqual(self.leftovers(), [])

    def test_output_cannot_be_opened(self):
        src = self.playlist("2024-03-05.ply", line())
        dst = os.path.join(self.dir, "no", "such", "out.xml")
        for prog in USAGE:
            args = ["CH", src, dst] if prog == "abcvswriter" else [src, dst]
            rc, out, err = self.run_prog(prog, *args)
            self.assertEqual(rc, 1, prog)
            if prog == "abcvswriter2":
                want = "Error! Failed to open file [%s], r=2 (No such file or directory)\n" % dst
            else:
                want = "Error! Failed to open file [%s]\n" % dst
            self.assertTrue(err.endswith(want), (prog, err))

    def test_failed_write_is_reported(self):
        src = self.playlist("2024-03-05.ply", line())
        for prog in USAGE:
            args = ["CH", src] if prog == "abcvswriter" else [src]
            with open("/dev/full", "wb") as full:
                p = subprocess.run([os.path.join(BIN, prog), *args], stdout=full,
                                   stderr=subprocess.PIPE, timeout=30)
            self.assertEqual(p.returncode, 1, prog)
            self.assertIn(b"Error! Failed to write standard output", p.stderr)

    def test_file_output_replaces_whole(self):
        src = self.playlist("2024-03-05.ply", line(), line(start="10:00:50:00"))
        for prog in USAGE:
            dst = os.path.join(self.dir, prog + ".out")
            with open(dst, "w") as f:
                f.write("old content that is longer than nothing\n" * 1000)
            args = ["CH", src] if prog == "abcvswriter" else [src]
            rc, to_stdout, _ = self.run_prog(prog, *args)
            self.assertEqual(rc, 0)
            rc, out, _ = self.run_prog(prog, *args, dst)
            self.assertEqual((rc, out), (0, b""), prog)
            with open(dst, "rb") as f:
                self.assertEqual(f.read(), to_stdout, prog)
            self.assertEqual(self.leftovers(), [])


class SgtWriters(WriterCase):
    def test_sgtwriter_document(self):
        src = self.playlist(
            "2024-03-05.ply",
            line(title='Say "hi" & go', meta=[("sgt_event_id", "E1"), ("sgt_event_id", "E2")]),
            line(start="10:00:50:00", mode="M", media="CLIP", title="B", tc_in="", tc_out=""),
            line(start="10:01:00:00", mode="", media="/a/b/C#2#3", title="C"))
        rc, out, err = self.run_prog("sgtwriter", src, env={"DEP": "DEP-7"})
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "r=0, timescale=[25]\nfilename [2024-03-05] parsed as [2024-03-05]\n")
        row = ('<Branding Start="05/03/2024 %s" TCIn="%s" Name="%s" Title="%s" AES1="AES1" '
               'AES2="AES1" AES3="AES1" AES4="AES1" SubTitleBehaviour="Bypass" Duration="%s" '
               'StartType="%s" Key="%s" State="Diffusé" dep="DEP-7"/>\n')
        want = ('<?xml version="1.0" encoding="UTF-8"?>\n<Put>\n' +
                row % ("10:00:00:00", "00:00:10:00", "ABC123", "Say &quot;hi&quot; &amp; go",
                       "00:00:50:00", "Horaire", "E1") +
                row % ("10:00:50:00", "", "CLIP", "B", "00:00:50:00", "Manual", "") +
                row % ("10:01:00:00", "00:00:10:00", "C", "C", "00:00:50:00", "Enchaîné", "") +
                "</Put>\n")
        self.assertEqual(out.decode("utf-8"), want)
        self.assert_well_formed(out)

        # Without DEP the attribute is empty; the timecode mode changes only the report.
        rc, out2, err = self.run_prog("sgtwriter", src, env={"TC_MODE": "ntsc"})
        self.assertEqual(rc, 0)
        self.assertTrue(err.startswith("r=2, timescale=[30]\n"))
        self.assertEqual(out2, out.replace(b'dep="DEP-7"', b'dep=""'))

    def test_sgtwriter2_document(self):
        src = self.playlist(
            "2024-03-05.ply",
            line(title="Tom & Jerry <1>", meta=[("sgt_event_id", "E1"), ("sgt_event_id", "E2"),
                                                ("sgt_playlist_name", "PL1")]))
        rc, out, err = self.run_prog("sgtwriter2", src, env={"DEP": "ignored"})
        self.assertEqual(rc, 0, err)
        want = ('<?xml version="1.0" encoding="UTF-8"?>\n<Lines>\n'
                '<Line Date="2024-03-05T10:00:00:00" Duration="00:00:50:00">\n'
                "    <StartType>Horaire</StartType>\n"
                "    <State>Diffusé</State>\n"
                "    <AES1>AES1</AES1>\n"
                "    <AES2>AES1</AES2>\n"
                "    <AES3>AES1</AES3>\n"
                "    <AES4>AES2</AES4>\n"
                "    <SubTitleBehaviour>Bypass</SubTitleBehaviour>\n"
                "    <dep>ZUR-101</dep>\n"
                '    <ObjId IDCP="ABC123" TcIn="00:00:10:00" TcOut="00:01:00:00"/>\n'
                "    <Title>Tom &amp; Jerry &lt;1&gt;</Title>\n"
                "    <EventId>E2</EventId>\n"
                "    <IdControlProtocol>ABC123</IdControlProtocol>\n"
                "    <PlaylistName>PL1</PlaylistName>\n"
                "</Line>\n</Lines>\n")
        self.assertEqual(out.decode("utf-8"), want)
        self.assert_well_formed(out)

    def test_broadcast_day_from_name(self):
        body = line()
        dotted = self.playlist("x/2024-03-07.backup.ply", body)
        rc, out, err = self.run_prog("sgtwriter2", dotted)
        self.assertEqual(rc, 0)
        self.assertIn("filename [2024-03-07.backup] parsed as [2024-03-07]\n", err)
        self.assertIn(b'<Line Date="2024-03-07T10:00:00:00"', out)

        for name, fields in (("today.ply", 0), ("2024-03.ply", 2)):
            src = self.playlist(name, body)
            before = datetime.date.today()
            rc, out, err = self.run_prog("sgtwriter", src)
            after = datetime.date.today()
            self.assertEqual(rc, 0)
            stem = name[:-4]
            self.assertTrue(
                any(err.endswith("filename [%s] was unable to parse (r=%d), [%s]\n" %
                                 (stem, fields, d.isoformat())) for d in (before, after)), err)
            self.assertTrue(any(('Start="%s 10:' % d.strftime("%d/%m/%Y")).encode() in out
                                for d in (before, after)))


class ChyroWriter(WriterCase):
    def test_document(self):
        src = self.playlist(
            "2024-03-05.ply",
            line(start="00:00:01:00", tc_in="00:00:01:00", tc_out="00:00:03:00",
                 dur="00:00:02:00", title="A & <B> ]]> C", meta=[("chyro_event_id", "12abc")]),
            line(media="/ABC123", title="x"),
            line(media="ABC123", title="y", start="", tc_in="", tc_out="", dur="nothing"))
        rc, out, err = self.run_prog("chyrowriter", src, env={"TZ": CET, "TC_MODE": "50"})
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "r=1, timescale=[50]\nfilename [2024-03-05] parsed as [2024-03-05]\n")
        text = out.decode("utf-8")
        head, rest = text.split("\n", 1)
        self.assertEqual(head, '<?xml version="1.0" encoding="UTF-8"?>')
        self.assertTrue(rest.startswith('<chyro_asrun version="1.9" xmlns="'))
        self.assertIn('/PLAYLIST/1.9" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"\n'
                      '      xsi:schemaLocation="', rest)
        self.assertIn('/PLAYLIST/1.9/chyro.xsd" name="%s">\n<schedule ' % src, rest)
        # Local midnight of 5 March 2024 one hour ahead of UTC.
        self.assertIn('<schedule id="12" startmode="FOLLOW" startdate="1709593200" '
                      'starttime="50" type="media" timescale="50" >\n'
                      '    <transition duration="0">cut</transition>\n'
                      '    <program><![CDATA[A & <B> ]]]]><![CDATA[> C]]></program>\n'
                      '    <file>\n'
                      '        <name><![CDATA[ABC123#1]]></name>\n'
                      '        <timecode tcin="50" tcout="150" duration="100" />\n'
                      '        <path>/media/clips</path>\n'
                      '    </file>\n</schedule>\n', rest)
        self.assertIn('<schedule id="0" startmode="FOLLOW" startdate="1709593200" '
                      'starttime="1800000" type="media" timescale="50" >\n', rest)
        self.assertIn('<name><![CDATA[ABC123]]></name>\n        <timecode tcin="500" '
                      'tcout="3000" duration="2500" />\n    </file>\n', rest)
        self.assertIn('starttime="0" type="media" timescale="50" >', rest)
        self.assertIn('<timecode tcin="0" tcout="0" duration="0" />', rest)
        self.assertEqual(rest.count("<path>"), 1)
        self.assertTrue(rest.endswith("</schedule>\n</chyro_asrun>\n"))
        self.assert_well_formed(out)

        rc, out, err = self.run_prog("chyrowriter", src, env={"TC_MODE": "bogus"})
        self.assertTrue(err.startswith("r=0, timescale=[25]\n"))
        self.assertIn(b'startdate="1709596800" starttime="25" type="media" timescale="25"', out)


class AbCvsWriters(WriterCase):
    ROWS = [
        line(start="00:30:00:10", mode="F", media="/media/clips/ABC123.mxf#1", assets="LOGO",
             meta=[("Reconciliation_Key", "RK1")]),
        line(start="12:00:00:00", mode="M", media="B", tc_in="", tc_out=""),
        line(start="12:00:00:00", mode=" ", media="C.mxf", tc_in="", tc_out="", dur=""),
    ]

    def test_table(self):
        for name in ("2024-03-05.ply", "chan_20240305_v2.ply"):
            src = self.playlist(name, *self.ROWS)
            dst = os.path.join(self.dir, "out.CVS")
            rc, out, err = self.run_prog("abcvswriter2", src, dst, env={"TZ": CET})
            self.assertEqual((rc, out), (0, b""), err)
            if name.startswith("chan"):
                self.assertEqual(err, "")
            else:
                self.assertEqual(err, "filename [2024-03-05] parsed as [2024-03-05]\n")
            with open(dst, "rb") as f:
                data = f.read()
            self.assertEqual(
                data,
                b"StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;"
                b"TcIn;EvsCount;Type_1;Scenario_1;offset_1;Dura_Sce_1;ExtParams_1;Type_2;"
                b"Scenario_2;offset_2;Dura_Sce_2;ExtParams_2\r\n"
                b"Clock;04/03/2024;23:30:00:10;ABC123;ABC123.mxf#1;RK1;00:00:50:00;16:9;"
                b"00:00:10:00;1;2;LOGO;00:00:00:00;00:00:00:00;;2;;;;\r\n"
                b"Manual;05/03/2024;11:00:00:00;B;B;;00:00:50:00;16:9;;0;2;;;;;2;;;;\r\n"
                b"AutoFollow;05/03/2024;11:00:00:00;C;C.mxf;;;16:9;;0;2;;;;;2;;;;\r\n")

        # In summer the start is still taken as standard time: one hour, not two.
        src = self.playlist("2024-07-05.ply", self.ROWS[1])
        rc, out, err = self.run_prog("abcvswriter2", src, env={"TZ": CET})
        self.assertIn(b"\r\nManual;05/07/2024;11:00:00:00;", out)

        # The table has no quoting: a separator inside a cell would shift the row.
        src = self.playlist("2024-03-06.ply", line(media="/m/a;b.mxf", assets="L;1",
                                                   meta=[("Reconciliation_Key", "k;1")]))
        rc, out, err = self.run_prog("abcvswriter2", src)
        row = out.split(b"\r\n")[1]
        self.assertEqual(row.count(b";"), 19, row)
        self.assertIn(b";a b;a b.mxf;k 1;", row)

    def test_day_fallback(self):
        for name in ("chan_2024.ply", "chan_.ply", "chan.ply"):
            src = self.playlist(name, self.ROWS[1])
            before = datetime.date.today()
            rc, out, err = self.run_prog("abcvswriter2", src)
            after = datetime.date.today()
            self.assertEqual(rc, 0)
            self.assertTrue(
                any(err == "filename [%s] was unable to parse (r=0), [%s]\n" %
                    (name[:-4], d.isoformat()) for d in (before, after)), err)
            self.assertTrue(any((";%s;12:00" % d.strftime("%d/%m/%Y")).encode() in out
                                for d in (before, after)))

    def test_branding(self):
        src = self.playlist("chan_20240305.ply",
                            *self.ROWS[:2],
                            line(start="12:00:00:00", media="/m/Q.mxf", title='Say "x" & <y>',
                                 tc_in="", tc_out="", dur=""))
        rc, out, err = self.run_prog("abcvswriter", "Chan 1", src, env={"TZ": CET})
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        text = out.decode("utf-8")
        media = "E:\\Medias\\Brixa\\OnAir\\Channels\\DEP101\\Medias\\"
        first = ('<Branding\n    Name="ABC123"\n    Key="RK1"\n    Start="04/03/2024 23:30:00:10"\n'
                 '    Duration="00:00:50:00"\n    ScenarTitle="News"\n    Channel="Chan 1">\n\n'
                 '    <Clip Name="Clip"\n        Media="' + media + 'Videos\\ABC123.mxf#1"\n'
                 '        Start="00:00:10:00"\n        Stop="00:01:00:00">\n\n'
                 '        <Visible\n            Start="00:00:00:00"\n'
                 '            Stop="00:00:00:00"/>\n\n'
                 '        <Visible\n            Media="ABC123.mxf#1"\n'
                 '            Start="00:00:10:00"\n            Stop="00:01:00:00"/>\n'
                 '    </Clip>\n\n'
                 '    <Image\n        Scenario="LOGO"\n        Name="LOGO_decoupe"\n'
                 '        Media="' + media + 'Logos\\LOGO_decoupe.tga.yuv"\n'
                 '        Start="00:00:10:00"\n        Stop="00:01:00:00"/>\n\n'
                 '</Branding>\n')
        self.assertTrue(text.startswith(first), text[:len(first) + 200])
        brandings = text.split("</Branding>\n")
        self.assertEqual(len(brandings), 4)
        self.assertEqual(brandings[3], "")
        # No out point: in plus duration; nothing at all: zero.
        self.assertIn('Start=""\n        Stop="00:00:50:00">', brandings[1])
        self.assertNotIn("<Image", brandings[1])
        self.assertIn('Start=""\n            Stop="00:00:00:00"/>', brandings[2])
        self.assertIn('ScenarTitle="Say &quot;x&quot; &amp; &lt;y&gt;"', brandings[2])
        self.assertIn('Name="Q"', brandings[2])
        self.assert_well_formed(out, wrap=True)


if __name__ == "__main__":
    unittest.main()
