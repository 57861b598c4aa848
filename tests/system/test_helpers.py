"""The shared helpers and the playout engine fake checked on their own: the typed reply reader
the MivraBox2 tests rely on, and the engine fake's player state."""
import socket
import unittest
import xml.etree.ElementTree as ET
import xmlrpc.client

from helpers.box2_util import I8, _typed, plain, wait_for
from helpers.box2_air_util import FakeService, IOEngine


class TypedReplyTest(unittest.TestCase):
    """The typed reader that the MivraBox2 tests rely on for wire types."""

    def test_types(self):
        body = xmlrpc.client.dumps(({"a": I8(5), "b": 3, "c": ["x"]},), methodresponse=True)
        v = _typed(ET.fromstring(body).find("params/param/value"))
        self.assertEqual(v, ("struct", {"a": ("i8", 5), "b": ("i4", 3),
                                        "c": ("array", [("string", "x")])}))
        self.assertEqual(plain(v), {"a": 5, "b": 3, "c": ["x"]})


class IOFakeStateTest(unittest.TestCase):
    """The engine fake follows the cue calls and the fast play datagram."""

    def test_player_state(self):
        io = FakeService([IOEngine()]).start()
        self.addCleanup(io.stop)
        p = io.personalities["MivraIO"]
        p.Stop()
        p.PlaylistLoop(0)
        p.PlaylistInsert(0, "a.mxf", 0, 49, "", "", "")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"MivraIO.Play\0", ("127.0.0.1", io.port))
        self.assertEqual(io.wait_datagrams(1, 5), 1)
        self.assertTrue(wait_for(lambda: p.status == 1, 5))
        self.assertEqual([h[1:] for h in p.Fake_History()],
                         [["stop", ""], ["loop 0", ""], ["insert", "a.mxf"], ["play", "a.mxf"]])
        self.assertEqual(p.Fake_State()["playlist"][0]["dur"], 49)
