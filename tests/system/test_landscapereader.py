"""landscapereader run on Landscape schedules and maps written into a temporary folder."""

import unittest

from helpers.reader_case import ReaderCase, reader_binary

BINARY = reader_binary("landscapereader")

USAGE = ("Error! Not enough arguments.\nUsage:\n"
         "\t%s <src.scx> <dst.ply> <map-types.txt> <map-layers.txt>\n" % BINARY)


def line(start="06300000", mode="F", title="R&B", typ="C", media="ABC123", dur="0903000",
         layers="-1--------- ---A"):
    b = [" "] * 273
    for col, text in ((1, start), (16, mode), (33, title), (55, typ), (81, "10000000"),
                      (110, media), (158, dur), (169, "TAG"), (243, layers)):
        b[col:col + len(text)] = text
    return "".join(b)


class LandscapeReader(ReaderCase):
    BINARY = BINARY
    USAGE = USAGE
    WRONG_ARGS = ([], ["a"], ["a", "b", "c"], ["a", "b", "c", "d", "e"])
    USAGE_STDOUT_EMPTY = False

    def setUp(self):
        super().setUp()
        self.types = self.write("types.txt", "C 2000000000000000 /media/clips\n")
        self.layers = self.write("layers.txt", "1 2 LOGO\n2 1 CLOCK\n16 A TICKER\n")

    def read(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()

    def test_schedule_with_maps(self):
        src = self.write("in.scx", line() + "\n" + line(dur="09030") + "\n"
                         + line(mode="M", typ="X", media="B") + "\r\n")
        dst = self.path("out.ply")
        r = self.run_reader(src, dst, self.types, self.layers)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(self.read("out.ply").split("\n"), [
            "06:30:00:00\tF\t10:00:00:00\t\t01:30:30:00\tC\t/media/clips/ABC123#\tR_B"
            "\tLOGO+CLOCK+TICKER\t\tTAG\t\t\t\t*",
            "06:30:00:00\tM\t10:00:00:00\t\t01:30:30:00\tX\tB#\tR_B\tCLOCK+TICKER\t\tTAG\t\t\t\t*",
            ""])

    def test_missing_layers_map_still_converts(self):
        src = self.write("in.scx", line() + "\n")
        missing = self.path("absent.txt")
        r = self.run_reader(src, self.path("out.ply"), self.types, missing)
        self.assertEqual(r.returncode, 0)
        self.assertIn("failed to load type_map_filename [%s]\n" % missing, r.stderr)
        self.assertIn("\t/media/clips/ABC123#\tR_B\t\t", self.read("out.ply"))

    def test_output_failure(self):
        dst = self.path("no/such/out.ply")
        r = self.run_reader(self.path("absent.scx"), dst, self.types, self.layers)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Error! Failed to open file [%s]\n" % dst)


if __name__ == "__main__":
    unittest.main()
