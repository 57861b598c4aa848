"""The fake service base and the playout engine fake: what later tests rely on."""

import http.client
import os
import socket
import subprocess
import sys
import threading
import time
import unittest
import xml.parsers.expat
import xmlrpc.client

SRC = os.environ.get("MIVRA_SRC", os.path.join(os.path.dirname(__file__), "..", ".."))
FAKES = os.path.join(SRC, "tests", "fakes")
sys.path.insert(0, FAKES)

from fake_base import I8, FakeService, Personality  # noqa: E402
from io_fake import IOEngine  # noqa: E402


class Echo(Personality):
    namespace = "Echo"

    def Back(self, *args):
        return {"result": 0, "args": list(args)}


def post_raw(port, body):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("POST", "/RPC2", body, {"Content-Type": "text/xml"})
    data = conn.getresponse().read().decode()
    conn.close()
    return data


class FakeBaseTest(unittest.TestCase):
    def setUp(self):
        self.fake = FakeService([IOEngine(), Echo()]).start()
        self.addCleanup(self.fake.stop)
        self.proxy = xmlrpc.client.ServerProxy(self.fake.url, allow_none=True)

    def test_typed_log_keeps_wire_types(self):
        self.proxy.Echo.Back(1, I8(2), 1.5, "s", {"a": [I8(3)]}, xmlrpc.client.Binary(b"\0x"))
        (call,) = self.fake.calls("Echo.Back")
        self.assertEqual(call["sig"], 'Echo.Back(i4:1,i8:2,double:1.5,string:"s",'
                                      'struct{a=array[i8:3]},base64:AHg=)')
        self.assertEqual([p.type for p in call["params"]],
                         ["i4", "i8", "double", "string", "struct", "base64"])
        self.assertEqual(call["args"][4], {"a": [3]})
        self.assertAlmostEqual(call["time"], time.time(), delta=5)
        # A value without a type element is a string on the wire.
        post_raw(self.fake.port, "<?xml version='1.0'?><methodCall><methodName>Echo.Back"
                                 "</methodName><params><param><value>bare</value></param>"
                                 "</params></methodCall>")
        self.assertEqual(self.fake.sigs("Echo.Back")[1], 'Echo.Back(string:"bare")')

    def test_i8_members_travel_as_i8(self):
        body = post_raw(self.fake.port, xmlrpc.client.dumps(("clip",), "MivraIO.LibBasenameItem"))
        self.assertIn("<name>cache_shm_id</name>\n<value><i8>4294967300</i8>", body)
        # Scripts sent over XML-RPC keep their i8 members.
        self.proxy.Fake.Script("MivraIO.Play", {"set": {"big": I8(5)}})
        self.assertIn("<i8>5</i8>", post_raw(self.fake.port,
                                             xmlrpc.client.dumps((), "MivraIO.Play")))

    def test_scripts(self):
        f, p = self.fake, self.proxy
        f.script("MivraIO.Stop", set={"result": "0", "extra": 1}, omit=["nothing"])
        self.assertEqual(p.MivraIO.Stop(), {"result": "0", "extra": 1})
        self.assertEqual(p.MivraIO.Stop(), {"result": 0})  # one call per script by default
        f.script("MivraIO.GetStatus", omit=["name", "cookie"], times=2)
        for _ in range(2):
            self.assertNotIn("name", p.MivraIO.GetStatus())
        self.assertIn("name", p.MivraIO.GetStatus())
        f.script("MivraIO.Pause", reply=[1, 2], times=0)
        self.assertEqual(p.MivraIO.Pause(), [1, 2])
        self.assertEqual(p.MivraIO.Pause(), [1, 2])
        f.script("MivraIO.Play", fault=[4, "no"])
        with self.assertRaises(xmlrpc.client.Fault) as e:
            p.MivraIO.Play()
        self.assertEqual(e.exception.faultCode, 4)
        f.script("MivraIO.Play", raw="not xml")
        with self.assertRaises(xml.parsers.expat.ExpatError):
            p.MivraIO.Play()
        with self.assertRaises(xmlrpc.client.Fault):
            p.Nowhere.Play()
        f.reset()
        self.assertEqual(f.calls(), [])
        self.assertEqual(p.MivraIO.Pause(), {"result": 0})

    def test_delay_silence_drop_and_in_flight(self):
        f = self.fake
        f.script("MivraIO.Play", delay=0.3, times=3)
        threads = [threading.Thread(target=lambda: xmlrpc.client.ServerProxy(f.url)
                                    .MivraIO.Play()) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        self.assertEqual(f.stats()["max_in_flight"], 3)
        f.script("MivraIO.Stop", silence=True)
        out = []

        def silent():
            try:
                xmlrpc.client.ServerProxy(f.url).MivraIO.Stop()
            except xmlrpc.client.Fault as e:
                out.append(e.faultString)

        t = threading.Thread(target=silent)
        t.start()
        self.assertEqual(f.wait_calls(1, 5, "MivraIO.Stop"), 1)
        self.assertEqual(f.stats()["in_flight"], 1)
        f.release()
        t.join(10)
        self.assertEqual(out, ["released"])
        f.script("MivraIO.Stop", drop=True, times=2)  # the client retries once
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            xmlrpc.client.ServerProxy(f.url).MivraIO.Stop()

    def test_udp_datagrams_on_the_same_port(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.sendto(b"MivraIO.Play\0", ("127.0.0.1", self.fake.port))
        s.close()
        self.assertEqual(self.fake.wait_datagrams(1, 5), 1)
        d = self.fake.datagrams()[0]
        self.assertEqual(d["data"], b"MivraIO.Play\0")
        self.assertAlmostEqual(d["time"], time.time(), delta=5)
        (remote,) = self.proxy.Fake.Datagrams()
        self.assertEqual(remote["data"].data, b"MivraIO.Play\0")

    def test_engine_keeps_its_playlist(self):
        p = self.proxy.MivraIO
        p.PlaylistInsert(0, "b", 0, 10, "", "", "")
        p.PlaylistInsert(0, "a", 5, 20, "", "", "")
        self.assertEqual(p.PlaylistRemove(7)["result"], -34)
        items = p.PlaylistItems()
        self.assertEqual([(i["name"], i["start"]) for i in items["list"]], [("a", 0), ("b", 20)])
        self.assertEqual(p.GetStatus()["playlist_count"], 2)
        self.proxy.Fake.SetAbsent(["gone"])
        self.assertEqual(p.LibBasenameItem("gone")["result"], -2)


class FakeProcessTest(unittest.TestCase):
    def test_runs_as_a_child_and_ends_with_its_stdin(self):
        proc = subprocess.Popen([sys.executable, os.path.join(FAKES, "fake.py"), "--port", "0",
                                 "--watch-stdin", "io"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        try:
            port = int(proc.stdout.readline())
            proxy = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port)
            proxy.Fake.Script("MivraIO.Play", {"set": {"result": -5}})
            self.assertEqual(proxy.MivraIO.Play(), {"result": -5})
            self.assertEqual(proxy.Fake.Calls(), ["MivraIO.Play()"])
            self.assertEqual(proxy.Fake.WaitCalls(1, 1.0), 1)
            proc.stdin.close()
            self.assertEqual(proc.wait(timeout=10), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    unittest.main()
