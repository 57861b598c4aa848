"""The scheduler of each bus runs at real-time priority, so that the rest of the machine's load
never holds up a play; of the threads that it starts for player calls MivraBox1's plays run one
step below it (moved to another processor when the scheduler wants theirs), its cues at the
normal priority. A daemon without the privilege says so once and airs all the same."""
import os
import shutil
import time
import unittest

from helpers.box1_util import Channel1
from helpers.box2_air_util import Channel, dur, next_second, tc
from helpers.box2_util import line, wait_for

NO_SYS_NICE = ["setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice"]
REFUSED = "no real-time priority"


def realtime_allowed():
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
    except OSError:
        return False
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
    return True


def realtime_priorities(pid):
    """The real-time priorities of a process's live threads, in order."""
    out = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            if os.sched_getscheduler(int(tid)) == os.SCHED_FIFO:
                out.append(os.sched_getparam(int(tid)).sched_priority)
        except OSError:
            pass  # ended meanwhile
    return tuple(sorted(out))


class SchedulerPriorityTest(unittest.TestCase):
    def test_priority_by_daemon_and_privilege(self):
        rows = [(Channel, False), (Channel1, False)]
        if realtime_allowed():
            rows += [(Channel, True), (Channel1, True)]
        if shutil.which("setpriv") is None:
            rows = [r for r in rows if r[1]]
        for kind, privileged in rows:
            with self.subTest(daemon=kind.__name__, privileged=privileged):
                self.check(kind, privileged)

    def check(self, kind, privileged):
        ch = kind(self, media=[("a%d" % i, 1.0) for i in range(3)], start=False)
        if not privileged:
            ch.box.wrapper = NO_SYS_NICE
        ch.box.start()
        if kind is Channel1:
            # The first play hangs: its thread, started by the scheduler, lives on meanwhile.
            ch.io[0].script("MivraIO.Play", hang=True)
            plays = lambda: len(ch.io_calls("MivraIO.Play"))  # noqa: E731
        else:
            plays = lambda: len(ch.plays(0)) + len(ch.plays(1))  # noqa: E731
        t0 = next_second(1.5)
        ch.load([line(start=tc(t0), media="a0", dur=dur(1))] +
                [line(media="a%d" % i, dur=dur(1)) for i in (1, 2)])
        ch.call("MivraBox.Run", 0, 1)
        seen = set()
        while time.time() < t0 + 5 and plays() < 3:
            seen.add(realtime_priorities(ch.box.proc.pid))
            time.sleep(0.02)
        self.assertGreaterEqual(plays(), 3, ch.log()[-3000:])
        # One bus: its scheduler for the daemon's whole run; beside it MivraBox1's hanging play.
        if not privileged:
            self.assertEqual(seen, {()})
        elif kind is Channel1:
            self.assertTrue(all(p.count(10) == 1 and set(p) <= {9, 10} for p in seen), seen)
            self.assertIn(9, set().union(*seen))
        else:
            self.assertEqual(seen, {(10,)})
        self.assertEqual(ch.log().count(REFUSED), 0 if privileged else 1)
        ch.box.close()
