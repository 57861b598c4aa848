#!/usr/bin/env python3
"""Fake Oxtel graphics device: TCP, messages framed by ':'.

It listens (the system's link connects to it as a client) or dials (the link serves), records
every framed message with its arrival time, sends scripted bytes whole, fragmented or merged,
answers set triggers, and can close, reset or be absent (its listener closed, so connections
are refused).

Importable:
    dev = OxtelDevice(); dev.start()          # listening on dev.port
    dev.wait_messages(1); dev.send(b"Y61:")
Runnable as a subprocess driven by lines on standard input:
    python3 oxtel_device.py [--port N] [--connect HOST:PORT]
prints "PORT <n>", then one line per event:
    CONN <id>                     a connection was made
    RECV <id> <seconds> <text>    a framed message (control characters and '\\' escaped)
    GONE <id>                     a connection ended
    SYNC <token>                  every command before "sync <token>" is done
Commands (text arguments take backslash escapes such as \\x00 or \\n):
    send <text>                   raw bytes to every connection (include the ':' yourself)
    sendto <id> <text>            raw bytes to one connection
    split <n1,n2,...> <text>      raw bytes to every connection in chunks of these sizes
    reply <trigger> <text>        answer each message equal to trigger with these raw bytes
    close [id] | reset [id]       end connections politely or with a reset
    unlisten | listen             be absent (refuse connections) or present again on the port
    connect <host:port>           dial a link in server mode
    answer on|off                 behave as a device (below); off by default
    templates <name,name,...>     the template store listed by R4$VIDEO / R5$VIDEO
    listing on|silent             answer template listings, or leave them unanswered
    sync <token> | quit

As a device (--answer, or answer on) it keeps per layer the loaded template and the keyer
direction: "R0<layer><name>" loads (answered "Y9<layer><name>" once tallies are on), "3<layer> <d>"
keys (answered "3<layer> <d>"), "Y61" turns a connection's tallies on ("Y60" off), "Y6" reports
every layer's keyer and image state, "R4$VIDEO" starts the template listing ("R40<name>") and
each "R5$VIDEO" gives the next name ("R50<name>"), the end being "R41$VIDEO" / "R51$VIDEO".
"""

import codecs
import socket
import struct
import sys
import threading
import time


def _show(data):
    return "".join(
        "\\x%02x" % b if b < 0x20 or b == 0x7F else "\\\\" if b == 0x5C else chr(b)
        for b in data)


