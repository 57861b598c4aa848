"""Starting MivraBox2 from options files and talking to it with exact XML-RPC wire types."""
import http.client
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import xmlrpc.client

from harness import TIME_SCALE

BUILD = os.environ.get("MIVRA_BUILD", os.path.join(os.path.dirname(__file__), "../../../build/default"))
BOX2 = os.path.join(BUILD, "src", "box2", "MivraBox2")


class I8(int):
    """An int sent as <i8>."""


def _dump_i8(marshaller, value, write):
    write("<value><i8>%d</i8></value>" % int(value))


xmlrpc.client.Marshaller.dispatch[I8] = _dump_i8


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(pred, timeout=5.0, step=0.02):
    deadline = time.monotonic() + timeout * TIME_SCALE
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() > deadline:
            return v
        time.sleep(step)


def line(start="10:00:00:00", mode=" ", mark_in="", mark_out="", dur="00:00:10:00", etype="C",
         media="clip1", title="", assets="", follow="", tag="", meta="", amap="", aamp="", ar=""):
    return "\t".join([start, mode, mark_in, mark_out, dur, etype, media, title, assets, follow,
                      tag, meta, amap, aamp, ar])


def _typed(value):
    """(type, python value) tree of one <value> element, as it was on the wire."""
    kids = list(value)
    if not kids:
        return ("string", value.text or "")
    k = kids[0]
    tag = k.tag
    if tag in ("int", "i4"):
        return ("i4", int(k.text))
    if tag == "i8":
        return ("i8", int(k.text))
    if tag == "string":
        return ("string", k.text or "")
    if tag == "boolean":
        return ("boolean", k.text == "1")
    if tag == "double":
        return ("double", float(k.text))
    if tag == "base64":
        return ("base64", k.text)
    if tag == "array":
        return ("array", [_typed(v) for v in k.find("data").findall("value")])
    if tag == "struct":
        return ("struct", {m.find("name").text: _typed(m.find("value")) for m in k.findall("member")})
    return (tag, k.text)


def plain(t):
    """The python value of a typed tree."""
    kind, v = t
    if kind == "array":
        return [plain(x) for x in v]
    if kind == "struct":
        return {k: plain(x) for k, x in v.items()}
    return v


class Box:
    """One MivraBox2 process with its own folder, options file and control port."""

    binary = BOX2
    wrapper = ()  # command the daemon is started under (e.g. one dropping privileges)

    def __init__(self, test, buses=1, extra=(), bus_extra=(), args=(), start=True):
        self.test = test
        self.tmp = tempfile.TemporaryDirectory(prefix=os.path.basename(self.binary) + "-")
        self.dir = self.tmp.name
        self.port = free_port()
        self.log = os.path.join(self.dir, "box.log")
        self.paths = []
        lines = ["--port=%d" % self.port, "--log-file-name=%s" % self.log]
        lines += list(extra)
        for i in range(buses):
            p = os.path.join(self.dir, "bus%d" % i)
            os.mkdir(p)
            self.paths.append(p)
            lines += ["--add-bus", "--path=%s" % p, "--current=current.ply", "--arl-ext=arl"]
            lines += list(bus_extra)
        self.conf = os.path.join(self.dir, "box.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.args = list(args) or [self.conf]
        self.proc = None
        test.addCleanup(self.close)
        if start:
            self.start()

    def launch(self):
        """Starts the process without waiting for its control port."""
        env = dict(os.environ, TZ=os.environ.get("TZ", "UTC"), TC_MODE="pal")
        self.err = open(os.path.join(self.dir, "stderr.txt"), "wb")
        self.proc = subprocess.Popen([*self.wrapper, self.binary] + self.args, cwd=self.dir, env=env,
                                     stdout=subprocess.DEVNULL, stderr=self.err)

    def start(self):
        # The port was free when it was picked, yet another test's process may take it before the
        # daemon binds it (and answer in its place): the daemon then ends at once and is started
        # again on another port. With its own options file it logs once it holds the port.
        own_conf = self.args == [self.conf]
        for attempt in range(3):
            self.launch()
            ok = wait_for(lambda: self.proc.poll() is not None or (
                self._answers() and (not own_conf or "main: starting busses" in self.log_text())),
                10)
            if (self.proc.poll() is None or not own_conf or attempt == 2
                    or "Failed to init control interface" not in self.log_text()):
                break
            self.proc.wait()
            self.err.close()
            old, self.port = self.port, free_port()
            with open(self.conf) as f:
                text = f.read().replace("--port=%d\n" % old, "--port=%d\n" % self.port)
            with open(self.conf, "w") as f:
                f.write(text)
        self.test.assertIsNone(self.proc.poll(), "daemon ended early: " + self.log_text())
        self.test.assertTrue(ok)
        self.rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % self.port)

    def _answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                return True
        except OSError:
            return False

    def call(self, method, *params):
        """Typed reply tree of a call, or ('fault', (code, text))."""
        body = xmlrpc.client.dumps(tuple(params), method).encode()
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            c.request("POST", "/RPC2", body, {"Content-Type": "text/xml"})
            data = c.getresponse().read()
        finally:
            c.close()
        root = ET.fromstring(data)
        fault = root.find("fault")
        if fault is not None:
            f = plain(_typed(fault.find("value")))
            return ("fault", (f["faultCode"], f["faultString"]))
        return _typed(root.find("params/param/value"))

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=10):
        try:
            return self.proc.wait(timeout * TIME_SCALE)
        except subprocess.TimeoutExpired:
            return None

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, text, timeout=5):
        return wait_for(lambda: text in self.log_text(), timeout)

    def close(self):
        rc = None
        if self.proc:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                if self.wait(10) is None:
                    self.proc.kill()
                    self.proc.wait()
            rc = self.proc.returncode
            self.err.close()
            with open(os.path.join(self.dir, "stderr.txt"), errors="replace") as f:
                err = f.read()
            self.proc = None
        self.tmp.cleanup()
        # A clean shut-down ends with 0; sanitizer reports would change that.
        if rc is not None:
            self.test.assertEqual(rc, 0, err[-3000:])

