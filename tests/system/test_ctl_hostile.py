"""The control port under hostile input, for both daemons (one server frame): requests that
declare entities, nest deep or come in another encoding are refused before they are parsed,
replies of services and peers get the same checks, only the methods of the table answer, replies
stay well-formed XML whatever bytes the playlists hold, and idle half-sent requests neither
starve other clients nor stay open."""
import http.server
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import xmlrpc.client
import zlib

from harness import scaled  # the sanitizer builds' slowdown on the bounds of time
from helpers.box1_util import BOX1, Box1
from helpers.box2_util import BOX2, I8, Box, line, plain, wait_for

BOMB = """<?xml version="1.0"?>
<!DOCTYPE lolz [
 <!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
 <!ENTITY lol4 "&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;">
 <!ENTITY lol5 "&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;">
 <!ENTITY lol6 "&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;">
 <!ENTITY lol7 "&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;">
 <!ENTITY lol8 "&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;">
 <!ENTITY lol9 "&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;">
]>
<methodCall><methodName>MivraBox.SearchEvent</methodName><params>
<param><value><i4>0</i4></value></param><param><value><string>&lol9;</string></value></param>
<param><value><i4>0</i4></value></param><param><value><i4>1</i4></value></param>
</params></methodCall>"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def post(port, body, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    data = body.encode() if isinstance(body, str) else body
    try:
        s.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
                  % len(data) + data)
    except (ConnectionResetError, BrokenPipeError):
        pass  # the server may answer before it read a body past its size limit
    out = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        out += chunk
    s.close()
    return out


def body_of(reply):
    return reply.split(b"\r\n\r\n", 1)[1]


def fault_of(reply):
    """(code, text) of a fault reply; fails on anything that is not a well-formed fault."""
    try:
        xmlrpc.client.loads(body_of(reply))
    except xmlrpc.client.Fault as f:
        return f.faultCode, f.faultString
    raise AssertionError("no fault: %r" % reply[:300])


def nested(kind, depth):
    """A GetState call whose second parameter nests depth levels of one kind."""
    inner = {"elements": ("<x>", "</x>"),
             "arrays": ("<value><array><data>", "</data></array></value>"),
             "structs": ("<value><struct><member><name>m</name>",
                         "</member></struct></value>")}[kind]
    value = inner[0] * depth + "<value><i4>1</i4></value>" + inner[1] * depth
    return ("<?xml version=\"1.0\"?><methodCall><methodName>MivraBox.GetState</methodName>"
            "<params><param><value><i4>0</i4></value></param><param>%s</param></params>"
            "</methodCall>" % value)


def deep_reply(depth):
    return ("<?xml version=\"1.0\"?><methodResponse><params><param>"
            + "<value><array><data>" * depth + "</data></array></value>" * depth
            + "</param></params></methodResponse>").encode()


class DeepService:
    """Answers every POST with one reply nested 10,000 arrays deep; counts the calls."""

    def __init__(self, test):
        body = deep_reply(10000)
        owner = self
        self.calls = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                owner.calls.append(self.rfile.read(int(self.headers["Content-Length"])))
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.hostport = "127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        test.addCleanup(self.server.server_close)
        test.addCleanup(self.server.shutdown)


def rpc(box, method, *params):
    """The parsed reply of a call, read by Python's own XML-RPC parser."""
    reply = post(box.port, xmlrpc.client.dumps(tuple(params), method))
    return xmlrpc.client.loads(body_of(reply))[0][0]


def write_ply(folder, name, lines):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(b"".join(x + b"\n" for x in lines))


