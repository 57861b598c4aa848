"""Runs one system test module (python3 harness.py <module>) and fails every test after which a
sanitizer wrote a report. Sanitizer builds send the reports of every program the tests start to
files in MIVRA_SANITIZER_LOGS (log_path in their options), so that a report counts also when a
test discards the program's standard error or never waits for its exit code.

TIME_SCALE (MIVRA_TIME_SCALE, set by the sanitizer builds) stretches the waits and tolerances of
timing-dependent tests by the builds' slowdown; it is 1 in the plain build."""

import os
import sys
import unittest

TIME_SCALE = float(os.environ.get("MIVRA_TIME_SCALE") or 1)
LOGS = os.environ.get("MIVRA_SANITIZER_LOGS", "")
SHOWN = 200  # lines of each report printed with the failure


def scaled(seconds):
    return seconds * TIME_SCALE


def _reports():
    try:
        return sorted(os.path.join(LOGS, n) for n in os.listdir(LOGS))
    except FileNotFoundError:
        return []


def _text(paths):
    out = []
    for p in paths:
        with open(p, errors="replace") as f:
            lines = f.read().splitlines()
        out.append("--- %s (%d lines)\n%s" % (p, len(lines), "\n".join(lines[:SHOWN])))
    return "\n".join(out)


class _ReportResult(unittest.TextTestResult):
    seen = set()

    def stopTest(self, test):
        new = [p for p in _reports() if p not in self.seen]
        if new:
            self.seen.update(new)
            msg = "sanitizer report(s) written during this test:\n" + _text(new)
            self.addFailure(test, (AssertionError, AssertionError(msg), None))
        super().stopTest(test)


def main(module):
    if LOGS:
        os.makedirs(LOGS, exist_ok=True)
        for p in _reports():  # from an earlier run
            os.unlink(p)
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    result = unittest.TextTestRunner(verbosity=2, resultclass=_ReportResult).run(suite)
    # Programs that outlive a test (a mount shared by a class) report at its teardown.
    late = [p for p in _reports() if p not in _ReportResult.seen]
    if late:
        print("sanitizer report(s) written after the last test:\n" + _text(late),
              file=sys.stderr)
    return 0 if result.wasSuccessful() and not late else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
