"""Base of the fake outside services: a threaded XML-RPC server on a free loopback port with a
typed call log and scripted replies, and optionally a UDP receiver on the same port number.

A fake serves one or more personalities; each answers the methods of one namespace
("MivraIO.Play" goes to the personality whose namespace is "MivraIO", method Play). Tests script
replies per method and read the log, in process through FakeService, or from another process
through the control methods under "Fake." (see FakeService._control).

Reply scripts (a dict; the control method takes the same as an XML-RPC struct):
    reply    the whole value to answer instead of the personality's
    set      members put into (or replaced in) the struct reply: extra or mistyped members
    omit     names of members taken out of the struct reply: missing members
    fault    [code, text]: answer an XML-RPC fault
    raw      the response body, as text, sent as it is
    delay    seconds to wait before answering
    silence  true: answer nothing until released (Fake.Release, stop), then answer the fault
             -32000 "released"
    drop     true: close the connection without an answer (a client may retry once on a fresh
             connection: script times 2 to refuse the retry too)
    hang     true: accept the call and never answer, like a crashed but listening service; the
             connection is closed without a reply when the fake stops (Release does not end it)
    args     the script serves only calls whose first parameters equal these (plain values);
             calls that do not match pass it by
    times    how many calls the script serves (default 1; 0 = every call until reset)
"""

import base64
import collections
import json
import socket
import struct
import sys
import threading
import time
import xml.etree.ElementTree as ET
import xmlrpc.client
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Linux value; the socket module does not name it.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


class I8(int):
    """An int that travels as <i8> (64-bit members)."""


def _dump_i8(marshaller, value, write):
    write("<value><i8>%d</i8></value>\n" % int(value))


def _end_i8(unmarshaller, data):
    unmarshaller.append(I8(int(data)))
    unmarshaller._value = 0


xmlrpc.client.Marshaller.dispatch[I8] = _dump_i8
# Scripts that reach a fake over XML-RPC keep their 64-bit members as I8.
xmlrpc.client.Unmarshaller.dispatch["i8"] = _end_i8


Typed = collections.namedtuple("Typed", "type value")


def _typed(value_elem):
    """The XML-RPC value of a <value> element with its wire type kept."""
    children = list(value_elem)
    if not children:
        return Typed("string", value_elem.text or "")
    e = children[0]
    tag = e.tag
    if tag in ("i4", "int"):
        return Typed("i4", int(e.text))
    if tag == "i8":
        return Typed("i8", I8(int(e.text)))
    if tag == "string":
        return Typed("string", e.text or "")
    if tag == "double":
        return Typed("double", float(e.text))
    if tag == "boolean":
        return Typed("boolean", e.text.strip() == "1")
    if tag == "base64":
        return Typed("base64", base64.b64decode(e.text or ""))
    if tag == "struct":
        members = collections.OrderedDict()
        for m in e.findall("member"):
            members[m.findtext("name")] = _typed(m.find("value"))
        return Typed("struct", members)
    if tag == "array":
        return Typed("array", [_typed(v) for v in e.findall("data/value")])
    if tag == "nil":
        return Typed("nil", None)
    return Typed(tag, e.text)


def plain(t):
    """A typed value as plain Python values (I8 for i8)."""
    if t.type == "struct":
        return {k: plain(v) for k, v in t.value.items()}
    if t.type == "array":
        return [plain(v) for v in t.value]
    return t.value


def sig(t):
    """Canonical text of a typed value, e.g. i4:3, string:"a", struct{a=string:"1"}."""
    if t.type == "struct":
        return "struct{" + ",".join("%s=%s" % (k, sig(v)) for k, v in t.value.items()) + "}"
    if t.type == "array":
        return "array[" + ",".join(sig(v) for v in t.value) + "]"
    if t.type == "string":
        return "string:" + json.dumps(t.value, ensure_ascii=False)
    if t.type == "base64":
        return "base64:" + base64.b64encode(t.value).decode()
    if t.type == "boolean":
        return "boolean:%d" % t.value
    if t.type == "double":
        return "double:%r" % t.value
    return "%s:%s" % (t.type, t.value)