def run_daemon(binary, *args):
    with tempfile.TemporaryDirectory() as d:
        p = subprocess.run([binary, "--log-file-name=%s/x.log" % d, *args], cwd=d, timeout=10,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return p.returncode, p.stderr.decode(errors="replace")


class HostileTest(unittest.TestCase):
    def daemons(self):
        return [("MivraBox2", Box(self)), ("MivraBox1", Box1(self))]

    def test_entity_declarations_refused_in_every_encoding(self):
        iso = ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><methodCall><methodName>"
               "MivraBox.GetState</methodName><params><param><value><i4>0</i4></value></param>"
               "</params></methodCall>")
        u16 = BOMB.replace('version="1.0"', 'version="1.0" encoding="UTF-16"')
        u32 = BOMB.replace('version="1.0"', 'version="1.0" encoding="UTF-32"')
        cases = [  # body, fault text, log text
            (BOMB.encode(), "document type and entity declarations are not accepted",
             "declares a document type"),
            (u16.encode("utf-16"), "only UTF-8 and US-ASCII", "is neither UTF-8 nor US-ASCII"),
            (u16.encode("utf-16-le"), "only UTF-8 and US-ASCII", "is neither UTF-8 nor US-ASCII"),
            (u16.encode("utf-16-be"), "only UTF-8 and US-ASCII", "is neither UTF-8 nor US-ASCII"),
            (u32.encode("utf-32"), "only UTF-8 and US-ASCII", "is neither UTF-8 nor US-ASCII"),
            (iso.encode(), "only UTF-8 and US-ASCII", "is neither UTF-8 nor US-ASCII"),
        ]
        for name, box in self.daemons():
            for body, fault, logged in cases:
                with self.subTest(daemon=name, body=body[:60]):
                    cpu = cpu_seconds(box.proc.pid)
                    t = time.monotonic()
                    reply = post(box.port, body)
                    self.assertLess(time.monotonic() - t, scaled(1.0))
                    self.assertIn(fault, fault_of(reply)[1])
                    self.assertLess(cpu_seconds(box.proc.pid) - cpu, scaled(0.5))
                    self.assertTrue(box.wait_log("request from [127.0.0.1] " + logged, 3))
            with self.subTest(daemon=name):
                self.assertEqual(plain(box.call("MivraBox.GetState", 0))["result"], 0)
                # The same text escaped in a string, as clients send it, is an ordinary value;
                # so is an explicit UTF-8 declaration.
                r = plain(box.call("MivraBox.SearchEvent", 0, "<!DOCTYPE x>", 0, 1))
                self.assertEqual(r["result"], -2)
                ok = iso.replace("ISO-8859-1", "utf-8")
                self.assertEqual(xmlrpc.client.loads(body_of(post(box.port, ok)))[0][0]["result"],
                                 0)

    def test_nested_requests_refused(self):
        # XML size limits: xmlrpc-c's default, and the one MivraBox1 sets.
        limits = {"MivraBox2": 524288, "MivraBox1": 1048576}
        for name, box in self.daemons():
            for kind in ("elements", "arrays", "structs"):
                for depth in (100, 1000, 10000):
                    with self.subTest(daemon=name, kind=kind, depth=depth):
                        body = nested(kind, depth)
                        reply = post(box.port, body)
                        # A body past the size limit is refused unread; the rest gets a fault.
                        if len(body) <= limits[name]:
                            self.assertIn("nested too deep", fault_of(reply)[1])
                        self.assertEqual(rpc(box, "MivraBox.GetState", 0)["result"], 0)
            with self.subTest(daemon=name):
                self.assertTrue(box.wait_log("request from [127.0.0.1] nests elements too deep", 3))
                # Nesting that real calls use still passes.
                reply = post(box.port, nested("arrays", 8))
                self.assertNotIn("nested too deep", fault_of(reply)[1])

    def test_builtin_methods_refused(self):
        calls = [("system.multicall", ([{"methodName": "MivraBox.GetState", "params": [0]}],)),
                 ("system.listMethods", ()), ("system.methodHelp", ("MivraBox.GetState",)),
                 ("system.methodSignature", ("MivraBox.GetState",)), ("system.shutdown", ("x",)),
                 ("system.capabilities", ()), ("system.getCapabilities", ())]
        for name, box in self.daemons():
            for method, params in calls:
                with self.subTest(daemon=name, method=method):
                    self.assertEqual(
                        fault_of(post(box.port, xmlrpc.client.dumps(params, method))),
                        (1, "ctl_method_default: method %s not bypassed" % method))
            self.assertEqual(rpc(box, "MivraBox.GetState", 0)["result"], 0)

    def test_deep_replies_from_player_and_peer(self):
        svc = DeepService(self)
        boxes = [("MivraBox2", Box(self, bus_extra=["--io-a=" + svc.hostport])),
                 ("MivraBox1", Box1(self, bus_extra=["--io=" + svc.hostport,
                                                    "--peer-master-box=" + svc.hostport,
                                                    "--peer-slave-box=" + svc.hostport]))]
        for name, box in boxes:
            with self.subTest(daemon=name, via="relayed player call"):
                code, text = fault_of(post(box.port, xmlrpc.client.dumps((), "MivraIO.Status")))
                self.assertIn("nested too deep", text)
                self.assertEqual(rpc(box, "MivraBox.GetState", 0)["result"], 0)
        box = boxes[1][1]
        write_ply(box.paths[0], "show.ply", [line(media="m1").encode()])
        with self.subTest(via="peer download (SnapshotCurr)"):
            before = len(svc.calls)
            self.assertEqual(rpc(box, "MivraBox.LoadPlaylist", 0, "peer_master")["result"] < 0,
                             True)
            self.assertGreater(len(svc.calls), before)
        with self.subTest(via="push to the slave (SnapshotNew)"):
            self.assertEqual(rpc(box, "MivraBox.LoadPlaylist", 0, "show")["result"], 1)
            self.assertEqual(rpc(box, "MivraBox.AppendPlaylist", 0, "show")["result"], 1)
            self.assertTrue(box.wait_log("mivrabox_snapshot_new(http://%s/RPC2, 0) failed"
                                         % svc.hostport, 5), box.log_text()[-2000:])
        self.assertEqual(rpc(box, "MivraBox.GetState", 0)["result"], 0)

    def test_replies_stay_xml_whatever_bytes_the_playlists_hold(self):
        bad = b"t\x01i\x1bt"
        ev = line(media="m1", title="T").encode().replace(b"\tT\t", b"\t" + bad + b"\t")
        drop = tempfile.TemporaryDirectory()
        self.addCleanup(drop.cleanup)
        boxes = [("MivraBox2", Box(self)),
                 ("MivraBox1", Box1(self, bus_extra=["--auto-append=" + drop.name]))]
        for name, box in boxes:
            path = box.paths[0]
            write_ply(path, "show.ply", [ev, line(media="m\x01\x1b").encode()])
            write_ply(path, "n\x01\x1b.ply", [ev])
            self.assertEqual(rpc(box, "MivraBox.LoadPlaylist", 0, "show")["result"], 2)
            calls = [("MivraBox.GetState", 0), ("MivraBox.GetEvent", 0, 0),
                     ("MivraBox.GetEvents", 0, 0, 2), ("MivraBox.ListPlaylists", 0),
                     ("MivraBox.LibList", 0, 0), ("MivraBox.ErrorFlagList", 0, -1),
                     ("MivraBox.AbsentList", 0), ("MivraBox.SavePlaylist", 0, "copy")]
            if name == "MivraBox1":
                # A compressed body carries the bytes too; the snapshot of the playlist as well.
                body = xmlrpc.client.Binary(zlib.compress(ev + b"\0", 9))
                calls += [("MivraBox.InsertEvent", 0, body, I8(2)), ("MivraBox.SnapshotCurr", 0),
                          ("MivraBox.SnapshotGetEvent", 0, 0, 2)]
            for call in calls:
                with self.subTest(daemon=name, call=call[0]):
                    r = rpc(box, *call)  # raises on a reply that is not XML
                    self.assertGreaterEqual(r["result"], 0)
            self.assertIn("t?i?t", rpc(box, "MivraBox.GetEvent", 0, 0)["event"])
            names = [x[0] for x in rpc(box, "MivraBox.ListPlaylists", 0)["list"]]
            self.assertIn("n??", names)
            with open(os.path.join(path, "copy.ply"), "rb") as f:
                self.assertIn(bad, f.read())  # stored files keep their bytes
        # A dropped file so named becomes the last playlist, which every state carries.
        box = boxes[1][1]
        rpc(box, "MivraBox.ClosePlaylist", 0)
        write_ply(drop.name, ".t", [ev])
        os.rename(os.path.join(drop.name, ".t"), os.path.join(drop.name, "d\x01\x1b.ply"))
        self.assertTrue(wait_for(lambda: box.wait_log("d\x01\x1b", 0.1) and
                                 rpc(box, "MivraBox.GetState", 0)["state"]["count"] == 1, 5))
        self.assertIn("d??", str(rpc(box, "MivraBox.GetState", 0)["state"]))

    def test_playlist_and_snapshot_names_with_control_bytes_refused(self):
        names = ["a\nb", "a\tb", "\tx", "x\n"]
        for name, box in self.daemons():
            write_ply(box.paths[0], "ok.ply", [line().encode()])
            calls = [("MivraBox.SavePlaylist",), ("MivraBox.LoadPlaylist",),
                     ("MivraBox.AppendPlaylist",)]
            if name == "MivraBox1":
                self.assertEqual(rpc(box, "MivraBox.SnapshotNew", 0)["result"], 0)
                calls += [("MivraBox.SnapshotLoad",), ("MivraBox.SnapshotSave", 0)]
            for call in calls:
                for bad in names:
                    with self.subTest(daemon=name, call=call[0], name=bad):
                        self.assertEqual(rpc(box, call[0], 0, *call[1:], bad)["result"], -22)
            self.assertEqual(sorted(os.listdir(box.paths[0])), ["ok.ply"])

    def test_event_lines_whose_timecodes_overflow(self):
        lines = [line(start="-2147483648:00:00:00", mode="F"), line(dur="00:00:00:99999999999"),
                 line(mark_in="2147483647:00:00:00"), line(start="99999:00:00:00", mode="F")]
        for name, box in self.daemons():
            for text in lines:
                with self.subTest(daemon=name, line=text):
                    body = text if name == "MivraBox2" else xmlrpc.client.Binary(
                        zlib.compress(text.encode() + b"\0", 9))
                    self.assertEqual(rpc(box, "MivraBox.InsertEvent", 0, body, I8(0))["result"],
                                     -84)
            self.assertEqual(rpc(box, "MivraBox.GetState", 0)["state"]["count"], 0)

    def test_clock_advance_bounds(self):
        box = Box1(self)
        century = 36525 * 86400 * 1000  # ms
        cases = [("9223372036854775", -22), ("%d" % (century + 1), -22), ("%d" % century, 0),
                 ("+1", -22), ("-%d" % (2 * century + 1), -22), ("-%d" % (2 * century), 0),
                 ("-1", -22), ("-%d" % (century + 1), -22), ("0", 0), ("+3600000", 0),
                 ("-3600000", 0)]
        for text, want in cases:
            with self.subTest(advance=text):
                self.assertEqual(rpc(box, "MivraBox.SetTimeofdayAdvance", text)["result"], want)
        self.assertEqual(rpc(box, "MivraBox.SetTimeofdayAdvance", "0")["advance"], 0)
        code, err = run_daemon(BOX1, "--gettimeofday-advance=9223372036854775807")
        self.assertEqual(code, 255)
        self.assertIn("ERROR: Incorrect argument! [--gettimeofday-advance=", err)

    def test_port_bounds(self):
        for binary in (BOX2, BOX1):
            for port in ("abc", "99999", "0", "-1", "", "80x", "+80", "065536"):
                with self.subTest(daemon=os.path.basename(binary), port=port):
                    code, err = run_daemon(binary, "--port=" + port)
                    self.assertEqual(code, 255)
                    self.assertIn("ERROR: Incorrect argument! [--port=%s]" % port, err)
                    self.assertIn("Usage:", err)

    def test_getevents2_past_its_budget(self):
        box = Box1(self)
        write_ply(box.paths[0], "long.ply", [line(media="m%d" % i, title="x" * 3000).encode()
                                             for i in range(1000)])
        self.assertEqual(rpc(box, "MivraBox.LoadPlaylist", 0, "long")["result"], 1000)
        want = [[I8(i % 1000)] for i in range(14000)]
        t = time.monotonic()
        r = rpc(box, "MivraBox.GetEvents2", 0, want)
        # The count of entries proves the budget; the time only catches a walk that stalls
        # (a busy machine answers in a second or two).
        self.assertLess(time.monotonic() - t, scaled(20.0))
        self.assertEqual(r["result"], 0)
        self.assertTrue(0 < len(r["events"]) < 1000)
        self.assertEqual(r["state"]["er"][4], 13999 % 1000)  # the last item's state
        # Past the budget an index past the end still decides the result.
        self.assertEqual(rpc(box, "MivraBox.GetEvents2", 0, want + [[I8(1000)]]), {"result": -34})
        reply = post(box.port, xmlrpc.client.dumps((0, 1), "MivraBox.GetEvents2"))
        self.assertEqual(fault_of(reply)[0], -501)
        self.assertTrue(box.wait_log(
            "ctl_method_GetEvents2: xmlrpc_decompose_value('bus idx','idxs') failed", 3))

    def test_idle_half_sent_requests(self):
        box = Box1(self)
        idle = []
        for _ in range(100):
            s = socket.create_connection(("127.0.0.1", box.port), timeout=15)
            s.sendall(b"POST /RPC2 HTTP/1.1\r\nContent-Length: 1000\r\n\r\n<?xml")
            idle.append(s)
        self.addCleanup(lambda: [s.close() for s in idle])
        t = time.monotonic()
        rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % box.port)
        self.assertEqual(rpc.MivraBox.GetState(0)["result"], 0)
        self.assertLess(time.monotonic() - t, scaled(3.0))
        # The daemon lets them go after its read time-out.
        closed = 0
        deadline = time.monotonic() + 10
        for s in idle:
            s.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                if s.recv(100) is not None:
                    closed += 1
            except (ConnectionResetError, BrokenPipeError):
                closed += 1
            except socket.timeout:
                pass
        self.assertEqual(closed, 100)


if __name__ == "__main__":
    unittest.main()