class OxtelDevice:
    def __init__(self, host="127.0.0.1", port=0, on_event=None, answer=False, templates=()):
        self.answer = answer
        self.templates = list(templates)
        self.listing_silent = False
        self.layers = {}  # layer -> [image bytes as on the wire or b"", keyer direction]
        self._tallies_on = set()
        self._list_pos = {}
        self.host = host
        self.port = port
        self.on_event = on_event  # called as on_event(kind, conn_id, data) from device threads
        self.messages = []  # (monotonic seconds, connection id, bytes)
        self.conns = {}  # id -> socket
        self.replies = {}
        self._next_id = 0
        self._listener = None
        self._lock = threading.Condition()
        self._threads = []
        self._resetting = set()
        # Another service on the device's port: every connection is accepted and closed at once.
        self.close_at_once = False
        self.accepted = []  # monotonic time of every accepted connection

    # ---- life cycle ----

    def start(self):
        self.listen()
        return self

    def listen(self):
        """Opens the listener, on the same port as before once it is known."""
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((self.host, self.port))
        s.listen(16)
        self.port = s.getsockname()[1]
        self._listener = s
        self._spawn(self._accept_loop, s)

    def unlisten(self):
        """Absent device: connection attempts are refused from now on."""
        s, self._listener = self._listener, None
        if s:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def connect(self, host, port):
        s = socket.create_connection((host, port), timeout=5)
        s.settimeout(None)
        return self._add(s)

    def stop(self):
        self.unlisten()
        for cid in list(self.conns):
            self.close(cid)
        for t in self._threads:
            t.join(timeout=5)

    # ---- sending ----

    def _targets(self, cid):
        with self._lock:
            if cid is None:
                return list(self.conns.values())
            return [self.conns[cid]] if cid in self.conns else []

    def send(self, data, cid=None, chunks=None, gap=0.02):
        """Raw bytes; with chunks (sizes) they go out in chunks, gap seconds apart."""
        for s in self._targets(cid):
            try:
                if not chunks:
                    s.sendall(data)
                    continue
                at = 0
                for n in chunks:
                    s.sendall(data[at:at + n])
                    at += n
                    time.sleep(gap)
                if at < len(data):
                    s.sendall(data[at:])
            except OSError:
                pass

    def send_messages(self, msgs, cid=None):
        """Several messages merged into one write, each framed by ':'."""
        self.send(b"".join(m + b":" for m in msgs), cid)

    def close(self, cid=None):
        for s in self._targets(cid):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def reset(self, cid=None):
        """Ends connections with a TCP reset instead of an orderly close."""
        for s in self._targets(cid):
            # the reader closes it with linger 0 once woken; closing here would leave it blocked
            self._resetting.add(s)
            try:
                s.shutdown(socket.SHUT_RD)
            except OSError:
                pass

    # ---- what was received ----

    def texts(self):
        with self._lock:
            return [m for _, _, m in self.messages]

    def timed(self):
        """(monotonic seconds, bytes) of every message received, in order."""
        with self._lock:
            return [(t, m) for t, _, m in self.messages]

    def wait(self, predicate, timeout=5.0):
        end = time.monotonic() + timeout
        with self._lock:
            while not predicate():
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def wait_messages(self, count, timeout=5.0):
        return self.wait(lambda: len(self.messages) >= count, timeout)

    # ---- behaving as a device ----

    @staticmethod
    def escape(name):
        out = name.encode() if isinstance(name, str) else name
        for plain, code in ((b"\\", b"\\5C"), (b":", b"\\3A"), (b";", b"\\3B"), (b"|", b"\\7C")):
            out = out.replace(plain, code)
        return out

    def _layer_tallies(self, layer):
        image, key = self.layers.get(layer, [b"", 0])
        return [b"3%X %d:" % (layer, key), b"Y9%x%s:" % (layer, image or b">")]

    def _answer(self, cid, msg):
        out = []
        if msg in (b"Y61", b"Y60"):
            (self._tallies_on.add if msg == b"Y61" else self._tallies_on.discard)(cid)
        elif msg == b"Y6":
            if cid in self._tallies_on:
                for layer in sorted(self.layers):
                    out += self._layer_tallies(layer)
        elif len(msg) >= 4 and msg[:2] == b"R0" and msg[2:3] in b"0123456789abcdefABCDEF":
            layer = int(msg[2:3], 16)
            self.layers.setdefault(layer, [b"", 0])[0] = msg[3:]
            if cid in self._tallies_on:
                out.append(b"Y9%x%s:" % (layer, msg[3:]))
        elif len(msg) == 4 and msg[:1] == b"3" and msg[2:3] == b" " and msg[3:4] in b"012":
            layer = int(msg[1:2], 16)
            self.layers.setdefault(layer, [b"", 0])[1] = int(msg[3:4])
            if cid in self._tallies_on:
                out.append(b"3%X %d:" % (layer, int(msg[3:4])))
        elif msg in (b"R4$VIDEO", b"R5$VIDEO") and not self.listing_silent:
            lead = msg[:2]
            pos = 0 if lead == b"R4" else self._list_pos.get(cid, 0)
            if pos < len(self.templates):
                out.append(lead + b"0" + self.escape(self.templates[pos]) + b":")
                self._list_pos[cid] = pos + 1
            else:
                out.append(lead + b"1$VIDEO:")
        if out:
            self.send(b"".join(out), cid)

    # ---- threads ----

    def _spawn(self, fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True)
        self._threads.append(t)
        t.start()

    def _event(self, kind, cid, data=b""):
        if self.on_event:
            self.on_event(kind, cid, data)

    def _add(self, s):
        with self._lock:
            cid = self._next_id
            self._next_id += 1
            self.conns[cid] = s
            self._lock.notify_all()
        self._event("CONN", cid)
        self._spawn(self._read_loop, cid, s)
        return cid

    def _accept_loop(self, listener):
        while True:
            try:
                s, _ = listener.accept()
            except OSError:
                return
            with self._lock:
                self.accepted.append(time.monotonic())
            if self.close_at_once:
                s.close()
                continue
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._add(s)

    def _read_loop(self, cid, s):
        pending = b""
        while True:
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            pending += data
            while b":" in pending:
                msg, pending = pending.split(b":", 1)
                with self._lock:
                    self.messages.append((time.monotonic(), cid, msg))
                    self._lock.notify_all()
                self._event("RECV", cid, msg)
                if msg in self.replies:
                    self.send(self.replies[msg], cid)
                if self.answer:
                    self._answer(cid, msg)
        with self._lock:
            self.conns.pop(cid, None)
            self._lock.notify_all()
        try:
            if s in self._resetting:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        except OSError:
            pass
        self._event("GONE", cid)


def _arg(text):
    return codecs.escape_decode(text.encode("latin-1"))[0]


def main(argv):
    port, dial, answer = 0, [], False
    it = iter(argv)
    for a in it:
        if a == "--port":
            port = int(next(it))
        elif a == "--connect":
            dial.append(next(it))
        elif a == "--answer":
            answer = True
    out_lock = threading.Lock()

    def emit(line):
        with out_lock:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def on_event(kind, cid, data):
        if kind == "RECV":
            emit("RECV %d %.6f %s" % (cid, time.monotonic(), _show(data)))
        else:
            emit("%s %d" % (kind, cid))

    dev = OxtelDevice(port=port, on_event=on_event, answer=answer)
    dev.start()
    emit("PORT %d" % dev.port)
    for target in dial:
        host, p = target.rsplit(":", 1)
        dev.connect(host, int(p))
    for line in sys.stdin:
        line = line.rstrip("\n")
        cmd, _, rest = line.partition(" ")
        try:
            if cmd == "send":
                dev.send(_arg(rest))
            elif cmd == "sendto":
                cid, _, text = rest.partition(" ")
                dev.send(_arg(text), int(cid))
            elif cmd == "split":
                sizes, _, text = rest.partition(" ")
                dev.send(_arg(text), chunks=[int(n) for n in sizes.split(",")])
            elif cmd == "reply":
                trigger, _, text = rest.partition(" ")
                dev.replies[_arg(trigger)] = _arg(text)
            elif cmd in ("close", "reset"):
                getattr(dev, cmd)(int(rest) if rest else None)
            elif cmd == "unlisten":
                dev.unlisten()
            elif cmd == "listen":
                dev.listen()
            elif cmd == "connect":
                host, p = rest.rsplit(":", 1)
                dev.connect(host, int(p))
            elif cmd == "answer":
                dev.answer = rest == "on"
            elif cmd == "templates":
                dev.templates = [n for n in rest.split(",") if n]
            elif cmd == "listing":
                dev.listing_silent = rest == "silent"
            elif cmd == "sync":
                emit("SYNC " + rest)
            elif cmd == "quit":
                break
        except (OSError, ValueError) as e:
            emit("ERROR %s" % e)
    dev.stop()


if __name__ == "__main__":
    main(sys.argv[1:])
