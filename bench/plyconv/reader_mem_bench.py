#!/usr/bin/env python3
"""Peak resident memory of each reader program converting a generated schedule, per MB of the
file, beside the file's size measured in the same run. A reader should hold no more than a small
multiple of its input (aim: under 3 times). Each reads a schedule of BENCH_MB (100) MB; the XML
readers stream their documents, one record at a time, so theirs stays near the process's own.

    MIVRA_BUILD=build/default python3 bench/plyconv/reader_mem_bench.py
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from summary import summary  # noqa: E402

BUILD = os.path.abspath(os.environ.get("MIVRA_BUILD", "build/default"))
MB = int(os.environ.get("BENCH_MB", "100"))

ABCVS_HEADER = ("StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;"
                "TcIn;EvsCount;Type_1;Scenario_1;offset_1;duration_1;ExtParams_1;Type_2;"
                "Scenario_2;offset_2;duration_2;ExtParams_2\r\n")
ABCVS_ROW = ("Clock;01/03/2024;06:30:00:12;Morning news;NEWS_0001.mxf;RK7;00:10:00:00;HD;"
             "10:00:00:00;1;N;LOGO;;;;;;;;\r\n")


def landscape_line():
    b = [" "] * 273
    for col, text in ((1, "06300000"), (16, "F"), (33, "Morning news"), (55, "C"),
                      (81, "10000000"), (110, "ABC123"), (158, "0903000"), (169, "TAG"),
                      (243, "-1--------- ---A")):
        b[col:col + len(text)] = text
    return "".join(b) + "\n"


SGT_HEAD = ('<?xml version="1.0" encoding="utf-8"?>\n<Envelope><Body><ImportPlaylist>'
            "<ImportPlaylist.Message><Playlist><Channel>KTV1</Channel>"
            "<BroadcastDate>2024-03-01</BroadcastDate><Name>PL_ABC123</Name>")
SGT_LINE = ('<Lines Date="2024-03-01T06:30:00.480" StartType="Clock" Duration="00:00:30.000">'
            '<IdControlProtocol TcIn="10:00:00:00" TcOut="10:00:30:00" Idcp="CLIP1"/>'
            "<Title>JINGLES NOEL</Title><EventId>42</EventId></Lines>\n")
SGT_TAIL = "</Playlist></ImportPlaylist.Message></ImportPlaylist></Body></Envelope>\n"

CHYRO_SCHEDULE = ('<schedule id="42" startmode="CLOCK" startdate="1709251200" starttime="900" '
                  'timescale="25"><program>Morning</program><category>PUB</category>'
                  "<file><name>clip.mxf</name>"
                  '<timecode tcin="250" tcout="1000" duration="750"/></file></schedule>\n')

EPG_PROGRAM = ("<PROGRAM><START_TIME>20:45</START_TIME><DURATION>01:30</DURATION>"
               "<TITRE>Match of the day</TITRE></PROGRAM>\n")

BXF_EVENT = ('<ScheduledEvent><ScheduleElements><Content><Name>Film</Name><ContentId>'
             "<HouseNumber>H7</HouseNumber></ContentId></Content>"
             '<EventData eventType="Primary"><EventTitle>News</EventTitle>'
             "<StartMode>Fixed</StartMode><LengthOption><Duration><SmpteDuration>"
             "<SmpteTimeCode>00:30:00:00</SmpteTimeCode></SmpteDuration></Duration>"
             '</LengthOption><StartDateTime><SmpteDateTime broadcastDate="2024-03-01">'
             "<SmpteTimeCode>10:00:00:00</SmpteTimeCode></SmpteDateTime></StartDateTime>"
             "</EventData></ScheduleElements></ScheduledEvent>\n")

# Program, extra arguments after source and destination, (head, repeated unit, tail).
READERS = [
    ("abcvsreader", [], (ABCVS_HEADER, ABCVS_ROW, "")),
    ("landscapereader", ["types.txt", "layers.txt"], ("", landscape_line(), "")),
    ("sgtreader", [], (SGT_HEAD, SGT_LINE, SGT_TAIL)),
    ("chyroreader", [], ('<?xml version="1.0"?>\n<chyro_playlist version="1.9">\n',
                         CHYRO_SCHEDULE, "</chyro_playlist>\n")),
    ("epgreader", [], ('<?xml version="1.0" encoding="utf-8"?>\n<EPG><BROADCAST_DAY>'
                       "<TX_DAY>2024-03-05</TX_DAY>\n", EPG_PROGRAM,
                       "</BROADCAST_DAY></EPG>\n")),
    ("bxfreader", [], ('<?xml version="1.0"?>\n<BxfMessage><BxfData><Schedule>'
                       "<ScheduleName>Main</ScheduleName>\n", BXF_EVENT,
                       "</Schedule></BxfData></BxfMessage>\n")),
]


def generate(path, head, unit, tail, size):
    count = max(1, (size - len(head) - len(tail)) // len(unit))
    block = unit * 1000
    with open(path, "w", encoding="utf-8") as f:
        f.write(head)
        for _ in range(count // 1000):
            f.write(block)
        f.write(unit * (count % 1000))
        f.write(tail)
    return os.path.getsize(path)


def peak_rss_kb(argv, cwd):
    """(exit status, peak resident kB, seconds) of one run of argv."""
    t = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_maxrss, time.monotonic() - t


def main():
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "types.txt"), "w") as f:
            f.write("C 2000000000000000 /media/clips\n")
        with open(os.path.join(tmp, "layers.txt"), "w") as f:
            f.write("1 2 LOGO\n2 1 CLOCK\n16 A TICKER\n")
        for name, extra, (head, unit, tail) in READERS:
            src = os.path.join(tmp, "source")
            dst = os.path.join(tmp, "out.ply")
            size = generate(src, head, unit, tail, MB * 1024 * 1024)
            binary = os.path.join(BUILD, "src", "converters", "readers", name)
            status, rss, secs = peak_rss_kb([binary, src, dst, *extra], tmp)
            out = os.path.getsize(dst) if os.path.exists(dst) else 0
            file_mb = size / (1024 * 1024)
            rss_mb = rss / 1024
            print("%-16s file %7.1f MB  peak RSS %8.1f MB  %.2f MB per MB  output %7.1f MB  "
                  "%.1f s  exit %d" % (name, file_mb, rss_mb, rss_mb / file_mb,
                                       out / (1024 * 1024), secs, status), flush=True)
            if status != 0 or out == 0:
                failed = True
            summary("%s peak RSS" % name, "%.0f MB" % rss_mb, "%.0f MB (file size)" % file_mb,
                    rss_mb / file_mb, "lower (memory)")
            for p in (src, dst):
                if os.path.exists(p):
                    os.unlink(p)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