def _selects(which, method):
    if not which:
        return True
    return method.startswith(which) if which.endswith(".") else method == which


def parse_call(body):
    """(method, [typed params]) of a methodCall body."""
    root = ET.fromstring(body)
    method = (root.findtext("methodName") or "").strip()
    return method, [_typed(p) for p in root.findall("params/param/value")]


class Personality:
    """One namespace of a fake: methods named after the wire methods (an upper-case first
    letter) take the plain parameters and return the reply value."""

    namespace = ""
    udp = False  # whether the fake also listens for datagrams on its port number

    def __init__(self):
        self.service = None
        self.lock = threading.RLock()

    def reset(self):
        """Back to the starting state (Fake.Reset)."""

    def datagram(self, data):
        """A datagram that arrived on the fake's port (called with the personality's lock)."""

    def handler(self, name):
        if not name[:1].isupper():
            return None
        return getattr(self, name, None)


class _Silenced(Exception):
    pass


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        self.server.fake._track(self.request, True)
        # Headers and body go out in two writes: without this, delayed ACKs add 40 ms a call.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        out = self.server.fake._handle(body, self.path)
        if out is None:
            self.close_connection = True
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.fake._track(self.request, False)

    def log_message(self, *args):
        pass


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 256
    allow_reuse_address = False


class _ReusableHTTPServer(_HTTPServer):
    allow_reuse_address = True


