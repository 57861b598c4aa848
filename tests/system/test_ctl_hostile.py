"""The control port under hostile input, for both daemons (one server frame): a request that
declares entities is refused before it is parsed, and idle half-sent requests neither starve
other clients nor stay open."""
import os
import socket
import time
import unittest
import xmlrpc.client

from test_box1_util import Box1
from test_box2_util import Box, plain

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
    data = body.encode()
    s.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
              % len(data) + data)
    out = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        out += chunk
    s.close()
    return out


class HostileTest(unittest.TestCase):
    def daemons(self):
        return [("MivraBox2", Box(self)), ("MivraBox1", Box1(self))]

    def test_entity_declarations_refused_before_parsing(self):
        for name, box in self.daemons():
            with self.subTest(daemon=name):
                cpu = cpu_seconds(box.proc.pid)
                t = time.monotonic()
                reply = post(box.port, BOMB)
                self.assertLess(time.monotonic() - t, 1.0)
                self.assertIn(b"<fault>", reply)
                self.assertIn(b"document type and entity declarations are not accepted", reply)
                self.assertLess(cpu_seconds(box.proc.pid) - cpu, 0.5)
                self.assertTrue(box.wait_log("request from [127.0.0.1] declares a document type, "
                                             "refused", 3))
                self.assertEqual(plain(box.call("MivraBox.GetState", 0))["result"], 0)
                # The same text escaped in a string, as clients send it, is an ordinary value.
                r = plain(box.call("MivraBox.SearchEvent", 0, "<!DOCTYPE x>", 0, 1))
                self.assertEqual(r["result"], -2)

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
        self.assertLess(time.monotonic() - t, 3.0)
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
