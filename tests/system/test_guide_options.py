"""Each long-running program's option table in src against the option list that docs/guide.md
gives for it, both ways, and the exit status that the guide gives for --help against the
program's own."""

import os
import re
import subprocess
import tempfile
import unittest

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", os.path.join(SRC, "build/default")))
GUIDE = os.path.join(SRC, "docs", "guide.md")

# program: (binary under the build folder, the sources holding its option table). Every one
# takes the shared options of src/common/svc.cc too.
PROGRAMS = {
    "MivraBox2": ("src/box2/MivraBox2", ["src/box2/box2_opts.cc"]),
    "MivraBox1": ("src/box1/MivraBox1", ["src/box1/box1_opts.cc"]),
    "MivraBoxPlyConv": ("src/plyconv/MivraBoxPlyConv",
                        ["src/plyconv/daemon/plyconv_opts.cc"]),
    "MivraBoxLibFeeder": ("src/libtools/MivraBoxLibFeeder",
                          ["src/libtools/feeder/feeder_opts.cc"]),
    "MivraBoxLibCleaner": ("src/libtools/MivraBoxLibCleaner",
                           ["src/libtools/cleaner/cleaner_opts.cc"]),
    "MivraBoxLibAdapter": ("src/libtools/MivraBoxLibAdapter",
                           ["src/libtools/adapter/adapter_opts.cc"]),
    "MivraBoxSTL": ("src/fs/stl/MivraBoxSTL",
                    ["src/fs/stl/stl_fs.cc", "src/fs/launch/fs_launch.cc"]),
    "MivraBoxTickerCrawl": ("src/fs/tickercrawl/MivraBoxTickerCrawl",
                            ["src/fs/tickercrawl/crawl_fs.cc", "src/fs/launch/fs_launch.cc"]),
}
SHARED = "src/common/svc.cc"


def source_options(paths):
    out = set()
    for p in paths:
        with open(os.path.join(SRC, p)) as f:
            out |= set(re.findall(r'\{"([a-z0-9][a-z0-9_-]*)",\s*(?:required|no|optional)_argument',
                                  f.read()))
    return out


def named(text):
    """Long options written in backticks."""
    return {o for span in re.findall(r"`([^`]*)`", text)
            for o in re.findall(r"--([a-z0-9][a-z0-9_-]*)", span)}


def section(text, title):
    s = text[text.index("\n## " + title) + 1:]
    return s[:s.find("\n## ", 3)] if "\n## " in s[3:] else s


def rows(text):
    return [[c.strip() for c in r.strip().strip("|").split("|")]
            for r in text.splitlines() if r.startswith("| `")]


def bullet(text, program):
    s = text[text.index("- `" + program):]
    m = re.search(r"\n(- |\n)", s[2:])
    return s[:m.start() + 2] if m else s


def guide_options(text):
    """{program: options} as the guide lists them."""
    common = named(" ".join(r[0] for r in rows(section(text, "Common to every long-running"))))
    out = {}
    daemons = rows(section(text, "MivraBox2 and MivraBox1"))
    for prog, mark in (("MivraBox2", "2"), ("MivraBox1", "1")):
        out[prog] = named(" ".join(r[0] for r in daemons if r[1] in ("both", mark)))
    out["MivraBoxPlyConv"] = named(" ".join(r[0] for r in rows(section(text, "MivraBoxPlyConv"))))
    for prog in ("MivraBoxLibFeeder", "MivraBoxLibCleaner", "MivraBoxLibAdapter",
                 "MivraBoxSTL", "MivraBoxTickerCrawl"):
        out[prog] = named(bullet(text, prog))
    return {p: o | common for p, o in out.items()}


def guide_help_status(text):
    """{program: exit status after --help} from the guide's table."""
    out = {}
    for r in section(text, "Common to every long-running").splitlines():
        m = re.fullmatch(r"\| ([A-Za-z0-9, ]+) \| (\d+) \|", r.strip())
        if m:
            out.update({p.strip(): int(m.group(2)) for p in m.group(1).split(",")})
    return out


class GuideOptions(unittest.TestCase):
    def test_option_lists_and_help_status_match_the_programs(self):
        with open(GUIDE) as f:
            text = f.read()
        listed = guide_options(text)
        status = guide_help_status(text)
        shared = source_options([SHARED])
        self.assertEqual(sorted(status), sorted(PROGRAMS))
        with tempfile.TemporaryDirectory() as tmp:
            for prog, (binary, paths) in PROGRAMS.items():
                with self.subTest(program=prog):
                    taken = source_options(paths) | shared
                    self.assertGreater(len(taken), len(shared), paths)
                    self.assertEqual(sorted(taken - listed[prog]), [], "taken, not in the guide")
                    self.assertEqual(sorted(listed[prog] - taken), [], "in the guide, not taken")
                    r = subprocess.run([os.path.join(BUILD, binary), "--help"], cwd=tmp,
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, status[prog], r.stderr[-2000:])
                    self.assertIn("Usage:", r.stderr)


if __name__ == "__main__":
    unittest.main()
