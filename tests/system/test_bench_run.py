"""bench/run over stand-in benchmarks: the raw output goes to the log, the run ends with one table
of the summary rows, and a benchmark that prints no ratio is named in it."""

import os
import stat
import subprocess
import tempfile
import unittest

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))

BENCHES = {
    "a_bench": "#!/bin/sh\necho 'raw line of a'\n"
               "printf 'SUMMARY\\tparse\\t10 ms\\t5 ms (copy)\\t2.00\\tlower (time)\\n'\n"
               # A rate given as cost: the table shows it figure / baseline, higher better.
               "printf 'SUMMARY\\tcall\\t3859 calls/s\\t4487 calls/s (bare)\\t1.16\\tlower\\n'\n",
    "b_bench": "#!/bin/sh\necho 'raw line of b'\n",
    "c_bench": "#!/bin/sh\necho 'raw line of c'\nexit 3\n",
}


class BenchRun(unittest.TestCase):
    def test_summary_table_and_log(self):
        with tempfile.TemporaryDirectory() as build, tempfile.TemporaryDirectory() as py:
            os.mkdir(os.path.join(build, "bench"))
            for name, text in BENCHES.items():
                path = os.path.join(build, "bench", name)
                with open(path, "w") as f:
                    f.write(text)
                os.chmod(path, stat.S_IRWXU)
            with open(os.path.join(py, "d_bench.py"), "w") as f:
                f.write("from summary import summary\n"
                        "summary('on air', '1.5 ms', '0.5 ms (wake)', 3.0, 'lower')\n")
            r = subprocess.run([os.path.join(SRC, "bench", "run"), build], capture_output=True,
                               text=True, timeout=60, env=dict(os.environ, MIVRA_BENCH_PY=py))
            self.assertEqual(r.returncode, 1, r.stderr)  # c_bench failed
            out = r.stdout
            self.assertIn("bench/run: c_bench                  FAILED\n", out)
            self.assertNotIn("raw line", out)
            table = out[out.index("\nbenchmark "):].splitlines()
            self.assertRegex(table[1], r"^benchmark +figure +baseline \(same run\) +ratio  better$")
            self.assertRegex(table[2], r"^parse +10 ms +5 ms \(copy\) +2\.00  lower \(time\)$")
            self.assertRegex(table[3], r"^call +3859 calls/s +4487 calls/s \(bare\) +0\.86  "
                                       r"higher \(calls/s\)$")
            self.assertRegex(table[4], r"^b_bench +no ratio printed +- +-  -$")
            self.assertRegex(table[5], r"^c_bench +no ratio printed")
            self.assertRegex(table[6], r"^on air +1\.5 ms +0\.5 ms \(wake\) +3\.00  lower$")
            self.assertIn("How to read it: ratio = figure / baseline", out)
            with open(os.path.join(build, "bench.log")) as f:
                log = f.read()
            for name in ("a", "b", "c"):
                self.assertIn("== %s_bench\nraw line of %s\n" % (name, name), log)
            self.assertIn("Whole output: %s/bench.log" % os.path.realpath(build), out)


if __name__ == "__main__":
    unittest.main()
