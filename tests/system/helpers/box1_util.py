"""A MivraBox1 channel against the fakes: one playout engine, a media library, one bus."""
import os

from helpers.box2_air_util import BusChannel
from helpers.box2_util import BUILD, Box, wait_for

BOX1 = os.path.join(BUILD, "src", "box1", "MivraBox1")


class Box1(Box):
    binary = BOX1


class Channel1(BusChannel):
    """The fakes and one MivraBox1 bus wired to them: one player."""

    box_class = Box1
    players = 1

    def player_options(self):
        return ["--io=%s" % self.io[0].hostport]

    def io_calls(self, which=""):
        return self.io[0].calls(which)


__all__ = ["BOX1", "Box1", "Channel1", "wait_for"]