class FakeService:
    def __init__(self, personalities, host="127.0.0.1", port=0, udp=None, reuse_address=False):
        self.personalities = {}
        for p in personalities:
            p.service = self
            self.personalities[p.namespace] = p
        self.host = host
        self.want_udp = any(p.udp for p in personalities) if udp is None else udp
        self._port = port
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._release = threading.Event()
        self._stopped = threading.Event()
        self._log = []
        self._datagrams = []
        self._scripts = collections.defaultdict(list)
        self._in_flight = 0
        self._max_in_flight = 0
        self._http = None
        self._udp = None
        self._threads = []
        # A fake started again on the port of one that was killed binds despite TIME_WAIT.
        self.reuse_address = reuse_address
        self._conns = set()

    # --- life cycle ---

    def start(self):
        for _ in range(50):
            cls = _ReusableHTTPServer if self.reuse_address else _HTTPServer
            http = cls((self.host, self._port), _Handler)
            http.fake = self
            port = http.server_address[1]
            if not self.want_udp:
                break
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                udp.bind((self.host, port))
            except OSError:
                udp.close()
                http.server_close()
                if self._port:
                    raise
                continue
            self._udp = udp
            break
        else:
            raise OSError("no port free for both TCP and UDP")
        self._http = http
        self.port = port
        self.url = "http://%s:%d/RPC2" % (self.host, port)
        self.hostport = "%s:%d" % (self.host, port)
        t = threading.Thread(target=http.serve_forever, kwargs={"poll_interval": 0.05},
                             daemon=True)
        t.start()
        self._threads.append(t)
        if self._udp:
            t = threading.Thread(target=self._udp_loop, daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        self._release.set()
        self._stopped.set()
        if self._http:
            self._http.shutdown()
            self._http.server_close()
        if self._udp:
            udp, self._udp = self._udp, None
            try:
                udp.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            udp.close()
        for t in self._threads:
            t.join(timeout=2)

    def kill(self):
        """Stops like a crashed service: also the open connections are cut."""
        self.stop()
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _track(self, conn, opened):
        with self._lock:
            if opened:
                self._conns.add(conn)
            else:
                self._conns.discard(conn)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- what tests use ---

    def script(self, method, **plan):
        """Queues a reply script for method (see the module text)."""
        with self._lock:
            self._scripts[method].append(dict(plan))

    def calls(self, which=""):
        """Logged calls of a method, of a namespace ("MivraIO."), or all (""): dicts of method,
        params (typed), args (plain), sig (canonical text), path, time, mono, seq."""
        with self._lock:
            return [c for c in self._log if _selects(which, c["method"])]

    def sigs(self, which=""):
        return [c["sig"] for c in self.calls(which)]

    def datagrams(self):
        """Received datagrams: dicts of data (bytes), time, ktime (the kernel's receive time), mono,
        source."""
        with self._lock:
            return list(self._datagrams)

    def wait_calls(self, n, timeout=10.0, which=""):
        """Waits until at least n calls (selected as by calls) are logged; returns the count."""
        return self._wait(lambda: len([c for c in self._log if _selects(which, c["method"])]),
                          n, timeout)

    def wait_datagrams(self, n, timeout=10.0):
        return self._wait(lambda: len(self._datagrams), n, timeout)

    def stats(self):
        with self._lock:
            return {"calls": len(self._log), "in_flight": self._in_flight,
                    "max_in_flight": self._max_in_flight, "datagrams": len(self._datagrams)}

    def reset(self):
        with self._lock:
            self._log.clear()
            self._datagrams.clear()
            self._scripts.clear()
            self._max_in_flight = self._in_flight
        for p in self.personalities.values():
            with p.lock:
                p.reset()

    def release(self):
        """Lets every silenced call go (its connection is dropped)."""
        self._release.set()
        self._release = threading.Event()

    # --- inside ---

    def _wait(self, count, n, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while count() < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return count()

    def _udp_loop(self):
        udp = self._udp
        # The kernel's receive time of each datagram, apart from this process's own scheduling.
        try:
            udp.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        except OSError:
            pass
        while True:
            try:
                data, anc, _, source = udp.recvmsg(65536, socket.CMSG_SPACE(16))
            except OSError:
                return
            if source is None or self._udp is not udp:  # woken by stop
                return
            now = time.time()
            entry = {"data": data, "time": now, "ktime": now, "mono": time.monotonic(),
                     "source": "%s:%d" % source}
            for level, kind, value in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                    sec, nsec = struct.unpack("qq", value[:16])
                    entry["ktime"] = sec + nsec / 1e9
            for p in self.personalities.values():
                with p.lock:
                    p.datagram(data)
            with self._cond:
                self._datagrams.append(entry)
                self._cond.notify_all()

    def _take_script(self, method, args):
        with self._lock:
            queue = self._scripts.get(method) or []
            for i, plan in enumerate(queue):
                want = list(plan.get("args", []))
                if want != args[:len(want)]:
                    continue
                times = int(plan.get("times", 1))
                if times > 0:
                    if times == 1:
                        queue.pop(i)
                    else:
                        plan["times"] = times - 1
                return plan
            return {}

    def _handle(self, body, path):
        try:
            method, params = parse_call(body)
        except ET.ParseError as e:
            return self._fault(-32700, "parse error: %s" % e)
        if method.startswith("Fake."):
            return self._answer(lambda: self._control(method[5:], [plain(p) for p in params]))
        entry = {"method": method, "params": params, "args": [plain(p) for p in params],
                 "sig": "%s(%s)" % (method, ",".join(sig(p) for p in params)),
                 "path": path, "time": time.time(), "mono": time.monotonic()}
        with self._cond:
            entry["seq"] = len(self._log)
            self._log.append(entry)
            self._in_flight += 1
            self._max_in_flight = max(self._max_in_flight, self._in_flight)
            self._cond.notify_all()
        try:
            return self._scripted(method, entry["args"], self._take_script(method, entry["args"]))
        finally:
            with self._cond:
                self._in_flight -= 1

    def _scripted(self, method, args, plan):
        if plan.get("delay"):
            time.sleep(float(plan["delay"]))
        if plan.get("silence"):
            self._release.wait()
            return self._fault(-32000, "released")
        if plan.get("hang"):
            self._stopped.wait()
            return None
        if plan.get("drop"):
            return None
        if "fault" in plan:
            code, text = plan["fault"]
            return self._fault(int(code), str(text))
        if "raw" in plan:
            raw = plan["raw"]
            return raw.encode() if isinstance(raw, str) else bytes(raw)

        def value():
            reply = plan["reply"] if "reply" in plan else self._personality_reply(method, args)
            if isinstance(reply, dict):
                reply = dict(reply)
                reply.update(plan.get("set", {}))
                for name in plan.get("omit", []):
                    reply.pop(name, None)
            return reply

        return self._answer(value)

    def _personality_reply(self, method, args):
        namespace, _, name = method.partition(".")
        p = self.personalities.get(namespace)
        fn = p.handler(name) if p else None
        if fn is None:
            raise xmlrpc.client.Fault(-32601, "method %s not found" % method)
        with p.lock:
            return fn(*args)

    def _answer(self, value):
        try:
            return xmlrpc.client.dumps((value(),), methodresponse=True,
                                       allow_none=True).encode()
        except xmlrpc.client.Fault as f:
            return self._fault(f.faultCode, f.faultString)
        except Exception as e:  # a broken handler answers a fault, never a hung call
            return self._fault(-32500, "%s: %s" % (type(e).__name__, e))

    @staticmethod
    def _fault(code, text):
        return xmlrpc.client.dumps(xmlrpc.client.Fault(code, text), methodresponse=True).encode()

    def _control(self, name, args):
        """Fake.Script(method, plan), Fake.Calls([which]) -> call texts, Fake.Log([which]),
        Fake.Datagrams(), Fake.WaitCalls(n, timeout[, which]), Fake.WaitDatagrams(n, timeout),
        Fake.Stats(), Fake.Reset(), Fake.Release(); a personality may add its own Fake_<Name>."""
        if name == "Script":
            self.script(args[0], **args[1])
            return 0
        if name == "Calls":
            return self.sigs(*args)
        if name == "Log":
            return [{"method": c["method"], "sig": c["sig"], "time": c["time"], "seq": c["seq"]}
                    for c in self.calls(*args)]
        if name == "Datagrams":
            return [{"data": xmlrpc.client.Binary(d["data"]), "time": d["time"],
                     "ktime": d["ktime"], "source": d["source"]} for d in self.datagrams()]
        if name == "WaitCalls":
            return self.wait_calls(int(args[0]), float(args[1]), *args[2:])
        if name == "WaitDatagrams":
            return self.wait_datagrams(int(args[0]), float(args[1]))
        if name == "Stats":
            return self.stats()
        if name == "Reset":
            self.reset()
            return 0
        if name == "Release":
            self.release()
            return 0
        for p in self.personalities.values():
            fn = getattr(p, "Fake_" + name, None)
            if fn:
                with p.lock:
                    return fn(*args)
        raise xmlrpc.client.Fault(-32601, "Fake.%s not found" % name)


class SilentHost:
    """A host that accepts every connection and never answers, for any protocol: a crashed but
    listening peer. Requests stay unread in the socket buffers; stop() closes everything."""

    def __init__(self, host="127.0.0.1"):
        self._listener = socket.create_server((host, 0), backlog=512)
        self.hostport = "%s:%d" % (host, self._listener.getsockname()[1])
        self.conns = []

    def start(self):
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def stop(self):
        self._listener.shutdown(socket.SHUT_RDWR)
        for c in [self._listener] + self.conns:
            c.close()

    def _accept(self):
        while True:
            try:
                self.conns.append(self._listener.accept()[0])
            except OSError:
                return


def run_main(personality_classes, argv=None, description=None, load=None):
    """Runs a fake as a program: prints its port on stdout and serves until SIGTERM, SIGINT, or
    (with --watch-stdin) the end of standard input, so it dies with the test that started it.
    With load, the personalities are named on the command line and load(names) gives them."""
    import argparse
    import signal

    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--watch-stdin", action="store_true",
                    help="stop when standard input reaches its end")
    if load:
        ap.add_argument("names", nargs="+", help="fakes to serve, e.g. io lib")
    opts = ap.parse_args(argv)
    if load:
        personality_classes = load(opts.names)
    service = FakeService([cls() for cls in personality_classes], host=opts.host,
                          port=opts.port).start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: done.set())
    signal.signal(signal.SIGINT, lambda *a: done.set())
    if opts.watch_stdin:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            done.set()
        threading.Thread(target=watch, daemon=True).start()
    print(service.port, flush=True)
    while not done.wait(0.2):
        pass
    service.stop()
    return 0

